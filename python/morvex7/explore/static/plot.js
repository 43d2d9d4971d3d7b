// A small SVG plot of spectra: curve, sticks, measured data and fit on one energy axis.
// Plain JavaScript, no library: the page needs nothing from the network.
"use strict";

const SVG_NS = "http://www.w3.org/2000/svg";

function niceStep(span, count) {
  const raw = span / Math.max(count, 1);
  const mag = Math.pow(10, Math.floor(Math.log10(raw)));
  const f = raw / mag;
  return (f < 1.5 ? 1 : f < 3.5 ? 2 : f < 7.5 ? 5 : 10) * mag;
}

function ticks(lo, hi, count) {
  if (!(hi > lo)) return [lo];
  const step = niceStep(hi - lo, count);
  const out = [];
  for (let v = Math.ceil(lo / step) * step; v <= hi + step * 1e-9; v += step) {
    out.push(Math.abs(v) < step * 1e-9 ? 0 : v);
  }
  return out;
}

function el(name, attrs, parent, text) {
  const e = document.createElementNS(SVG_NS, name);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, String(v));
  if (text !== undefined) e.textContent = text;
  if (parent) parent.appendChild(e);
  return e;
}

function extent(arrays) {
  let lo = Infinity, hi = -Infinity;
  for (const a of arrays) for (const v of a) { if (v < lo) lo = v; if (v > hi) hi = v; }
  return [lo, hi];
}

function fmt(v, step) {
  const digits = Math.max(0, -Math.floor(Math.log10(step) + 1e-9));
  return v.toFixed(Math.min(digits, 6));
}

// series: {curve: {x, y}, sticks: {x, y}, measured: {x, y}, fit: {x, y}}, xlabel.
// The axis mapping is left on the svg as data-* attributes (x0, x1, y0, y1 in data units and
// the plot rectangle in svg units), so that a reader of the picture can turn points back into
// energies.
function drawPlot(svg, series, xlabel) {
  while (svg.firstChild) svg.removeChild(svg.firstChild);
  const W = 800, H = 480, L = 70, R = 20, T = 20, B = 55;
  const pw = W - L - R, ph = H - T - B;
  el("rect", {x: 0, y: 0, width: W, height: H, fill: "#ffffff"}, svg);
  const xs = [], ys = [];
  for (const key of ["curve", "measured", "fit"]) {
    const s = series[key];
    if (s && s.x.length) { xs.push(s.x); ys.push(s.y); }
  }
  if (!xs.length) {
    el("text", {x: W / 2, y: H / 2, "text-anchor": "middle", fill: "#666"}, svg, "no spectrum yet");
    return;
  }
  let [x0, x1] = extent(xs);
  let [ymin, y1] = extent(ys);
  const y0 = Math.min(0, ymin);
  if (!(x1 > x0)) { x0 -= 1; x1 += 1; }
  if (!(y1 > y0)) y1 = y0 + 1;
  y1 = y0 + (y1 - y0) * 1.06;
  const px = (x) => L + (x - x0) / (x1 - x0) * pw;
  const py = (y) => T + ph - (y - y0) / (y1 - y0) * ph;
  Object.assign(svg.dataset, {x0, x1, y0, y1, left: L, top: T, width: pw, height: ph});

  const grid = el("g", {class: "grid"}, svg);
  const xt = ticks(x0, x1, 8), yt = ticks(y0, y1, 6);
  const xstep = xt.length > 1 ? xt[1] - xt[0] : 1, ystep = yt.length > 1 ? yt[1] - yt[0] : 1;
  for (const v of xt) {
    el("line", {x1: px(v), x2: px(v), y1: T, y2: T + ph, stroke: "#e4e4e4"}, grid);
    el("text", {x: px(v), y: T + ph + 18, "text-anchor": "middle", "font-size": 12,
                fill: "#333", "font-family": "sans-serif"}, grid, fmt(v, xstep));
  }
  for (const v of yt) {
    el("line", {x1: L, x2: L + pw, y1: py(v), y2: py(v), stroke: "#e4e4e4"}, grid);
    el("text", {x: L - 6, y: py(v) + 4, "text-anchor": "end", "font-size": 12, fill: "#333",
                "font-family": "sans-serif"}, grid, fmt(v, ystep));
  }
  el("rect", {x: L, y: T, width: pw, height: ph, fill: "none", stroke: "#444"}, svg);
  el("text", {x: L + pw / 2, y: H - 14, "text-anchor": "middle", "font-size": 14,
              fill: "#222", "font-family": "sans-serif"}, svg, xlabel || "energy (eV)");
  el("text", {x: 18, y: T + ph / 2, "text-anchor": "middle", "font-size": 14, fill: "#222",
              "font-family": "sans-serif", transform: `rotate(-90 18 ${T + ph / 2})`}, svg,
     "intensity");

  const clipId = "plot-area";
  const defs = el("defs", {}, svg);
  const clip = el("clipPath", {id: clipId}, defs);
  el("rect", {x: L, y: T, width: pw, height: ph}, clip);
  const area = el("g", {"clip-path": `url(#${clipId})`}, svg);

  const st = series.sticks;
  if (st && st.x.length) {
    const top = Math.max(...st.y);
    const g = el("g", {id: "sticks", stroke: "#8a8a8a", "stroke-width": 1}, area);
    for (let i = 0; i < st.x.length; i++) {
      const h = top > 0 ? st.y[i] / top * 0.25 * ph : 0;
      el("line", {x1: px(st.x[i]), x2: px(st.x[i]), y1: T + ph, y2: T + ph - h}, g);
    }
  }
  const path = (s, attrs) => {
    let d = "";
    for (let i = 0; i < s.x.length; i++) {
      d += (i ? "L" : "M") + px(s.x[i]).toFixed(2) + "," + py(s.y[i]).toFixed(2);
    }
    return el("path", Object.assign({d, fill: "none"}, attrs), area);
  };
  const legend = [];
  if (series.measured && series.measured.x.length) {
    path(series.measured, {id: "measured-line", stroke: "#d95f02", "stroke-width": 1.2});
    legend.push(["measured", "#d95f02", ""]);
  }
  if (series.curve && series.curve.x.length) {
    path(series.curve, {id: "curve", stroke: "#2d4b9a", "stroke-width": 1.8});
    legend.unshift(["calculated", "#2d4b9a", ""]);
  }
  if (series.fit && series.fit.x.length) {  // on top: it mostly lies on the calculated curve
    path(series.fit, {id: "fit-line", stroke: "#1b9e77", "stroke-width": 1.8,
                      "stroke-dasharray": "6 4"});
    legend.push(["fit", "#1b9e77", "6 4"]);
  }
  legend.forEach(([name, colour, dash], i) => {
    const y = T + 16 + 18 * i;
    el("line", {x1: L + pw - 130, x2: L + pw - 100, y1: y, y2: y, stroke: colour,
                "stroke-width": 2, "stroke-dasharray": dash || "none"}, svg);
    el("text", {x: L + pw - 94, y: y + 4, "font-size": 12, fill: "#222",
                "font-family": "sans-serif"}, svg, name);
  });
}

window.drawPlot = drawPlot;
