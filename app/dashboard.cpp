// The dashboard page served at "/": one self-contained document (no external scripts, fonts or
// styles: rigs are often offline). It polls the summary every 3 s and keeps the total hash rate
// of the last 15 minutes in memory for its chart. The API token, when one is entered, is kept
// in the tab's sessionStorage (gone when the tab closes) and sent with every request; with it
// the page shows a pause or resume button per device.
#include <string>

#include "app/api_server.h"

namespace Kest {

const std::string& DashboardHtml() {
  static const std::string page = R"HTML(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>plominer</title>
<style>
body{font-family:system-ui,sans-serif;margin:1.5em;background:#15181c;color:#e4e6e8}
h1{font-size:1.3em;margin:0 0 .6em}
.cards{display:flex;flex-wrap:wrap;gap:1em}
.card{background:#20252b;border-radius:6px;padding:.8em 1em;min-width:14em}
.card h2{font-size:.8em;text-transform:uppercase;color:#9aa3ab;margin:0 0 .4em}
.big{font-size:1.8em;font-weight:600}
table{border-collapse:collapse;margin-top:1em;width:100%}
td,th{padding:.35em .7em;border-bottom:1px solid #333a42;text-align:left}
th{color:#9aa3ab;font-weight:normal}
.bad{color:#ff7b72}.ok{color:#7ee787}
svg{background:#20252b;border-radius:6px;margin-top:1em;width:100%;max-width:60em}
#status{color:#9aa3ab;font-size:.85em;margin-top:.8em}
#token-form{margin:0 0 1em;color:#9aa3ab;font-size:.9em}
input,button{background:#20252b;color:#e4e6e8;border:1px solid #333a42;border-radius:4px;
padding:.25em .6em}
button{cursor:pointer}
</style></head><body>
<h1>plominer <span id="version"></span></h1>
<form id="token-form"><label>API token <input id="token" type="password" autocomplete="off"
 size="24"></label> <button type="submit">Use</button>
<button type="button" id="token-forget">Forget</button> <span id="control-status"></span></form>
<div class="cards">
<div class="card"><h2>Hash rate</h2><div class="big" id="hr-now">-</div>
<div>60 s: <span id="hr-60s">-</span> &middot; 15 min: <span id="hr-15m">-</span></div></div>
<div class="card"><h2>Pool</h2><div id="pool-url">-</div>
<div><span id="pool-state">-</span> &middot; TLS: <span id="pool-tls">-</span>
&middot; switches: <span id="pool-switches">-</span></div></div>
<div class="card"><h2>Job</h2><div>block <span id="job-block">-</span></div>
<div>difficulty <span id="job-diff">-</span></div></div>
<div class="card"><h2>Shares</h2>
<div>submitted <span id="sh-submitted">-</span></div>
<div>unconfirmed (connection lost) <span id="sh-unconfirmed">-</span></div>
<div>CPU failed check <span id="sh-cpu-failed">-</span></div>
<div>stale (job replaced) <span id="sh-stale">-</span></div>
<div>dropped unsent <span id="sh-unsent">-</span></div>
<div>pool error replies <span id="sh-pool-errors">-</span></div></div>
</div>
<svg id="chart" viewBox="0 0 600 160" preserveAspectRatio="none" role="img"
 aria-label="total hash rate, last 15 minutes">
<polyline id="chart-line" fill="none" stroke="#58a6ff" stroke-width="2" points=""></polyline>
<text id="chart-max" x="4" y="14" fill="#9aa3ab" font-size="11"></text>
<text x="4" y="154" fill="#9aa3ab" font-size="11">15 min</text>
<text x="560" y="154" fill="#9aa3ab" font-size="11">now</text></svg>
<table><thead><tr><th>Device</th><th>Name</th><th>State</th><th>PCI</th><th>Hash rate</th>
<th>Solutions</th><th>Temp</th><th>Power</th><th>Fan</th><th id="control-head" hidden>Control</th>
</tr></thead><tbody id="devices"></tbody></table>
<div id="status">loading&hellip;</div>
<script>
"use strict";
const WINDOW_MS = 15 * 60 * 1000;
const history = [];
const TOKEN_KEY = "plominer-api-token";
function token() { return sessionStorage.getItem(TOKEN_KEY) || ""; }
function authHeaders() {
  const t = token();
  return t ? {"Authorization": "Bearer " + t} : {};
}
function rate(h) {
  const units = [[1e9, " GH/s"], [1e6, " MH/s"], [1e3, " kH/s"]];
  for (const [scale, unit] of units) if (h >= scale) return (h / scale).toFixed(2) + unit;
  return h.toFixed(1) + " H/s";
}
function opt(v, unit, digits) { return v === null ? "n/a" : v.toFixed(digits) + unit; }
function set(id, text, value) {
  const el = document.getElementById(id);
  el.textContent = text;
  if (value !== undefined) el.dataset.value = String(value);
}
function cell(row, text, value) {
  const td = row.insertCell();
  td.textContent = text;
  if (value !== undefined) td.dataset.value = String(value);
}
function chart() {
  const now = Date.now();
  while (history.length && history[0][0] < now - WINDOW_MS) history.shift();
  const max = Math.max(1, ...history.map(p => p[1]));
  document.getElementById("chart-line").setAttribute("points", history.map(p =>
    (600 - (now - p[0]) / WINDOW_MS * 600).toFixed(1) + "," +
    (150 - p[1] / max * 130).toFixed(1)).join(" "));
  document.getElementById("chart-max").textContent = rate(max);
}
function show(s) {
  set("version", s.version);
  set("hr-now", rate(s.hashrate.now), s.hashrate.now);
  set("hr-60s", rate(s.hashrate.avg_60s), s.hashrate.avg_60s);
  set("hr-15m", rate(s.hashrate.avg_15m), s.hashrate.avg_15m);
  set("pool-url", s.pool.url);
  set("pool-state", s.pool.connected ? "connected" : "not connected");
  document.getElementById("pool-state").className = s.pool.connected ? "ok" : "bad";
  set("pool-tls", s.pool.tls ? "yes" : "no");
  set("pool-switches", String(s.pool.switches));
  set("job-block", String(s.job.block));
  set("job-diff", String(s.job.difficulty));
  set("sh-submitted", String(s.shares.submitted));
  set("sh-unconfirmed", String(s.shares.unconfirmed_lost));
  set("sh-cpu-failed", String(s.shares.cpu_failed));
  set("sh-stale", String(s.shares.stale_dropped));
  set("sh-unsent", String(s.shares.unsent_dropped));
  set("sh-pool-errors", String(s.shares.pool_errors));
  const body = document.getElementById("devices");
  body.textContent = "";
  for (const d of s.devices) {
    const row = body.insertRow();
    row.id = "dev-" + d.id;
    cell(row, "#" + d.id);
    cell(row, d.name);
    cell(row, d.state_reason === null ? d.state : d.state + " (" + d.state_reason + ")");
    cell(row, d.pci_bus_id === null ? "n/a" : d.pci_bus_id);
    cell(row, rate(d.hashrate), d.hashrate);
    cell(row, String(d.solutions));
    cell(row, opt(d.temperature_c, " \u00b0C", 0));
    cell(row, opt(d.power_w, " W", 1));
    cell(row, opt(d.fan_pct, " %", 0));
    if (token() && d.state !== "stopped") controlCell(row, d);
  }
  document.getElementById("control-head").hidden = !token();
  history.push([Date.now(), s.hashrate.now]);
  chart();
  set("status", "up " + Math.floor(s.uptime_s / 60) + " min; updated " +
      new Date().toLocaleTimeString());
}
// A pause or resume button: resume while the device is paused by remote request.
function controlCell(row, d) {
  const action = d.state === "paused" && d.state_reason === "remote" ? "resume" : "pause";
  const button = document.createElement("button");
  button.textContent = action === "pause" ? "Pause" : "Resume";
  button.id = action + "-" + d.id;
  button.addEventListener("click", () => control(d.id, action));
  row.insertCell().appendChild(button);
}
async function control(id, action) {
  try {
    const r = await fetch("/api/v1/devices/" + id + "/" + action,
                          {method: "POST", cache: "no-store", headers: authHeaders()});
    const answer = await r.json();
    set("control-status", r.ok ? "device #" + id + ": " + answer.state +
        (answer.state_reason === null ? "" : " (" + answer.state_reason + ")") :
        "device #" + id + ": " + (answer.error || "HTTP " + r.status));
  } catch (e) {
    set("control-status", "no answer from the miner (" + e.message + ")");
  }
  refresh();
}
let timer = null;
function refresh() {
  clearTimeout(timer);
  poll();
}
document.getElementById("token-form").addEventListener("submit", e => {
  e.preventDefault();
  const t = document.getElementById("token").value.trim();
  if (t) sessionStorage.setItem(TOKEN_KEY, t);
  document.getElementById("token").value = "";
  set("control-status", t ? "token in use for this tab" : "");
  refresh();
});
document.getElementById("token-forget").addEventListener("click", () => {
  sessionStorage.removeItem(TOKEN_KEY);
  set("control-status", "token forgotten: read-only");
  refresh();
});
async function poll() {
  try {
    const r = await fetch("/api/v1/summary", {cache: "no-store", headers: authHeaders()});
    if (r.status === 401) throw new Error("this miner asks for its API token: enter it above");
    if (!r.ok) throw new Error("HTTP " + r.status);
    show(await r.json());
  } catch (e) {
    set("status", "no answer from the miner (" + e.message + ")");
  }
  clearTimeout(timer);  // one chain of polls, also after a refresh while one was in flight
  timer = setTimeout(poll, 3000);
}
poll();
</script></body></html>
)HTML";
  return page;
}

}  // namespace Kest
