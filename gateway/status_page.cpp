#include "gateway/status_page.h"

namespace kelgate {

// Each station is a card carrying data-station and data-state, so that a
// script reading the page sees what a person sees. The page asks for
// api/stations relative to itself, so it also works behind a path prefix.
const char kStatusPage[] = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kelgate</title>
<style>
:root { --good: #1b7f3b; --stale: #b36b00; --demoted: #b3261e; --unscanned: #5f6368; }
* { box-sizing: border-box; }
body { margin: 0; font: 15px/1.4 system-ui, sans-serif; background: #f4f5f7; color: #1f2328; }
header { background: #1f2937; color: #fff; padding: 12px 16px; }
header h1 { margin: 0; font-size: 20px; }
header .sub { opacity: .8; font-size: 13px; }
main { padding: 12px; max-width: 1100px; margin: 0 auto; }
.bar { display: flex; flex-wrap: wrap; gap: 8px; margin-bottom: 12px; }
.pill { background: #fff; border-radius: 8px; padding: 8px 12px; box-shadow: 0 1px 2px rgba(0,0,0,.08); }
.pill b { display: block; font-size: 18px; }
.pill.down { background: var(--demoted); color: #fff; }
.grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(260px, 1fr)); gap: 12px; }
.card { background: #fff; border-radius: 10px; padding: 12px; box-shadow: 0 1px 3px rgba(0,0,0,.1);
        border-left: 6px solid var(--unscanned); }
.card[data-state="good"] { border-color: var(--good); }
.card[data-state="stale"] { border-color: var(--stale); }
.card[data-state="demoted"] { border-color: var(--demoted); }
.card h2 { margin: 0 0 6px; font-size: 17px; display: flex; justify-content: space-between; align-items: center; }
.state { font-size: 12px; color: #fff; border-radius: 10px; padding: 2px 8px; background: var(--unscanned); }
.state.good { background: var(--good); } .state.stale { background: var(--stale); }
.state.demoted { background: var(--demoted); }
dl { display: grid; grid-template-columns: auto 1fr; gap: 2px 12px; margin: 0; font-size: 14px; }
dt { color: #57606a; } dd { margin: 0; text-align: right; font-variant-numeric: tabular-nums; }
#error { color: var(--demoted); margin: 8px 0; }
footer { color: #57606a; font-size: 12px; padding: 12px; text-align: center; }
</style>
</head>
<body>
<header><h1>kelgate</h1><div class="sub" id="device">connecting&hellip;</div></header>
<main>
<div class="bar" id="summary"></div>
<div id="error" hidden></div>
<div class="grid" id="stations"></div>
</main>
<footer><span id="updated">Not updated yet</span> &middot; refreshes every 2 s &middot; <a href="metrics">metrics</a> &middot; <a href="api/stations">JSON</a></footer>
<script>
"use strict";
function esc(s) {
  return String(s).replace(/[&<>"']/g, c => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;"}[c]));
}
function age(ms) {
  if (ms === null) return "none yet";
  return ms < 1000 ? Math.round(ms) + " ms" : (ms / 1000).toFixed(ms < 10000 ? 1 : 0) + " s";
}
function sum(o) { return Object.values(o).reduce((a, b) => a + b, 0); }
function pill(label, value, down) {
  return '<div class="pill' + (down ? ' down' : '') + '">' + esc(label) + '<b>' + esc(value) + '</b></div>';
}
function card(s) {
  const failures = Object.entries(s.failures).map(([k, n]) => esc(k) + " " + n).join(", ") || "none";
  const rows = [
    ["SNP ID", s.snp_id || "(none)"], ["Protocol", s.protocol], ["Data age", age(s.data_age_ms)],
    ["Round trip", s.round_trip_ms === null ? "none yet" : age(s.round_trip_ms)], ["Block reads", s.block_reads],
    ["Scan cycles", s.cycles], ["Requests", s.requests], ["Failures", failures], ["Demotions", s.demotions],
    ["Refused while demoted", s.rejected]];
  return '<section class="card" data-station="' + s.station + '" data-state="' + esc(s.state) + '">' +
    '<h2>Station ' + s.station + ' <span class="state ' + esc(s.state) + '">' + esc(s.state) + '</span></h2><dl>' +
    rows.map(([k, v]) => '<dt>' + esc(k) + '</dt><dd>' + (k === "Failures" ? v : esc(v)) + '</dd>').join("") +
    '</dl></section>';
}
function show(r) {
  document.getElementById("device").textContent = "board " + r.device.board + " on " + r.device.port +
    (r.device.open ? "" : " \u2014 device gone, reopening");
  document.getElementById("summary").innerHTML =
    pill("Serial device", r.device.open ? "open" : "gone", !r.device.open) +
    pill("Line busy", Math.round(r.line.busy_fraction * 100) + " %") +
    pill("Queue", r.line.queue_length) + pill("Scan cycles", r.line.cycles) +
    pill("Modbus clients", r.clients.connected) + pill("Modbus requests", sum(r.clients.requests)) +
    pill("MQTT", !r.mqtt.enabled ? "off" : r.mqtt.connected ? "connected" : "disconnected",
         r.mqtt.enabled && !r.mqtt.connected);
  document.getElementById("stations").innerHTML = r.stations.map(card).join("");
  document.getElementById("updated").textContent = "Updated " + new Date().toLocaleTimeString() +
    ", up " + age(r.line.up_seconds * 1000);
}
async function refresh() {
  const error = document.getElementById("error");
  try {
    const response = await fetch("api/stations", {cache: "no-store"});
    if (!response.ok) throw new Error("HTTP " + response.status);
    show(await response.json());
    error.hidden = true;
  } catch (e) {
    error.textContent = "kelgate does not answer (" + e.message + "); the figures below are old.";
    error.hidden = false;
  }
}
refresh();
setInterval(refresh, 2000);
</script>
</body>
</html>
)html";

}  // namespace kelgate
