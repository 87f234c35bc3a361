// The console's page in Debian's Chromium, as its users drive it:
// node page.mjs URL TOKEN PID_OF_A_DISPLAY SCREENSHOT
// Signs in, picks a group, types and sends a text with the keyboard alone,
// sees both cards change without a reload, sees a screen's picture (480 pixels wide) and its next one,
// sent once the page says it waits, replace it, sees another's placeholder, previews a colour by its name, sees a stopped screen go
// offline, switches the language, checks a 360-pixel phone width and runs
// axe-core. Exit status 0 when every check holds.
import { chromium } from "playwright-core";
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";

const [url, token, pid, shot] = process.argv.slice(2);
const failures = [];
const check = (ok, what) => { console.log(`${ok ? "ok" : "FAIL"}: ${what}`); if (!ok) failures.push(what); };
const within = async (ms, fn, ...args) => page.waitForFunction(fn, args, { timeout: ms }).then(() => true, () => false);

const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});
// In another time zone than the console's (UTC in the tests): schedules show the console's clock.
const page = await browser.newPage({ locale: "en-GB", timezoneId: "Pacific/Auckland", viewport: { width: 1280, height: 900 } });
const errors = [];
page.on("console", (m) => { if (m.type() === "error") errors.push(m.text()); });
page.on("pageerror", (e) => errors.push(String(e)));
try {
  await page.goto(url);
  await page.waitForSelector("#token", { state: "visible" });
  await page.focus("#token");
  await page.keyboard.type(token);
  await page.keyboard.press("Enter");
  check(await within(5000, () => document.querySelectorAll(".card[data-name]").length === 2), "both screens are shown");
  check(await within(3000, () => document.getElementById("live").textContent === "Live"), "the badge says Live");
  check(await within(1000, () => /2 online/.test(document.getElementById("counts").textContent)), "the counts say 2 online");

  const picture = (old) => within(10000, ([before]) => { const img = document.querySelector('.card[data-name="lobby"] .picture img');
    return img?.complete && img.naturalWidth === 480 && img.getAttribute("src") !== before; }, old);
  check(await picture(""), "lobby's card shows its picture");
  check(await page.textContent('.card[data-name="hall"] .picture') === "No picture yet", "hall's card has no picture yet");
  const first = await page.getAttribute('.card[data-name="lobby"] .picture img', "src");
  console.log("waiting for a new picture");
  check(await picture(first), "the next picture replaces it");

  // The keyboard alone: Tab through the page, the arrow keys in the lists, Space on the button.
  await page.evaluate(() => { window.notReloaded = true; });
  const keys = async (...names) => { for (const k of names) await page.keyboard.press(k); };
  for (let i = 0; i < 20 && await page.evaluate(() => document.activeElement?.id) !== "target-kind"; i++) await keys("Tab");
  // One screen becomes a group; the group list keeps "hall" (a screen's name too): up to ground.
  await keys("ArrowDown", "Tab", "ArrowUp");
  await keys("Tab", "Tab");
  await page.keyboard.type("Salle 3 à 14 h");
  check(await page.textContent("#preview .message") === "Salle 3 à 14 h", "the preview shows the text");
  await keys("Tab");  // to Send
  const started = Date.now();
  await keys("Space");
  const changed = await within(1000, () => [...document.querySelectorAll(".card .message")]
    .filter((m) => m.textContent === "Salle 3 à 14 h").length === 2);
  check(changed, `both cards show the text within a second (${Date.now() - started} ms)`);
  check(await page.evaluate(() => window.notReloaded === true), "the page was not reloaded");
  check(await within(2000, () => /Sent/.test(document.getElementById("result").textContent)), "the result says Sent");
  check(await within(2000, () => /Salle 3/.test(document.getElementById("history").textContent)), "the history shows it");

  // A colour by its name, from the console's own list, previewed in that colour.
  await keys("Shift+Tab", "Shift+Tab", "ArrowDown", "ArrowDown", "Tab", "Control+A");
  await page.keyboard.type("SteelBlue");
  check(await page.evaluate(() => document.getElementById("value").list?.options.length === 148 &&
    getComputedStyle(document.querySelector("#preview .message")).color === "rgb(70, 130, 180)"), "the colour field offers the 148 names and previews steelblue");
  await page.screenshot({ path: shot.replace("-360", "-desktop"), fullPage: true });
  await keys("Shift+Tab", "ArrowUp", "ArrowUp");  // back to a text: the page's own colours for axe-core

  process.kill(Number(pid), "SIGTERM");
  check(await within(5000, () => document.querySelectorAll(".card .badge.offline").length === 1), "a stopped screen goes offline");

  await page.click("#language");
  check(await within(1000, () => document.documentElement.lang === "fr" &&
    document.getElementById("screens-title").textContent === "Écrans"), "the switch turns the page French");

  await page.setViewportSize({ width: 360, height: 800 });
  check(await page.evaluate(() => document.documentElement.scrollWidth <= 360), "nothing is wider than a 360-pixel phone");
  await page.screenshot({ path: shot, fullPage: true });

  const require = createRequire(import.meta.url);
  await page.evaluate(readFileSync(require.resolve("axe-core/axe.min.js"), "utf8"));
  const { violations } = await page.evaluate(() => window.axe.run());
  const serious = violations.filter((v) => v.impact === "serious" || v.impact === "critical");
  for (const v of serious) console.log(`axe ${v.impact}: ${v.id}: ${v.help}: ${v.nodes.map((n) => n.target.join(" ") + " " + (n.any[0]?.message || "")).join("; ")}`);
  check(serious.length === 0, "axe-core finds nothing serious or critical");
  // Schedules, in French at 360 pixels: made, listed with the next window, deleted with the keyboard.
  await page.click("#views [data-view=schedules]");
  const listed = (re) => within(3000, ([r]) => new RegExp(r).test(document.getElementById("schedule-list").textContent), re.source);
  check(await listed(/Rien de pr/) && await page.isVisible("#sch-start"), "the Schedules view opens, empty");
  await page.selectOption("#sch-target-kind", "all");
  for (const [id, v] of [["value", "Pause"], ["start", "2030-01-07T00:00"], ["from", "08:00"], ["until", "09:00"]]) await page.fill("#sch-" + id, v);
  await page.check("#day-mon");
  await page.press("#sch-until", "Enter");
  check(await listed(/lun\..*08:00.09:00.*07\/01\/2030 08:00:00 au 07\/01\/2030 09:00:00/),
    "the schedule is listed with its days and next window in French");
  check(await page.evaluate(() => document.documentElement.scrollWidth <= 360), "the Schedules view fits 360 pixels");
  await page.screenshot({ path: shot.replace("-360", "-schedules-360"), fullPage: true });
  const again = (await page.evaluate(() => window.axe.run())).violations.filter((v) => v.impact === "serious" || v.impact === "critical");
  for (const v of again) console.log(`axe ${v.impact}: ${v.id}: ${v.help}: ${v.nodes.map((n) => n.target.join(" ")).join("; ")}`);
  check(again.length === 0, "axe-core finds nothing serious or critical in the Schedules view");
  await page.setViewportSize({ width: 1280, height: 900 });
  await page.screenshot({ path: shot.replace("-360", "-schedules-desktop"), fullPage: true });
  await page.focus("#schedule-list button");
  await page.keyboard.press("Enter");
  check(await listed(/Rien de pr/), "the schedule is deleted");
  // The sign-in probe answers 401 by design.
  const unexpected = errors.filter((e) => !/status of 401/.test(e));
  check(unexpected.length === 0, `no error in the page's console ${unexpected.join(" | ")}`);
} finally {
  await browser.close();
}
process.exit(failures.length ? 1 : 0);
