// A small SVG line chart: value and time axes (ticks in local time), several
// series told apart by colour and dash, gaps where values are missing, and
// alarm raise/clear markers on the time axis.
"use strict";
(function () {
  const NS = "http://www.w3.org/2000/svg";
  const COLOURS = ["#1f63b4", "#c62828", "#2e7d32", "#7b3fa0", "#e07b00", "#00838f", "#6d4c41", "#c2185b"];
  const DASHES = ["", "7 3", "2 3", "9 3 2 3"];
  // Time steps in seconds, small to large; the first that fits is used.
  const STEPS = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600,
    43200, 86400, 172800, 604800];

  function el(name, attrs, parent) {
    const e = document.createElementNS(NS, name);
    for (const k in attrs) e.setAttribute(k, attrs[k]);
    if (parent) parent.appendChild(e);
    return e;
  }
  function text(parent, x, y, s, attrs) {
    const t = el("text", Object.assign({ x: x, y: y }, attrs || {}), parent);
    t.textContent = s;
    return t;
  }
  function pad2(n) { return (n < 10 ? "0" : "") + n; }

  // Ticks of 1, 2 or 5 times a power of ten, about `count` of them.
  function valueTicks(lo, hi, count) {
    const raw = (hi - lo) / Math.max(1, count);
    const mag = Math.pow(10, Math.floor(Math.log10(raw)));
    const step = [1, 2, 5, 10].map((m) => m * mag).find((s) => s >= raw) || 10 * mag;
    const ticks = [];
    for (let v = Math.ceil(lo / step) * step; v <= hi + step * 1e-9; v += step) {
      ticks.push(Math.abs(v) < step * 1e-9 ? 0 : v);
    }
    const decimals = Math.max(0, -Math.floor(Math.log10(step) + 1e-9));
    return { ticks: ticks, decimals: decimals };
  }

  // Ticks on whole local steps (counted from local midnight), at most `count`.
  function timeTicks(from, to, count) {
    const span = (to - from) / 1000;
    const step = STEPS.find((s) => span / s <= count) || Math.ceil(span / count / 86400) * 86400;
    const base = new Date(from);
    base.setHours(0, 0, 0, 0);
    const ms = step * 1000;
    const ticks = [];
    for (let t = base.getTime() + Math.ceil((from - base.getTime()) / ms) * ms; t <= to; t += ms) {
      ticks.push(t);
    }
    return { ticks: ticks, step: step };
  }

  function timeLabel(t, step, withDate) {
    const d = new Date(t);
    let s = pad2(d.getHours()) + ":" + pad2(d.getMinutes());
    if (step < 60) s += ":" + pad2(d.getSeconds());
    if (withDate || step >= 86400) s = pad2(d.getMonth() + 1) + "-" + pad2(d.getDate()) + (step >= 86400 ? "" : " " + s);
    return s;
  }

  // A cursor that follows the pointer: the time and each series' value there.
  function addCursor(svg, opts, g) {
    const cur = el("g", { class: "cursor", visibility: "hidden" }, svg);
    const line = el("line", { y1: g.m.top, y2: g.m.top + g.h }, cur);
    const box = el("text", { y: g.m.top + 14, class: "cursor-text" }, cur);
    const hit = el("rect", { x: g.m.left, y: g.m.top, width: g.w, height: g.h, fill: "transparent" }, svg);
    const move = (ev) => {
      const r = svg.getBoundingClientRect();
      const px = ((ev.clientX - r.left) / r.width) * svg.viewBox.baseVal.width;
      const t = g.from + ((px - g.m.left) / g.w) * (g.to - g.from);
      const lines = [Ravo3Chart.timeLabel(t, 1, true)];
      for (const s of opts.series) {
        let best = null;
        for (const p of s.points) if (p[1] !== null && (best === null || Math.abs(p[0] - t) < Math.abs(best[0] - t))) best = p;
        if (best) lines.push(s.label + " " + Number(best[1]).toFixed(2));
      }
      line.setAttribute("x1", px);
      line.setAttribute("x2", px);
      const right = px > g.m.left + g.w * 0.6;
      box.setAttribute("text-anchor", right ? "end" : "start");
      box.textContent = "";
      lines.forEach((l, i) => {
        const ts = el("tspan", { x: px + (right ? -6 : 6), dy: i ? 14 : 0 }, box);
        ts.textContent = l;
      });
      cur.setAttribute("visibility", "visible");
    };
    hit.addEventListener("pointermove", move);
    hit.addEventListener("pointerdown", move);
    hit.addEventListener("pointerleave", () => cur.setAttribute("visibility", "hidden"));
  }

  // opts: {title, unit, from, to (ms), series: [{label, points: [[t ms, v or null]]}],
  //        markers: [{t, kind: "raised"|"cleared", text}], height}
  function render(container, opts) {
    container.textContent = "";
    const width = Math.max(280, container.clientWidth || 640);
    const height = opts.height || 240;
    const narrow = width < 480;
    const m = { left: narrow ? 46 : 58, right: 12, top: 22, bottom: 34 };
    const w = width - m.left - m.right;
    const h = height - m.top - m.bottom;
    const from = opts.from, to = Math.max(opts.to, opts.from + 1000);

    let lo = Infinity, hi = -Infinity, count = 0;
    for (const s of opts.series) {
      for (const p of s.points) {
        if (p[1] === null || !isFinite(p[1]) || p[0] < from || p[0] > to) continue;
        lo = Math.min(lo, p[1]);
        hi = Math.max(hi, p[1]);
        count++;
      }
    }
    if (!count) { lo = 0; hi = 1; }
    if (hi - lo < 1e-6) {
      const d = Math.max(Math.abs(hi) * 0.02, 0.5);
      lo -= d;
      hi += d;
    } else {
      const d = (hi - lo) * 0.06;
      lo -= d;
      hi += d;
    }
    const x = (t) => m.left + ((t - from) / (to - from)) * w;
    const y = (v) => m.top + (1 - (v - lo) / (hi - lo)) * h;

    const svg = el("svg", {
      viewBox: "0 0 " + width + " " + height, width: width, height: height, role: "img",
      class: "chart", "aria-label": opts.title + (count ? "" : ": no values in this window"),
    }, container);
    text(svg, m.left, 14, opts.title + (opts.unit ? " (" + opts.unit + ")" : ""), { class: "chart-title" });

    const grid = el("g", { class: "grid" }, svg);
    const vt = valueTicks(lo, hi, Math.max(3, Math.floor(h / 40)));
    for (const v of vt.ticks) {
      el("line", { x1: m.left, x2: m.left + w, y1: y(v), y2: y(v) }, grid);
      text(svg, m.left - 5, y(v) + 4, v.toFixed(vt.decimals), { class: "tick", "text-anchor": "end" });
    }
    const tt = timeTicks(from, to, Math.max(2, Math.floor(w / (narrow ? 70 : 90))));
    let lastDay = null;
    for (const t of tt.ticks) {
      el("line", { x1: x(t), x2: x(t), y1: m.top, y2: m.top + h }, grid);
      const day = new Date(t).toDateString();
      // Labels at the edges stay inside the drawing.
      const anchor = x(t) > m.left + w - 30 ? "end" : x(t) < m.left + 30 ? "start" : "middle";
      text(svg, x(t), m.top + h + 16, timeLabel(t, tt.step, lastDay !== null && day !== lastDay),
        { class: "tick", "text-anchor": anchor });
      lastDay = day;
    }
    el("rect", { x: m.left, y: m.top, width: w, height: h, class: "frame" }, svg);

    // Alarm markers under the lines, so that values stay readable.
    const marks = el("g", { class: "markers" }, svg);
    for (const mk of opts.markers || []) {
      if (mk.t < from || mk.t > to) continue;
      const g = el("g", { class: "marker marker-" + mk.kind }, marks);
      el("line", { x1: x(mk.t), x2: x(mk.t), y1: m.top, y2: m.top + h }, g);
      text(g, x(mk.t), m.top + h + 30, mk.kind === "raised" ? "\u25B2" : "\u25BD", { "text-anchor": "middle" });
      el("title", {}, g).textContent = (mk.kind === "raised" ? "raised " : "cleared ") + mk.text;
    }

    const clip = "clip" + Math.random().toString(36).slice(2);
    el("rect", { x: m.left, y: m.top, width: w, height: h }, el("clipPath", { id: clip }, svg));
    opts.series.forEach((s, k) => {
      s.colour = COLOURS[k % COLOURS.length];
      s.dash = DASHES[k % DASHES.length];
      // A gap in time much longer than the usual step is a gap in the line.
      const pts = s.points.filter((p) => p[0] >= from && p[0] <= to);
      const dts = [];
      for (let i = 1; i < pts.length; i++) dts.push(pts[i][0] - pts[i - 1][0]);
      dts.sort((a, b) => a - b);
      const gap = Math.max(10000, 5 * (dts.length ? dts[dts.length >> 1] : 0));
      let d = "", pen = false, prev = null, n = 0;
      for (const p of pts) {
        const ok = p[1] !== null && isFinite(p[1]);
        if (!ok || (prev !== null && p[0] - prev > gap)) pen = false;
        if (ok) {
          d += (pen ? "L" : "M") + x(p[0]).toFixed(1) + " " + y(p[1]).toFixed(1);
          pen = true;
          n++;
        }
        prev = p[0];
      }
      el("path", {
        d: d || "M0 0", class: "series", "clip-path": "url(#" + clip + ")", "data-points": n,
        stroke: s.colour, "stroke-dasharray": s.dash,
      }, svg);
    });
    if (!count) {
      text(svg, m.left + w / 2, m.top + h / 2, "no values in this window", { class: "empty", "text-anchor": "middle" });
    } else {
      addCursor(svg, opts, { x: x, y: y, m: m, w: w, h: h, from: from, to: to });
    }

    const legend = document.createElement("div");
    legend.className = "legend";
    for (const s of opts.series) {
      const item = document.createElement("span");
      const sample = el("svg", { width: 26, height: 10, "aria-hidden": "true" });
      el("line", { x1: 1, x2: 25, y1: 5, y2: 5, stroke: s.colour, "stroke-width": 2.5, "stroke-dasharray": s.dash }, sample);
      item.appendChild(sample);
      item.appendChild(document.createTextNode(" " + s.label));
      legend.appendChild(item);
    }
    if ((opts.markers || []).some((mk) => mk.t >= from && mk.t <= to)) {
      const item = document.createElement("span");
      item.className = "legend-markers";
      item.textContent = "\u25B2 alarm raised  \u25BD cleared";
      legend.appendChild(item);
    }
    container.appendChild(legend);
    return svg;
  }

  window.Ravo3Chart = { render: render, timeLabel: timeLabel };
})();
