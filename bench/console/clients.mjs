// Clients of the console for bench/console.sh; each mode prints figures.
//   node clients.mjs fanout URL TOKEN STREAMS CHANGES   event streams waiting for screen-0's timed changes
//   node clients.mjs post URL TOKEN COUNT GROUP SCREENS  POST a text, time until every screen's new state is on the stream
//   node clients.mjs render URL TOKEN SCREENS            the page's first full render in Chromium
import http from "node:http";
import { createRequire } from "node:module";

const [mode, url, token, a, b, c] = process.argv.slice(2);
const auth = { Authorization: `Bearer ${token}` };
const pct = (xs, p) => xs.slice().sort((x, y) => x - y)[Math.min(xs.length - 1, Math.floor((p / 100) * xs.length))];
const summary = (what, xs) =>
  console.log(`${what}: n=${xs.length} p50=${pct(xs, 50)} ms p99=${pct(xs, 99)} ms max=${Math.max(...xs)} ms`);

// One event stream; onEvent(name, data) for each event.
function stream(onEvent) {
  return new Promise((resolve) => {
    const req = http.get(`${url}/api/v1/events`, { headers: auth, agent: false }, (res) => {
      let buffer = "";
      res.setEncoding("utf8");
      res.on("data", (chunk) => {
        buffer += chunk;
        let end;
        while ((end = buffer.indexOf("\n\n")) >= 0) {
          const block = buffer.slice(0, end);
          buffer = buffer.slice(end + 2);
          const name = /^event: (.*)$/m.exec(block)?.[1], data = /^data: (.*)$/m.exec(block)?.[1];
          if (name && data) onEvent(name, JSON.parse(data));
        }
      });
      resolve(req);
    });
  });
}

if (mode === "fanout") {
  const streams = Number(a), changes = Number(b), latencies = [];
  let ready = 0;
  const reqs = [];
  for (let i = 0; i < streams; ++i) {
    reqs.push(await stream((name, data) => {
      if (name === "screens") { if (++ready === streams) console.log("ready"); return; }
      const m = name === "screen" && data.name === "screen-0" && /^t=(\d+)$/.exec(data.state?.text ?? "");
      if (m) latencies.push(Date.now() - Number(m[1]));
    }));
  }
  const deadline = Date.now() + 60000;
  while (latencies.length < streams * changes && Date.now() < deadline) await new Promise((r) => setTimeout(r, 100));
  summary(`state change to ${streams} streams`, latencies);
  for (const r of reqs) r.destroy();
} else if (mode === "post") {
  const count = Number(a), group = b, screens = Number(c), latencies = [];
  let waiting = null;
  const req = await stream((name, data) => {
    if (name === "screen" && waiting && data.state?.text === waiting.text) {
      waiting.seen.add(data.name);
      if (waiting.seen.size === screens) waiting.done();
    }
  });
  for (let i = 0; i < count; ++i) {
    const text = `Mesure ${i} ${Date.now()}`;
    const started = performance.now();
    const seen = new Promise((done) => { waiting = { text, seen: new Set(), done }; });
    const r = await fetch(`${url}/api/v1/messages`, { method: "POST", headers: { ...auth, "Content-Type": "application/json" },
      body: JSON.stringify({ to: { group }, text }) });
    if (r.status !== 201) throw new Error(`POST answered ${r.status}`);
    await seen;
    latencies.push(Math.round(performance.now() - started));
    await new Promise((r) => setTimeout(r, 150));  // under the screens' state pacing
  }
  summary(`POST /api/v1/messages to ${screens} real screens until their states are on the stream`, latencies);
  req.destroy();
} else if (mode === "render") {
  const require = createRequire(new URL("../../tests/console/web/package.json", import.meta.url));
  const { chromium } = require("playwright-core");
  const screens = Number(a);
  const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--headless", "--no-sandbox",
    "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync"] });
  const times = [];
  for (let i = 0; i < 5; ++i) {
    const context = await browser.newContext();
    const r = await context.request.post(`${url}/api/v1/session`, { data: { token } });
    if (r.status() !== 204) throw new Error(`sign-in answered ${r.status()}`);
    const page = await context.newPage();
    await page.goto(url);
    await page.waitForFunction((n) => document.querySelectorAll(".card[data-name]").length === n, screens, { timeout: 30000 });
    times.push(Math.round(await page.evaluate(() => performance.now())));
    await context.close();
  }
  await browser.close();
  summary(`first full render of ${screens} cards in Chromium (from navigation)`, times);
}
process.exit(0);
