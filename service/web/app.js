// The dashboard: overview (live from the event stream), alarm log and history
// plots, all from the daemon's public API.
"use strict";
(function () {
  const LEVELS = { 1: "critical", 2: "major", 3: "minor", 4: "warning" };
  const LINE_TEXT = {
    starting: "starting", answering: "answering", not_answering: "not answering",
    port_missing: "port missing", port_busy: "port busy", stopped: "stopped",
    host_unreachable: "host unreachable", connection_refused: "connection refused",
    connection_lost: "connection lost",
  };
  const TOKEN_KEY = "ravo3.token";
  const $ = (id) => document.getElementById(id);

  // ---- Formatting -------------------------------------------------------
  function pad2(n) { return (n < 10 ? "0" : "") + n; }
  function offsetText(d) {
    const off = -d.getTimezoneOffset();
    const a = Math.abs(off);
    return (off < 0 ? "-" : "+") + pad2(Math.floor(a / 60)) + ":" + pad2(a % 60);
  }
  // "2026-12-08 06:15:05 +01:00": local time with the browser's offset.
  function fmtTime(t, withOffset) {
    if (t === null || t === undefined || isNaN(t)) return "\u2014";
    const d = new Date(t);
    const s = d.getFullYear() + "-" + pad2(d.getMonth() + 1) + "-" + pad2(d.getDate()) + " " +
      pad2(d.getHours()) + ":" + pad2(d.getMinutes()) + ":" + pad2(d.getSeconds());
    return withOffset === false ? s : s + " " + offsetText(d);
  }
  function fmtDuration(ms) {
    if (ms === null || isNaN(ms)) return "\u2014";
    let s = Math.max(0, Math.round(ms / 1000));
    const d = Math.floor(s / 86400); s -= d * 86400;
    const h = Math.floor(s / 3600); s -= h * 3600;
    const m = Math.floor(s / 60); s -= m * 60;
    if (d) return d + " d " + h + " h";
    if (h) return h + " h " + pad2(m) + " min";
    if (m) return m + " min " + pad2(s) + " s";
    return s + " s";
  }
  function fmtValue(v, decimals) {
    if (!v) return { text: "\u2014", cls: "na" };
    if (!v.ok) return { text: v.reply || "no value", cls: "na" };
    if (v.value === null || !isFinite(v.value)) return { text: "not a number", cls: "na" };
    return { text: Number(v.value).toFixed(decimals), cls: "" };
  }
  function parseTime(s) {
    if (s === null || s === undefined || s === "") return null;
    if (typeof s === "number") return s > 1e11 ? s : s * 1000;
    const t = Date.parse(s);
    return isNaN(t) ? null : t;
  }
  function levelText(l) { return "L" + l + " " + (LEVELS[l] || "level " + l); }
  // For <input type=datetime-local>, which holds local time without offset.
  function toLocalInput(t) { return fmtTime(t, false).replace(" ", "T"); }
  function fromLocalInput(s) { return s ? new Date(s).getTime() : null; }

  function h(tag, attrs, children) {
    const e = document.createElement(tag);
    for (const k in attrs || {}) {
      if (attrs[k] === null || attrs[k] === undefined || attrs[k] === false) continue;
      if (k === "text") e.textContent = attrs[k];
      else e.setAttribute(k, attrs[k]);
    }
    for (const c of children || []) {
      if (c !== null && c !== undefined) e.appendChild(typeof c === "string" ? document.createTextNode(c) : c);
    }
    return e;
  }

  // ---- API --------------------------------------------------------------
  class AuthError extends Error {}

  function token() { return sessionStorage.getItem(TOKEN_KEY) || ""; }
  async function api(path) {
    const headers = {};
    if (token()) headers.Authorization = "Bearer " + token();
    let res;
    try {
      res = await fetch(path, { headers: headers, cache: "no-store" });
    } catch (e) {
      throw new Error("the daemon does not answer");
    }
    if (res.status === 401 || res.status === 403) {
      askToken(token() ? "The token was refused." : "");
      throw new AuthError("a token is needed");
    }
    let body = null;
    try { body = await res.json(); } catch (e) { /* an error without a body */ }
    if (!res.ok) throw new Error((body && (body.error || body.message)) || "HTTP " + res.status);
    return body;
  }

  function askToken(message) {
    $("token-form").hidden = false;
    $("token-error").hidden = !message;
    $("token-error").textContent = message || "";
    $("token-input").focus();
  }

  // ---- What the API sends, in one shape ----------------------------------
  function listOf(body, key) {
    if (Array.isArray(body)) return body;
    if (body && Array.isArray(body[key])) return body[key];
    return [];
  }
  // {name: number or null} with {name: reply} for the nulls.
  function normValues(values, replies) {
    const out = new Map();
    replies = replies || {};
    for (const name in values || {}) {
      const v = values[name];
      const ok = typeof v === "number";
      out.set(name, { ok: ok, value: ok ? v : null, reply: ok ? "" : replies[name] || "no value" });
    }
    return out;
  }
  function normUnit(u) {
    return {
      kind: u.kind, data_id: Number(u.data_id), device_type: u.device_type || "",
      replayed: !!u.replayed, stored: parseTime(u.stored), values: normValues(u.values, u.replies),
    };
  }
  function normLine(l) {
    l = l || {};
    return {
      state: l.state || "starting", since: parseTime(l.since), last_cycle: parseTime(l.last_cycle),
      detail: l.detail || "", comm_lost: !!l.comm_lost,
      stale_after: Number(l.stale_after_seconds || 60) * 1000,
    };
  }
  function normAlarm(a, device) {
    a = a || {};
    return {
      device: a.device || device || "", data_id: Number(a.data_id), device_type: a.device_type || "",
      key: a.key || "", code: a.code || "", name: a.name || "", detail: a.detail || "",
      level: Number(a.level), since: parseTime(a.since),
    };
  }
  function alarmId(a) { return [a.device, a.data_id, a.device_type, a.key, a.detail].join("\u0001"); }
  function normEvent(raw, sseType) {
    const kind = raw.kind || raw.type || sseType;
    return {
      kind: kind, seq: Number(raw.seq || 0), initial: !!raw.initial, device: raw.device || "",
      time: parseTime(raw.time), cycle: raw.cycle || {}, frames: raw.frames || null,
      units: (raw.units || []).map(normUnit), line: raw.line ? normLine(raw.line) : null,
      alarm: raw.alarm ? normAlarm(raw.alarm, raw.device) : null,
    };
  }
  // One raise or clear from the event log.
  function normLogEvent(raw) {
    const a = normAlarm(raw.alarm, "");
    return Object.assign(a, { kind: raw.kind === "cleared" ? "cleared" : "raised", time: parseTime(raw.time), id: raw.id,
      provenance: raw.provenance || null });
  }

  // ---- Site state, from the stream ---------------------------------------
  const site = {
    devices: new Map(),  // name -> {name, line, cycle, time, frames, units}
    alarms: new Map(),   // alarmId -> alarm (with .gen)
    gen: 0,
    lastEvent: 0,
  };
  function device(name) {
    if (!site.devices.has(name)) {
      site.devices.set(name, { name: name, line: normLine(null), cycle: null, time: null, frames: null, units: [] });
    }
    return site.devices.get(name);
  }
  function apply(e) {
    site.lastEvent = Date.now();
    if (e.kind === "cycle") {
      const d = device(e.device);
      d.cycle = e.cycle;
      d.time = e.time;
      d.units = e.units;
      if (e.frames) d.frames = e.frames;
      if (e.line) d.line = e.line;
    } else if (e.kind === "line") {
      if (e.line) device(e.device).line = e.line;
    } else if (e.kind === "alarm_raised" && e.alarm) {
      device(e.alarm.device);
      e.alarm.gen = site.gen;
      if (e.alarm.since === null) e.alarm.since = e.time;
      site.alarms.set(alarmId(e.alarm), e.alarm);
    } else if (e.kind === "alarm_cleared" && e.alarm) {
      site.alarms.delete(alarmId(e.alarm));
    } else if (e.kind === "device_removed") {
      site.devices.delete(e.device);
    }
    if (!e.initial) dropStale();
  }
  // After a reconnection the stream tells the standing alarms again; the
  // ones it did not tell have cleared meanwhile.
  function dropStale() {
    for (const [k, a] of site.alarms) if (a.gen < site.gen) site.alarms.delete(k);
  }

  // ---- The stream --------------------------------------------------------
  const stream = { source: null, since: null, retry: 0, timer: null, connected: false };
  function setConn(state, text) {
    const c = $("conn");
    c.className = "conn conn-" + state;
    c.textContent = text;
    document.body.classList.toggle("offline", state !== "live");
  }
  function banner(text) {
    $("banner").hidden = !text;
    $("banner").textContent = text || "";
  }
  // Where the history goes, from /api/v1/devices: said when it is not the file.
  async function checkHistory() {
    let h = null;
    try { h = (await api("api/v1/devices")).history; } catch (e) { return; }
    const why = h && h.detail ? " (" + h.detail + ")" : "";
    const text = !h ? "" : {
      read_only: "The history database is read-only" + why + ": the stored history is shown; " +
        "new values and alarm events are kept in memory only and are lost on a restart.",
      failing: "The history database cannot be written" + why + ": " + h.waiting_records +
        " records and " + h.waiting_events + " alarm events wait in memory.",
      memory: "The history database cannot be used" + why +
        ": history and alarms are kept in memory only.",
    }[h.state] || "";
    $("history-banner").hidden = !text;
    $("history-banner").textContent = text;
  }
  setInterval(checkHistory, 30000);
  function connect() {
    clearTimeout(stream.timer);
    if (stream.source) stream.source.close();
    const url = "api/v1/stream" + (token() ? "?access_token=" + encodeURIComponent(token()) : "");
    const es = new EventSource(url);
    stream.source = es;
    const onEvent = (msg) => {
      let raw;
      try { raw = JSON.parse(msg.data); } catch (e) { return; }
      apply(normEvent(raw, msg.type === "message" ? "" : msg.type));
      scheduleRender();
      if (raw.kind && /alarm/.test(raw.kind) && !raw.initial) alarmsChanged();
    };
    for (const t of ["message", "cycle", "alarm_raised", "alarm_cleared", "line", "device_removed"]) es.addEventListener(t, onEvent);
    es.onopen = () => {
      stream.connected = true;
      stream.retry = 0;
      stream.since = null;
      site.gen++;
      site.lastEvent = Date.now();
      setConn("live", "live");
      banner("");
      checkHistory();
      // Standing alarms the stream does not repeat soon after opening are gone.
      setTimeout(() => { dropStale(); scheduleRender(); }, 3000);
    };
    es.onerror = () => {
      if (stream.connected || stream.since === null) stream.since = Date.now();
      stream.connected = false;
      setConn("down", "disconnected");
      banner("No connection to the daemon since " + fmtTime(stream.since) +
        ": the values below are the last received. Reconnecting\u2026");
      scheduleRender();
      if (es.readyState === EventSource.CLOSED) {
        // Refused (or the daemon answered with an error): find out why, retry later.
        api("api/v1/devices").catch(() => {});
        const delay = [1, 2, 5, 10, 30][Math.min(stream.retry++, 4)] * 1000;
        stream.timer = setTimeout(connect, delay);
      }
    };
  }
  // A half-open connection never reports an error: reopen a silent stream.
  setInterval(() => {
    if (stream.connected && Date.now() - site.lastEvent > 60000) connect();
  }, 5000);

  // ---- Overview ----------------------------------------------------------
  let renderPending = false;
  function scheduleRender() {
    if (renderPending) return;
    renderPending = true;
    requestAnimationFrame(() => {
      renderPending = false;
      if (page === "overview") renderOverview();
      if (page === "history") fillUnits();
    });
  }
  // requestAnimationFrame does not run in a hidden tab; render anyway now and then.
  setInterval(() => { if (page === "overview") renderOverview(); }, 1000);

  function badge(cls, text, title) { return h("span", { class: "badge " + cls, title: title, text: text }); }
  function levelBadge(l) { return badge("level level-" + l, levelText(l)); }

  function lineBadge(d) {
    const l = d.line;
    if (l.comm_lost) return badge("line-lost", "communication lost" + (l.since ? " since " + fmtTime(l.since) : ""), l.detail);
    if (l.state === "answering") return badge("line-ok", "answering");
    const text = (LINE_TEXT[l.state] || l.state) + (l.since && l.state !== "starting" ? " since " + fmtTime(l.since) : "");
    return badge(l.state === "starting" ? "line-starting" : "line-bad", text, l.detail);
  }

  // When the device's values were measured: the cycle, or for values
  // replayed after a start the oldest stored record.
  function valuesTime(d) {
    let t = d.time;
    for (const u of d.units) if (u.replayed && u.stored !== null && (t === null || u.stored < t)) t = u.stored;
    return t;
  }
  // The daemon's rule: current while the line answers, no communication loss
  // stands and they are younger than the line's stale time.
  function fresh(d, now) {
    const t = valuesTime(d);
    if (t === null || d.line.state !== "answering" || d.line.comm_lost) return false;
    return Math.abs(now - t) < d.line.stale_after;
  }

  function valueCell(v, decimals, unit) {
    const f = fmtValue(v, decimals);
    return h("td", { class: "num " + f.cls, title: f.cls ? f.text : null }, [f.text + (f.cls ? "" : unit ? " " + unit : "")]);
  }

  // ---- What each value is: the daemon's vocabulary -----------------------
  // kind -> {label, values, group}; null until /api/v1/vocabulary answered.
  let vocab = null;
  async function loadVocabulary() {
    if (vocab) return;
    try {
      const body = await api("api/v1/vocabulary");
      vocab = new Map(listOf(body, "units").map((u) => [u.kind, u]));
      scheduleRender();
    } catch (e) {
      setTimeout(loadVocabulary, 5000);
    }
  }
  // The channels or modules a unit's values name, by number.
  function groupNumbers(g, values) {
    const out = [];
    for (let n = g.first; values.has(g.prefix + n + "_" + g.values[0].name); n++) out.push(n);
    return out;
  }
  function groupLabel(g, n) { return g.label + " " + (n - g.first + 1); }
  function stands(row, v) {
    if (!v || !v.ok || row.class !== "alarm") return false;
    return row.alarm_on === "nonzero" ? v.value !== 0 : v.value === row.alarm_on;
  }
  // `headed`: the column's head carries the unit.
  function cellFor(row, v, headed) {
    if (row.class === "state" && v && v.ok && v.value !== null) {
      return h("td", { class: "num mono", text: ("0" + Number(v.value).toString(16)).slice(-2) });
    }
    return valueCell(v, row.precision, headed ? "" : row.unit);
  }
  // The labels of the alarm rows that stand.
  function faultsOf(rows, value) {
    return rows.filter((r) => stands(r, value(r.name))).map((r) => r.column);
  }

  // One unit: its own values in a row, its faults, then a row per channel or module.
  function renderUnit(u) {
    const voc = vocab && vocab.get(u.kind);
    if (!voc) {
      return [h("h4", { text: u.kind + " " + u.data_id }), h("p", { class: "mono",
        text: [...u.values].map(([n, v]) => n + " " + fmtValue(v, 2).text).join(", ") })];
    }
    const head = (cells) => h("thead", {}, [h("tr", {}, cells.map((t) => h("th", { class: "num", text: t })))]);
    const parts = [h("h4", { text: voc.label + " " + u.data_id })];
    const shown = voc.values.filter((r) => r.class !== "alarm" && u.values.has(r.name));
    if (shown.length) {
      parts.push(h("table", { class: "vals" }, [head(shown.map((r) => r.label)),
        h("tbody", {}, [h("tr", {}, shown.map((r) => cellFor(r, u.values.get(r.name))))])]));
    }
    const unitFaults = voc.values.filter((r) => stands(r, u.values.get(r.name))).map((r) => r.label);
    if (unitFaults.length) parts.push(h("p", { class: "fault", text: unitFaults.join(", ") }));
    const g = voc.group;
    if (!g) return parts;
    const cols = g.values.filter((r) => r.class !== "alarm");
    const alarms = g.values.filter((r) => r.class === "alarm");
    const rows = groupNumbers(g, u.values).map((n) => {
      const value = (name) => u.values.get(g.prefix + n + "_" + name);
      const faults = faultsOf(alarms, value);
      const cells = [h("th", { text: groupLabel(g, n) })].concat(cols.map((r) => cellFor(r, value(r.name), true)));
      if (alarms.length) cells.push(h("td", { class: faults.length ? "fault" : "ok", text: faults.length ? faults.join(", ") : "ok" }));
      return h("tr", { class: faults.length ? "faulty" : "" }, cells);
    });
    if (rows.length) {
      const heads = [""].concat(cols.map((r) => r.column + (r.unit ? " (" + r.unit + ")" : "")));
      if (alarms.length) heads.push("Faults");
      parts.push(h("table", { class: "vals groups" }, [head(heads), h("tbody", {}, rows)]));
    }
    return parts;
  }

  function sortedAlarms(list) {
    return list.slice().sort((a, b) => (a.level - b.level) || ((b.since || 0) - (a.since || 0)));
  }

  function alarmTable(list, empty) {
    if (!list.length) return h("p", { class: "none", text: empty });
    return h("table", { class: "alarms" }, [
      h("thead", {}, [h("tr", {}, ["Level", "Device", "Code", "Name", "Detail", "Since"].map((t) => h("th", { text: t })))]),
      h("tbody", {}, list.map((a) => h("tr", { class: "alarm level-" + a.level }, [
        h("td", {}, [levelBadge(a.level)]), h("td", { text: a.device }), h("td", { class: "mono", text: a.code }),
        h("td", { text: a.name }), h("td", { text: a.detail }),
        h("td", { title: fmtDuration(Date.now() - a.since) }, [fmtTime(a.since), h("br"), h("small", { text: "for " + fmtDuration(Date.now() - a.since) })]),
      ]))),
    ]);
  }

  function renderOverview() {
    const alarms = sortedAlarms([...site.alarms.values()]);
    $("alarm-count").textContent = "(" + alarms.length + ")";
    $("active-alarms").replaceChildren(alarmTable(alarms, "No alarm stands."));
    const cards = [];
    for (const d of site.devices.values()) {
      const kids = [h("h3", {}, [d.name, " ", lineBadge(d)])];
      const meta = [];
      const last = d.line.last_cycle || d.time;
      meta.push("Last cycle " + fmtTime(last) + (last ? " (" + fmtDuration(Date.now() - last) + " ago)" : ""));
      if (d.cycle && d.cycle.poll_seconds !== undefined) meta.push("poll " + Math.round(d.cycle.poll_seconds * 1000) + " ms");
      if (d.cycle && d.cycle.period_seconds) meta.push("period " + Number(d.cycle.period_seconds).toFixed(2) + " s");
      if (d.cycle && d.cycle.number) meta.push("cycle " + d.cycle.number);
      kids.push(h("p", { class: "meta", text: meta.join(" \u00b7 ") }));
      if (d.line.detail && d.line.state !== "answering") kids.push(h("p", { class: "detail", text: d.line.detail }));
      const stale = d.units.length > 0 && !fresh(d, Date.now());
      if (stale) {
        const t = valuesTime(d);
        kids.push(h("p", { class: "note stale-note", text: "Not current: values from " + fmtTime(t) +
          " (" + fmtDuration(Date.now() - t) + " old)" +
          (d.units.some((u) => u.replayed) ? ", stored before the start" : "") + "." }));
      }
      for (const u of d.units) {
        kids.push(h("div", { class: "unit unit-" + u.kind + (stale ? " stale" : "") }, renderUnit(u)));
      }
      const bad = d.line.comm_lost || (d.line.state !== "answering" && d.line.state !== "starting");
      cards.push(h("article", { class: "card" + (bad ? " card-bad" : ""), "data-device": d.name }, kids));
    }
    if (!cards.length) cards.push(h("p", { class: "none", text: stream.connected ? "No device reported yet." : "Waiting for the daemon\u2026" }));
    $("devices").replaceChildren(...cards);
  }

  // ---- Alarm log ---------------------------------------------------------
  let alarmsTimer = null;
  function alarmsChanged() {
    if (page !== "alarms") return;
    clearTimeout(alarmsTimer);
    alarmsTimer = setTimeout(loadAlarmLog, 500);
  }

  async function fetchEvents(from, to) {
    // The log comes in pages, oldest first: follow them to the window's end.
    const since = from !== null ? "since=" + encodeURIComponent(new Date(from).toISOString()) + "&" : "";
    const all = [];
    let after = 0;
    for (let page = 0; page < 100; page++) {
      const body = await api("api/v1/events?" + since + "after=" + after);
      const batch = listOf(body, "events").map(normLogEvent);
      all.push(...batch);
      if (body.next_after === null || body.next_after === undefined || !batch.length) break;
      if (to !== null && batch[batch.length - 1].time > to) break;
      after = body.next_after;
    }
    return all;
  }

  // Pairs each raise with the clear that followed it: how long it stood.
  function pairEvents(events) {
    const open = new Map();
    const sorted = events.slice().sort((a, b) => a.time - b.time);
    for (const e of sorted) {
      const k = alarmId(e);
      if (e.kind === "raised") {
        open.set(k, e);
        e.stood = null;
      } else if (open.has(k)) {
        const r = open.get(k);
        r.cleared = e.time;
        e.stood = e.time - r.time;
        r.stood = e.stood;
        open.delete(k);
      }
    }
    return sorted;
  }

  async function loadAlarmLog() {
    const from = fromLocalInput($("f-from").value), to = fromLocalInput($("f-to").value);
    const dev = $("f-device").value, lvl = $("f-level").value;
    let events;
    try {
      events = pairEvents(await fetchEvents(from, to));
    } catch (e) {
      $("events").replaceChildren(h("p", { class: "error", text: "Cannot read the alarm log: " + e.message }));
      return;
    }
    fillSelect($("f-device"), [...new Set([...site.devices.keys(), ...events.map((e) => e.device).filter((d) => d)])], "all");
    const shown = events.filter((e) => (!dev || e.device === dev) && (!lvl || e.level === Number(lvl)) &&
      (from === null || e.time >= from) && (to === null || e.time <= to)).reverse();
    if (!shown.length) {
      $("events").replaceChildren(h("p", { class: "none", text: "No alarm event matches." }));
      return;
    }
    const now = Date.now();
    $("events").replaceChildren(h("table", { class: "alarms log" }, [
      h("thead", {}, [h("tr", {}, ["Time", "Event", "Level", "Device", "Code", "Name", "Detail", "Stood", "Unit said"].map((t) => h("th", { text: t })))]),
      h("tbody", {}, shown.map((e) => h("tr", { class: "ev-" + e.kind + " level-" + e.level }, [
        h("td", { text: fmtTime(e.time) }),
        h("td", {}, [badge(e.kind === "raised" ? "ev-raised" : "ev-cleared", e.kind === "raised" ? "\u25B2 raised" : "\u25BD cleared")]),
        h("td", {}, [levelBadge(e.level)]), h("td", { text: e.device }), h("td", { class: "mono", text: e.code }),
        h("td", { text: e.name }), h("td", { text: e.detail }),
        h("td", { text: e.stood !== null && e.stood !== undefined ? fmtDuration(e.stood) :
          e.kind === "raised" ? "standing, " + fmtDuration(now - e.time) : "\u2014" }),
        h("td", {}, [provenanceCell(e.provenance)]),
      ]))),
    ]));
  }

  // The cycle an event was evaluated in and the answers it came from, in hex.
  function provenanceCell(p) {
    if (!p) return h("span", { text: "\u2014" });
    const answers = p.answers || [];
    const summary = "cycle " + p.cycle + (answers.length ? ", " + answers.map((a) => a.command).join(" ") : ", no answer");
    return h("details", { class: "provenance" }, [h("summary", { text: summary })].concat(answers.map((a) =>
      h("div", { class: "mono", text: a.command + " " + fmtTime(parseTime(a.time)) + " " + a.hex }))));
  }

  function fillSelect(sel, values, allText, labels) {
    const keep = sel.value;
    const opts = allText ? [h("option", { value: "", text: allText })] : [];
    values.forEach((v, i) => opts.push(h("option", { value: v, text: labels ? labels[i] : v })));
    sel.replaceChildren(...opts);
    if ([...sel.options].some((o) => o.value === keep)) sel.value = keep;
  }

  // ---- History -----------------------------------------------------------
  function units() {
    const out = [];
    for (const d of site.devices.values()) for (const u of d.units) out.push({ device: d.name, unit: u });
    return out;
  }
  function fillUnits() {
    const list = units();
    const sel = $("h-unit");
    const values = list.map((x) => String(x.unit.data_id));
    if (sel.options.length === values.length && [...sel.options].every((o, i) => o.value === values[i])) return;
    fillSelect(sel, values, null, list.map((x) => x.device + " \u00b7 " + kindLabel(x.unit.kind) + " " + x.unit.data_id));
    const want = historyParams().get("data_id");
    if (want && values.includes(want)) sel.value = want;
  }
  function historyParams() {
    const q = location.hash.indexOf("?");
    return new URLSearchParams(q < 0 ? "" : location.hash.slice(q + 1));
  }

  function kindLabel(kind) { return vocab && vocab.get(kind) ? vocab.get(kind).label : kind; }
  // The charts of a unit, as the vocabulary draws them: [title, unit, [[value name, label]]],
  // rows with the same chart title in one chart.
  function chartsFor(kind, names) {
    const voc = vocab && vocab.get(kind);
    if (!voc) return [];
    const charts = new Map();
    const add = (row, name, label) => {
      if (!row.plot || !names.has(name)) return;
      if (!charts.has(row.plot)) charts.set(row.plot, [row.plot, row.unit, []]);
      charts.get(row.plot)[2].push([name, label]);
    };
    for (const r of voc.values) add(r, r.name, r.column);
    const g = voc.group;
    if (g) {
      for (const n of groupNumbers(g, names)) {
        for (const r of g.values) add(r, g.prefix + n + "_" + r.name, groupLabel(g, n) + (g.values.filter((x) => x.plot === r.plot).length > 1 ? " " + r.column : ""));
      }
    }
    return [...charts.values()];
  }
  // The names a kind's charts draw, for the history query ("" every value).
  function plottedNames(kind) {
    const voc = vocab && vocab.get(kind);
    if (!voc || !voc.group) return "";
    const list = voc.values.filter((r) => r.plot).map((r) => r.name)
      .concat(voc.group.values.filter((r) => r.plot).map((r) => voc.group.prefix + "*_" + r.name));
    return "&names=" + list.join(",");
  }

  function normRecord(r) {
    return { t: parseTime(r.time), values: normValues(r.values, r.replies) };
  }

  let historyRun = 0;
  async function loadHistory() {
    const run = ++historyRun;
    const dataId = $("h-unit").value;
    if (!dataId) {
      $("history-note").textContent = "No unit known yet.";
      return;
    }
    const entry = units().find((x) => String(x.unit.data_id) === dataId);
    const win = $("h-window").value;
    let from, to;
    if (win === "custom") {
      from = fromLocalInput($("h-from").value);
      to = fromLocalInput($("h-to").value) || Date.now();
      if (from === null || from >= to) {
        $("history-note").textContent = "Choose a start before the end.";
        return;
      }
    } else {
      to = Date.now();
      from = to - Number(win) * 1000;
    }
    const points = Math.max(200, Math.min(2000, Math.round(($("plots").clientWidth || 800) * 1.5)));
    $("history-note").textContent = "Loading\u2026";
    let records = [], events = [], inWindow = 0;
    try {
      // Only what is plotted: not every status byte of every module.
      const names = entry ? plottedNames(entry.unit.kind) : "";
      const q = "data_id=" + dataId + "&from=" + encodeURIComponent(new Date(from).toISOString()) +
        "&to=" + encodeURIComponent(new Date(to).toISOString()) + "&points=" + points + names;
      const [hist, evs] = await Promise.all([api("api/v1/history?" + q), fetchEvents(from, to)]);
      records = listOf(hist, "records").filter((r) => r.values).map(normRecord).filter((r) => r.t !== null);
      inWindow = hist.records_in_window;
      events = evs;
    } catch (e) {
      if (run === historyRun) $("history-note").textContent = "Cannot read the history: " + e.message;
      return;
    }
    if (run !== historyRun) return;
    const device = entry ? entry.device : "";
    const ids = new Set(entry ? site.devices.get(device).units.map((u) => u.data_id) : [Number(dataId)]);
    const markers = events.filter((e) => (e.device ? e.device === device : ids.has(e.data_id)) && e.time >= from && e.time <= to)
      .map((e) => ({ t: e.time, kind: e.kind, text: fmtTime(e.time) + " " + e.code + " " + e.name + " " + e.detail }));
    const names = new Set();
    for (const r of records) for (const n of r.values.keys()) names.add(n);
    await loadVocabulary();
    const kind = entry ? entry.unit.kind : [...(vocab || new Map()).values()]
      .map((u) => u.kind).find((k) => vocab.get(k).values.some((r) => names.has(r.name))) || "";
    $("history-note").textContent = inWindow + " records from " + fmtTime(from) + " to " + fmtTime(to) +
      (records.length < inWindow ? " (" + records.length + " plotted: each value's lowest and highest per time slot)" : "") +
      (markers.length ? ", " + markers.length + " alarm events" : "");
    const plots = [];
    for (const [title, unit, series] of chartsFor(kind, names)) {
      const box = h("div", { class: "plot" });
      plots.push(box);
      box.dataset.title = title;
      box._spec = {
        title: title, unit: unit, from: from, to: to, markers: markers,
        series: series.map(([n, label]) => ({
          label: label, points: records.map((r) => { const v = r.values.get(n); return [r.t, v && v.ok ? v.value : null]; }),
        })),
      };
    }
    $("plots").replaceChildren(...plots);
    drawPlots();
  }
  function drawPlots() {
    for (const box of $("plots").children) if (box._spec) Ravo3Chart.render(box, box._spec);
  }
  let resizeTimer = null;
  window.addEventListener("resize", () => { clearTimeout(resizeTimer); resizeTimer = setTimeout(drawPlots, 150); });

  // ---- Pages -------------------------------------------------------------
  let page = "";
  function route() {
    const name = (location.hash.replace(/^#/, "").split("?")[0]) || "overview";
    page = ["overview", "alarms", "history"].includes(name) ? name : "overview";
    for (const p of document.querySelectorAll(".page")) p.hidden = p.id !== "page-" + page;
    for (const a of document.querySelectorAll("nav a")) a.classList.toggle("active", a.dataset.page === page);
    if (page === "overview") renderOverview();
    if (page === "alarms") loadAlarmLog();
    if (page === "history") {
      fillUnits();
      const q = historyParams();
      if (q.get("window")) $("h-window").value = q.get("window");
      if (q.get("from")) $("h-from").value = toLocalInput(parseTime(q.get("from")));
      if (q.get("to")) $("h-to").value = toLocalInput(parseTime(q.get("to")));
      document.body.classList.toggle("custom-window", $("h-window").value === "custom");
      if ($("h-unit").value) loadHistory();
      else waitForUnits();
    }
  }
  // The history page opened directly: plot once the stream has named the units.
  function waitForUnits() {
    const t = setInterval(() => {
      if (page !== "history") return clearInterval(t);
      fillUnits();
      if ($("h-unit").value) {
        clearInterval(t);
        loadHistory();
      }
    }, 200);
  }

  function init() {
    $("tz").textContent = "UTC" + offsetText(new Date());
    $("token-form").addEventListener("submit", (ev) => {
      ev.preventDefault();
      sessionStorage.setItem(TOKEN_KEY, $("token-input").value.trim());
      $("token-input").value = "";
      $("token-form").hidden = true;
      connect();
      loadVocabulary();
      route();
    });
    $("alarm-filter").addEventListener("submit", (ev) => { ev.preventDefault(); loadAlarmLog(); });
    for (const id of ["f-device", "f-level"]) $(id).addEventListener("change", loadAlarmLog);
    $("history-form").addEventListener("submit", (ev) => { ev.preventDefault(); loadHistory(); });
    $("h-window").addEventListener("change", () => {
      document.body.classList.toggle("custom-window", $("h-window").value === "custom");
      if ($("h-window").value === "custom" && !$("h-from").value) {
        $("h-from").value = toLocalInput(Date.now() - 3600000);
        $("h-to").value = toLocalInput(Date.now());
      }
    });
    window.addEventListener("hashchange", route);
    loadVocabulary();
    route();
    connect();
  }
  init();
})();
