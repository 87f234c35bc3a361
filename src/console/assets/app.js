// The console's page: sign-in, the screens' cards with a live mirror, the
// send form and the history, kept up to date by the event stream.
import { texts } from "/texts.js";

const $ = (id) => document.getElementById(id);
// colours: the names a colour message takes, as the console lists them.
const state = { screens: new Map(), history: [], lang: "en", source: null, colours: new Map() };

function chooseLanguage() {
  const saved = localStorage.getItem("ecran-lang");
  if (saved && texts[saved]) return saved;
  for (const l of navigator.languages || [navigator.language]) {
    const base = String(l).slice(0, 2).toLowerCase();
    if (texts[base]) return base;
  }
  return "en";
}

function t(key, values = {}) {
  const s = texts[state.lang][key] ?? texts.en[key] ?? key;
  return s.replace(/\{(\w+)\}/g, (_, k) => values[k] ?? "");
}

function applyLanguage() {
  document.documentElement.lang = state.lang;
  document.title = t("title");
  for (const el of document.querySelectorAll("[data-t]")) el.textContent = t(el.dataset.t);
  const other = state.lang === "fr" ? "en" : "fr";
  $("language").textContent = other === "fr" ? "Français" : "English";
  $("language").lang = other;
  setLive(state.liveKey || "connecting");
  updateKind();
  render();
  showResult();
  scheduleTexts();
}

function setLive(key) {
  state.liveKey = key;
  $("live").textContent = t(key);
  $("live").className = "badge " + key;
}

async function api(method, path, body) {
  const init = { method, headers: {}, credentials: "same-origin" };
  if (body !== undefined) {
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  const r = await fetch(path, init);
  const data = r.status === 204 ? null : await r.json().catch(() => null);
  return { status: r.status, data };
}

function formatTime(iso) {
  return iso ? new Date(iso).toLocaleString(state.lang === "fr" ? "fr-FR" : "en-GB") : "";
}

// A schedule's times as the console's clock reads them (its form takes
// them so), whatever the browser's zone: the wall time before the offset.
function consoleTime(iso) {
  return iso ? new Date(iso.slice(0, 19) + "Z").toLocaleString(locale(), { timeZone: "UTC" }) : "";
}

function mirror(el, screen) {
  const s = screen.state || {};
  el.querySelector(".band span").textContent = s.ticker || "";
  const message = el.querySelector(".message");
  message.textContent = s.text || "";
  message.style.color = /^#[0-9A-Fa-f]{6}$/.test(s.color || "") ? s.color : "#000000";
}

function card(screen) {
  const li = document.createElement("li");
  li.className = "card";
  li.dataset.name = screen.name;
  const h = document.createElement("h3");
  const name = document.createElement("span");
  name.textContent = screen.name;
  const badge = document.createElement("span");
  badge.className = "badge " + screen.status;
  badge.textContent = t(screen.status);
  h.append(name, badge);
  const meta = document.createElement("p");
  meta.className = "meta";
  meta.textContent = [screen.since ? t("since", { s: formatTime(screen.since) }) : "",
    screen.groups.length ? screen.groups.join(", ") : t("noGroup")].filter(Boolean).join(" · ");
  const m = $("preview").cloneNode(true);
  m.removeAttribute("id");
  mirror(m, screen);
  const pair = document.createElement("div");
  pair.className = "pair";
  pair.append(m, picture(screen));
  li.append(h, meta, pair);
  return li;
}

// The latest picture the screen sent of itself, beside the mirror of what it
// was told; its entity tag in the address, so that a new one is fetched and
// the same one is not.
function picture(screen) {
  if (!screen.snapshot) {
    const p = document.createElement("p");
    p.className = "picture placeholder";
    p.textContent = t("noPicture");
    return p;
  }
  const figure = document.createElement("figure");
  figure.className = "picture";
  const img = Object.assign(document.createElement("img"), {
    src: `/api/v1/screens/${encodeURIComponent(screen.name)}/snapshot?v=${encodeURIComponent(screen.snapshot.etag.replace(/"/g, ""))}`,
    alt: t("pictureAlt", { s: screen.name }), loading: "lazy", decoding: "async", width: 480, height: 270 });
  const caption = document.createElement("figcaption");
  caption.textContent = t("pictureAt", { s: formatTime(screen.snapshot.at) });
  figure.append(img, caption);
  return figure;
}

function updatePicture(e) {
  const { name, at, etag } = JSON.parse(e.data);
  const s = state.screens.get(name);
  if (!s) return;
  s.snapshot = at ? { at, etag } : null;
  const old = [...$("cards").children].find((li) => li.dataset.name === name);
  old?.querySelector(".picture").replaceWith(picture(s));
}

function groups() {
  const all = new Set();
  for (const s of state.screens.values()) for (const g of s.groups) all.add(g);
  return [...all].sort();
}

function fillSelect(select, values, first) {
  const keep = select.value;
  select.replaceChildren();
  if (first) select.append(new Option(first, ""));
  for (const v of values) select.append(new Option(v, v));
  if ([...select.options].some((o) => o.value === keep)) select.value = keep;
}

function matches(s) {
  const query = $("search").value.trim().toLowerCase(), group = $("group-filter").value;
  return s.name.toLowerCase().includes(query) && (!group || s.groups.includes(group));
}

function render() {
  fillSelect($("group-filter"), groups(), t("allGroups"));
  const shown = [...state.screens.values()].filter(matches);
  $("cards").replaceChildren(...shown.map(card));
  if (!shown.length) {
    const li = document.createElement("li");
    li.textContent = t("noScreens");
    $("cards").append(li);
  }
  renderCounts();
  updateTargets();
  renderHistory();
  updateTargets("sch-");
}

function renderCounts() {
  const all = [...state.screens.values()];
  $("counts").textContent = t("counts", {
    on: all.filter((s) => s.status === "online").length,
    off: all.filter((s) => s.status === "offline").length, n: all.length });
}

// One screen changed: only its card is drawn again, unless the groups or
// the list of screens changed with it.
function update(s) {
  const before = state.screens.get(s.name);
  state.screens.set(s.name, s);
  const old = [...$("cards").children].find((li) => li.dataset.name === s.name);
  if (!before || String(before.groups) !== String(s.groups) || !old !== !matches(s)) {
    state.screens = new Map([...state.screens].sort(([a], [b]) => (a < b ? -1 : a > b ? 1 : 0)));
    return render();
  }
  if (old) old.replaceWith(card(s));
  renderCounts();
}

// The names a form's target takes: the screens', the groups', none for all
// (the send form's fields, or the schedule form's, named with "sch-").
function updateTargets(form = "") {
  const kind = $(form + "target-kind").value;
  $(form + "target").disabled = kind === "all";
  fillSelect($(form + "target"), kind === "screen" ? [...state.screens.keys()] : kind === "group" ? groups() : []);
}

function describeTarget(to) {
  if (to.all) return t("toAll");
  if (to.group) return t("toGroup", { s: to.group });
  return t("toScreen", { s: to.screen });
}

function renderHistory() {
  const items = state.history.slice(0, 50).map((e) => {
    const li = document.createElement("li");
    const line = document.createElement("span");
    const kind = { text: "kindText", ticker: "kindTicker", color: "kindColor" }[e.kind];
    line.textContent = t("historyLine", { at: formatTime(e.at), by: e.by, to: describeTarget(e.to), kind: t(kind), value: e.value }) + " ";
    const result = document.createElement("span");
    result.className = e.result === "sent" ? "sent" : "failed";
    result.textContent = t(e.result);
    li.append(line, result);
    return li;
  });
  if (!items.length) {
    const li = document.createElement("li");
    li.textContent = t("noHistory");
    items.push(li);
  }
  $("history").replaceChildren(...items);
}

function updateKind() {
  const colour = $("kind").value === "color";
  $("value-label").textContent = t(colour ? "colourValue" : "value");
  $("picker").hidden = $("picker-label").hidden = !colour;
  if (colour) $("value").setAttribute("list", "colour-names");
  else $("value").removeAttribute("list");
  updatePreview();
}

function updatePreview() {
  const kind = $("kind").value, value = $("value").value;
  const s = { text: "", ticker: "", color: "#000000" };
  if (kind === "text") s.text = value;
  if (kind === "ticker") s.ticker = value;
  if (kind === "color") {
    s.text = "Aa";
    const named = state.colours.get(value.trim().toLowerCase());
    if (named) $("picker").value = named.toLowerCase();
    s.color = /^#[0-9a-f]{6}$/i.test(value) ? value : named || $("picker").value;
  }
  mirror($("preview"), { state: s });
}

async function send(event) {
  event.preventDefault();
  const kind = $("target-kind").value;
  const to = kind === "all" ? { all: true } : { [kind]: $("target").value };
  $("result").textContent = t("sending");
  const r = await api("POST", "/api/v1/messages", { to, [$("kind").value]: $("value").value });
  if (r.status === 401) return showSignIn();
  state.result = { status: r.status, entry: r.data || {} };
  showResult();
}

function showResult() {
  if (!state.result) return;
  const { status, entry } = state.result;
  const parts = [entry.result ? t(entry.result) : (entry.error || String(status))];
  for (const w of entry.warnings || []) parts.push(w);
  $("result").textContent = parts.join(" ");
  $("result").className = status === 201 ? "" : "error";
}

function addHistory(entry) {
  if (state.history.some((e) => e.id === entry.id)) return;
  state.history.unshift(entry);
  state.history.length = Math.min(state.history.length, 200);
  renderHistory();
}

function listen() {
  if (state.source) state.source.close();
  const source = new EventSource("/api/v1/events");
  state.source = source;
  source.onopen = () => setLive("live");
  source.onerror = async () => {
    setLive("reconnecting");
    // The browser retries by itself, unless the session is over.
    if (source.readyState === EventSource.CLOSED) {
      const r = await api("GET", "/api/v1/screens");
      if (r.status === 401) return showSignIn();
      setTimeout(listen, 2000);
    }
  };
  source.addEventListener("screens", (e) => {
    state.screens = new Map(JSON.parse(e.data).screens.map((s) => [s.name, s]));
    render();
  });
  source.addEventListener("screen", (e) => update(JSON.parse(e.data)));
  source.addEventListener("message", (e) => addHistory(JSON.parse(e.data)));
  source.addEventListener("snapshot", updatePicture);
  // Made or removed elsewhere, or a window that started or ended: the next one changed.
  source.addEventListener("schedule", () => { if (!$("schedules-view").hidden) loadSchedules(); });
}

async function showConsole() {
  $("signin").hidden = true;
  $("console").hidden = false;
  $("signout").hidden = false;
  $("views").hidden = false;
  showView("screens");
  listen();
  const c = await api("GET", "/api/v1/colors");
  if (c.status === 200) {
    state.colours = new Map(c.data.colors.map((x) => [x.name, x.rgb]));
    $("colour-names").replaceChildren(...c.data.colors.map((x) => Object.assign(document.createElement("option"), { value: x.name })));
  }
  const h = await api("GET", "/api/v1/messages?limit=50");
  if (h.status === 200) {
    for (const e of h.data.messages) if (!state.history.some((x) => x.id === e.id)) state.history.push(e);
    state.history.sort((a, b) => b.id - a.id);
  }
  renderHistory();
}

function showSignIn() {
  if (state.source) state.source.close();
  state.source = null;
  setLive("connecting");
  $("console").hidden = true;
  $("signout").hidden = true;
  $("views").hidden = $("schedules-view").hidden = true;
  $("signin").hidden = false;
  $("token").focus();
}

async function signIn(event) {
  event.preventDefault();
  const r = await api("POST", "/api/v1/session", { token: $("token").value.trim() });
  $("signin-error").textContent = r.status === 204 ? "" : t(r.status === 429 ? "tooMany" : "badToken");
  if (r.status === 204) {
    $("token").value = "";
    showConsole();
  }
}

// Schedules: a view beside the screens, to plan messages, list and delete them.
const weekDays = ["mon", "tue", "wed", "thu", "fri", "sat", "sun"];
const kindKeys = { text: "kindText", ticker: "kindTicker", color: "kindColor" };

function locale() { return state.lang === "fr" ? "fr-FR" : "en-GB"; }

function dayName(day, style) {
  // 1 January 2024 was a Monday.
  const d = new Date(Date.UTC(2024, 0, 1 + weekDays.indexOf(day)));
  return d.toLocaleDateString(locale(), { weekday: style, timeZone: "UTC" });
}

function scheduleTexts() {
  $("views").setAttribute("aria-label", t("views"));
  if (!$("sch-days").children.length) {
    for (const day of weekDays) {
      const label = document.createElement("label");
      const box = Object.assign(document.createElement("input"), { type: "checkbox", id: "day-" + day, value: day });
      label.append(box, document.createElement("span"));
      $("sch-days").append(label);
    }
  }
  for (const day of weekDays) $("day-" + day).nextElementSibling.textContent = dayName(day, "long");
  renderSchedules();
}

function showView(view) {
  $("console").hidden = view !== "screens";
  $("schedules-view").hidden = view !== "schedules";
  for (const b of $("views").querySelectorAll("button")) b.setAttribute("aria-pressed", String(b.dataset.view === view));
  if (view === "schedules") loadSchedules();
}

async function loadSchedules() {
  const r = await api("GET", "/api/v1/schedules");
  if (r.status === 401) return showSignIn();
  if (r.status === 200) state.schedules = r.data.schedules;
  renderSchedules();
}

function describeSchedule(s) {
  const kind = Object.keys(kindKeys).find((k) => k in s);
  const lines = [t("scheduleLine", { n: s.id, kind: t(kindKeys[kind]), value: s[kind], to: describeTarget(s.to) })];
  if (s.repeat) {
    lines.push(t("everyDay", { days: s.repeat.days.map((d) => dayName(d, "short")).join(", "), from: s.repeat.from, until: s.repeat.until }));
  }
  const n = s.next;
  lines.push(!n ? t("noNext") : n.end ? t("nextWindow", { start: consoleTime(n.start), end: consoleTime(n.end) })
    : t("nextOpen", { start: consoleTime(n.start) }));
  return lines;
}

function renderSchedules() {
  const items = (state.schedules || []).map((s) => {
    const li = document.createElement("li");
    li.dataset.id = s.id;
    for (const line of describeSchedule(s)) li.append(Object.assign(document.createElement("p"), { textContent: line }));
    const remove = Object.assign(document.createElement("button"), { type: "button", textContent: t("remove") });
    remove.setAttribute("aria-label", t("removeLabel", { n: s.id }));
    remove.addEventListener("click", async () => {
      const r = await api("DELETE", "/api/v1/schedules/" + s.id);
      if (r.status === 401) return showSignIn();
      loadSchedules();
    });
    li.append(remove);
    return li;
  });
  if (!items.length) items.push(Object.assign(document.createElement("li"), { textContent: t("noSchedules") }));
  $("schedule-list").replaceChildren(...items);
}

async function createSchedule(event) {
  event.preventDefault();
  const target = $("sch-target-kind").value;
  const body = { to: target === "all" ? { all: true } : { [target]: $("sch-target").value },
    [$("sch-kind").value]: $("sch-value").value, start: $("sch-start").value };
  if ($("sch-end").value) body.end = $("sch-end").value;
  const days = weekDays.filter((d) => $("day-" + d).checked);
  if (days.length || $("sch-from").value || $("sch-until").value) {
    body.repeat = { days, from: $("sch-from").value, until: $("sch-until").value };
  }
  const r = await api("POST", "/api/v1/schedules", body);
  if (r.status === 401) return showSignIn();
  $("sch-result").textContent = r.status === 201 ? t("created") : (r.data && r.data.error) || String(r.status);
  $("sch-result").className = r.status === 201 ? "" : "error";
  if (r.status === 201) loadSchedules();
}

for (const b of $("views").querySelectorAll("button")) b.addEventListener("click", () => showView(b.dataset.view));
$("sch-target-kind").addEventListener("change", () => updateTargets("sch-"));
$("schedule").addEventListener("submit", createSchedule);

state.lang = chooseLanguage();
applyLanguage();
$("language").addEventListener("click", () => {
  state.lang = state.lang === "fr" ? "en" : "fr";
  localStorage.setItem("ecran-lang", state.lang);
  applyLanguage();
});
$("signin").addEventListener("submit", signIn);
$("signout").addEventListener("click", async () => {
  await api("DELETE", "/api/v1/session");
  showSignIn();
});
$("send").addEventListener("submit", send);
$("search").addEventListener("input", render);
$("group-filter").addEventListener("change", render);
$("target-kind").addEventListener("change", () => updateTargets());
$("kind").addEventListener("change", updateKind);
$("value").addEventListener("input", updatePreview);
$("picker").addEventListener("input", () => {
  $("value").value = $("picker").value;
  updatePreview();
});
api("GET", "/api/v1/screens").then((r) => (r.status === 200 ? showConsole() : showSignIn()));
