// The explorer page: parameters in, spectrum out. Every change posts the whole state to the
// server, which checks it, runs the engine (a newer change cancels an older run) and answers
// with the curve; answers older than the newest request are dropped.
"use strict";

const state = {
  model: null,        // /api/model
  values: {},         // parameter name -> value
  view: {},           // lorentz, gauss, polarisation, temperature, edge
  spectrum: null,     // the last good answer of /api/spectrum
  measured: null,     // {name, energy, intensity}
  overlay: {shift: 0, scale: 1, background: 0},
  fit: null,          // {energy, best_fit}
  requested: 0,       // number of the newest spectrum request
  drawn: 0,           // number of spectra drawn
};
let controller = null;  // aborts the request a newer change replaces
let timer = null;

const $ = (id) => document.getElementById(id);

function setMessage(text, kind) {
  const m = $("message");
  m.textContent = text;
  m.className = kind || "";
}

function numberRow(tbody, opts) {
  // opts: {name, label, value, min, max, low, high, step, fit, onChange}
  const tr = document.createElement("tr");
  tr.dataset.name = opts.name;
  const name = document.createElement("td");
  name.className = "name";
  name.textContent = opts.label || opts.name;
  const num = document.createElement("input");
  num.type = "number";
  num.step = "any";
  num.value = opts.value;
  num.id = opts.id;
  num.setAttribute("aria-label", opts.label || opts.name);
  const slider = document.createElement("input");
  slider.type = "range";
  slider.min = opts.low;
  slider.max = opts.high;
  slider.step = opts.step || 0.01;
  slider.value = opts.value;
  slider.id = opts.id + "-slider";
  slider.tabIndex = -1;
  const td1 = document.createElement("td"), td2 = document.createElement("td");
  td1.appendChild(num);
  td2.appendChild(slider);
  tr.append(name, td1, td2);
  if (opts.fit) {
    const td3 = document.createElement("td");
    const box = document.createElement("input");
    box.type = "checkbox";
    box.className = "fit-box";
    box.dataset.name = opts.name;
    box.id = opts.id + "-fit";
    td3.appendChild(box);
    tr.appendChild(td3);
  }
  const take = (text, fromSlider) => {
    const v = Number(text);
    const ok = text.trim() !== "" && Number.isFinite(v);
    num.classList.toggle("invalid", !ok);
    if (!ok) {
      setMessage(`${opts.label || opts.name}: ${JSON.stringify(text)} is not a number`, "error");
      return;
    }
    if (fromSlider) num.value = text;
    else if (v >= Number(slider.min) && v <= Number(slider.max)) slider.value = text;
    opts.onChange(v, text);
  };
  num.addEventListener("input", () => take(num.value, false));
  num.addEventListener("change", () => take(num.value, false));
  slider.addEventListener("input", () => take(slider.value, true));
  tbody.appendChild(tr);
  return {num, slider, set(v) { num.value = v; slider.value = v; num.classList.remove("invalid"); }};
}

const fields = {};

function buildControls(model) {
  $("title").textContent = model.title;
  $("model-path").textContent = model.model;
  document.title = `${model.title} — morvex7 explorer`;
  const pbody = $("params").querySelector("tbody");
  const sideBody = $("params-one-side").querySelector("tbody");
  for (const p of model.params) {
    state.values[p.name] = p.value;
    if (p.group === "one side") $("one-side").hidden = false;
    fields[p.name] = numberRow(p.group === "one side" ? sideBody : pbody, {
      name: p.name, label: p.label, value: p.value, low: p.low, high: p.high, step: p.step,
      id: "param-" + p.name.replace(/[^A-Za-z0-9_-]/g, "_"), fit: true,
      onChange: (v, text) => { state.values[p.name] = text; schedule(); },
    });
  }
  Object.assign(state.view, model.view);
  const vbody = $("view").querySelector("tbody");
  const viewRow = (key, label, low, high, step) => {
    fields["view." + key] = numberRow(vbody, {
      name: key, label, value: state.view[key], low, high, step, id: "view-" + key,
      onChange: (v, text) => { state.view[key] = text; schedule(); },
    });
  };
  viewRow("lorentz", "Lorentzian FWHM (eV)", 0, 2, 0.01);
  viewRow("gauss", "Gaussian FWHM (eV)", 0, 2, 0.01);
  if (model.temperature) viewRow("temperature", "temperature (K)", 0, 1000, 1);
  viewRow("edge", "edge energy (eV)", 0, 2000, 0.1);
  if (model.polarisations.length) {
    const tr = document.createElement("tr");
    const td = document.createElement("td");
    td.textContent = "polarisation";
    const td2 = document.createElement("td");
    const sel = document.createElement("select");
    sel.id = "view-polarisation";
    for (const p of model.polarisations) {
      const o = document.createElement("option");
      o.value = p;
      o.textContent = {iso: "isotropic", z: "E ∥ z", xy: "E ⊥ z (xy)"}[p] || p;
      sel.appendChild(o);
    }
    sel.value = state.view.polarisation;
    sel.addEventListener("change", () => { state.view.polarisation = sel.value; schedule(); });
    td2.appendChild(sel);
    tr.append(td, td2);
    vbody.appendChild(tr);
  }
  const obody = $("overlay").querySelector("tbody");
  fields["overlay.shift"] = numberRow(obody, {
    name: "shift", label: "shift (eV), subtracted", value: 0, low: -20, high: 20, step: 0.01,
    id: "overlay-shift", onChange: (v) => { state.overlay.shift = v; redraw(); },
  });
  fields["overlay.background"] = numberRow(obody, {
    name: "background", label: "background, subtracted", value: 0, low: -100, high: 100,
    step: 0.01, id: "overlay-background",
    onChange: (v) => { state.overlay.background = v; redraw(); },
  });
  fields["overlay.scale"] = numberRow(obody, {
    name: "scale", label: "scale", value: 1, low: 0, high: 10, step: 0.01, id: "overlay-scale",
    onChange: (v) => { state.overlay.scale = v; redraw(); },
  });
  if (!model.toml) {
    $("export-toml").disabled = true;
    $("export-toml").title = "only for models made by morvex7-ion (with model.json)";
  }
}

function body(extra) {
  return JSON.stringify(Object.assign({params: state.values, view: state.view}, extra || {}));
}

async function post(path, payload, signal) {
  const r = await fetch(path, {method: "POST", headers: {"Content-Type": "application/json"},
                               body: payload, signal});
  const isJson = (r.headers.get("Content-Type") || "").startsWith("application/json");
  if (!r.ok) {
    const err = isJson ? (await r.json()).error : await r.text();
    throw new Error(err || `${r.status} ${r.statusText}`);
  }
  return isJson ? r.json() : r.blob();
}

function schedule() {
  clearTimeout(timer);
  timer = setTimeout(requestSpectrum, 40);
}

async function requestSpectrum() {
  const number = ++state.requested;
  if (controller) controller.abort();
  controller = new AbortController();
  document.body.dataset.state = "busy";
  setMessage("computing…", "busy");
  const t0 = performance.now();
  let answer;
  try {
    answer = await post("/api/spectrum", body(), controller.signal);
  } catch (e) {
    if (e.name === "AbortError" || number !== state.requested) return;
    setMessage(e.message, "error");
    document.body.dataset.state = "idle";
    return;
  }
  if (number !== state.requested || answer.cancelled) return;
  document.body.dataset.state = "idle";
  if (!answer.ok) {
    // the engine stopped early: say why, keep the last good spectrum on the page
    setMessage(`The engine stopped (status ${answer.status}): ${answer.stop_text}\n` +
               "The spectrum shown is the last good one.", "error");
    document.body.dataset.failed = String(Number(document.body.dataset.failed || 0) + 1);
    return;
  }
  state.spectrum = answer;
  const ms = Math.round(performance.now() - t0);
  const done = answer.engine_run ? `engine run ${answer.wall_time.toFixed(2)} s` : "redrawn";
  if (answer.notes.length) setMessage(`${done}. Note: ${answer.notes.join(" ")}`, "note");
  else setMessage(done, "");
  $("timing").textContent = `answered in ${ms} ms; ${answer.broadening}`;
  redraw();
}

function redraw() {
  const series = {};
  const s = state.spectrum;
  if (s) {
    series.curve = {x: s.energy, y: s.intensity};
    series.sticks = {x: s.sticks.energy, y: s.sticks.intensity};
  }
  const o = state.overlay;
  if (state.measured) {
    series.measured = {x: state.measured.energy.map((x) => x - o.shift),
                       y: state.measured.intensity.map((y) => (y - o.background) * o.scale)};
  }
  if (state.fit) {
    series.fit = {x: state.fit.energy.map((x) => x - o.shift),
                  y: state.fit.best_fit.map((y) => (y - o.background) * o.scale)};
  }
  const svg = $("plot");
  drawPlot(svg, series, s ? s.axis : "energy (eV)");
  state.drawn += 1;
  svg.dataset.drawn = String(state.drawn);
}

function argmax(a) {
  let k = 0;
  for (let i = 1; i < a.length; i++) if (a[i] > a[k]) k = i;
  return k;
}

async function loadMeasured(file) {
  const text = await file.text();
  let m;
  try {
    m = await post("/api/measured", JSON.stringify({name: file.name, text}));
  } catch (e) {
    setMessage(`${file.name}: ${e.message}`, "error");
    return;
  }
  state.measured = m;
  state.fit = null;
  $("measured-name").textContent = `${m.name}: ${m.rows} points`;
  $("fit").disabled = false;
  const s = state.spectrum;
  if (s) {  // a first guess: the highest points on top of each other, the same height
    const km = argmax(m.intensity), kc = argmax(s.intensity);
    const shift = m.energy[km] - s.energy[kc];
    const scale = m.intensity[km] > 0 ? s.intensity[kc] / m.intensity[km] : 1;
    state.overlay = {shift: Number(shift.toPrecision(6)), scale: Number(scale.toPrecision(6)),
                     background: 0};
    fields["overlay.shift"].set(state.overlay.shift);
    fields["overlay.background"].set(0);
    fields["overlay.scale"].set(state.overlay.scale);
  }
  setMessage(`loaded ${m.name} (${m.rows} points)`, "");
  redraw();
}

async function runFit() {
  const chosen = [...document.querySelectorAll(".fit-box:checked")].map((b) => b.dataset.name);
  const button = $("fit");
  button.disabled = true;
  document.body.dataset.fit = "running";
  setMessage(`fitting ${chosen.length ? chosen.join(", ") : "the line shape only"}…`, "busy");
  try {
    const r = await post("/api/fit", body({fit: chosen, shift: state.overlay.shift,
                                           max_nfev: Number($("max-nfev").value)}));
    if (!r.ok) {
      setMessage(`The fit stopped: ${r.message}`, "error");
      document.body.dataset.fit = "failed";
      return;
    }
    $("report").hidden = false;
    $("report").textContent = r.report;
    for (const [name, v] of Object.entries(r.values)) {
      state.values[name] = v;
      fields[name].set(Number(v.toPrecision(6)));
    }
    state.view.lorentz = r.shape.lorentz;
    fields["view.lorentz"].set(Number(r.shape.lorentz.toPrecision(4)));
    if (state.view.gauss > 0) {
      state.view.gauss = r.shape.gauss;
      fields["view.gauss"].set(Number(r.shape.gauss.toPrecision(4)));
    }
    // the measurement laid where the fit put it: moved by the fitted shift, the fitted
    // background taken off, divided by the fitted scale
    state.overlay.shift += r.shape.shift;
    state.overlay.scale = r.shape.scale > 0 ? 1 / r.shape.scale : 1;
    state.overlay.background = r.shape.background;
    fields["overlay.background"].set(Number(r.shape.background.toPrecision(6)));
    fields["overlay.shift"].set(Number(state.overlay.shift.toPrecision(6)));
    fields["overlay.scale"].set(Number(state.overlay.scale.toPrecision(6)));
    state.fit = {energy: r.energy, best_fit: r.best_fit};
    redraw();
    document.body.dataset.fit = "done";
    setMessage(`fit done: ${r.engine_runs} engine runs`, "");
    schedule();  // the calculated curve at the best values
  } catch (e) {
    setMessage(`The fit could not run: ${e.message}`, "error");
    document.body.dataset.fit = "failed";
  } finally {
    button.disabled = false;
  }
}

function download(blob, name) {
  const url = URL.createObjectURL(blob);
  const a = document.createElement("a");
  a.href = url;
  a.download = name;
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}

function svgText() {
  const svg = $("plot").cloneNode(true);
  svg.setAttribute("xmlns", "http://www.w3.org/2000/svg");
  for (const k of Object.keys(svg.dataset)) delete svg.dataset[k];
  return '<?xml version="1.0" encoding="UTF-8"?>\n' + new XMLSerializer().serializeToString(svg);
}

async function exportServer(path, name) {
  try {
    download(await post(path, body()), name);
    setMessage(`exported ${name}`, "");
  } catch (e) {
    setMessage(`export: ${e.message}`, "error");
  }
}

function exportPng() {
  const blob = new Blob([svgText()], {type: "image/svg+xml"});
  const url = URL.createObjectURL(blob);
  const img = new Image();
  img.onload = () => {
    const canvas = document.createElement("canvas");
    canvas.width = 1600;
    canvas.height = 960;
    const ctx = canvas.getContext("2d");
    ctx.drawImage(img, 0, 0, canvas.width, canvas.height);
    URL.revokeObjectURL(url);
    canvas.toBlob((png) => { download(png, "spectrum.png"); setMessage("exported spectrum.png", ""); },
                  "image/png");
  };
  img.onerror = () => setMessage("export: the picture could not be drawn", "error");
  img.src = url;
}

async function start() {
  try {
    const r = await fetch("/api/model");
    state.model = await r.json();
  } catch (e) {
    setMessage(`the server does not answer: ${e.message}`, "error");
    return;
  }
  buildControls(state.model);
  $("reset").addEventListener("click", () => {
    for (const p of state.model.params) { state.values[p.name] = p.value; fields[p.name].set(p.value); }
    schedule();
  });
  $("measured-file").addEventListener("change", (ev) => {
    if (ev.target.files.length) loadMeasured(ev.target.files[0]);
  });
  $("fit").addEventListener("click", runFit);
  $("export-csv").addEventListener("click", () => exportServer("/api/export/csv", "spectrum.csv"));
  $("export-toml").addEventListener("click", () => exportServer("/api/export/toml", "model.toml"));
  $("export-svg").addEventListener("click", () => {
    download(new Blob([svgText()], {type: "image/svg+xml"}), "spectrum.svg");
    setMessage("exported spectrum.svg", "");
  });
  $("export-png").addEventListener("click", exportPng);
  requestSpectrum();
}

window.explorer = state;
start();
