// The one page of quorvel-web: the newest calls in a table, new ones added from
// the event stream as they reach the file, a search box and a protocol filter
// (both also taken from the address: /?q=TEXT&protocol=P), and whether the
// stream is live. Everything it shows from the air goes in with textContent.
#include "page.h"

namespace quorvel::web {

const char* const kPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Quorvel calls</title>
<style>
:root { color-scheme: light dark; --line: #8884; --muted: #888; }
[hidden] { display: none !important; }
body { margin: 0; font: 15px/1.35 system-ui, sans-serif; }
header { position: sticky; top: 0; display: flex; flex-wrap: wrap; gap: .5em; align-items: center;
  padding: .6em .8em; background: Canvas; border-bottom: 1px solid var(--line); }
h1 { font-size: 1.1em; margin: 0 .5em 0 0; }
input, select, button { font: inherit; padding: .3em .5em; }
#q { flex: 1 1 12em; min-width: 8em; }
#status { font-size: .85em; padding: .15em .6em; border-radius: 1em; color: #fff; background: #b45309; }
#status.live { background: #15803d; }
table { width: 100%; border-collapse: collapse; }
th, td { text-align: left; padding: .35em .6em; border-bottom: 1px solid var(--line); vertical-align: top; }
th { font-weight: 600; color: var(--muted); }
td.time { white-space: nowrap; font-variant-numeric: tabular-nums; }
td.address, td.subaddress { font-family: ui-monospace, monospace; }
td.text { white-space: pre-wrap; overflow-wrap: anywhere; }
tr.new { animation: flash 2s; }
@keyframes flash { from { background: #facc1555; } }
#more { display: block; margin: 1em auto; }
#empty { text-align: center; color: var(--muted); }
@media (max-width: 640px) {
  thead { display: none; }
  tr { display: grid; grid-template-columns: auto auto auto 1fr; gap: 0 .6em; padding: .4em .6em;
    border-bottom: 1px solid var(--line); }
  td { border: 0; padding: 0; }
  td.time { grid-column: 1 / -1; color: var(--muted); font-size: .85em; }
  td.protocol { order: 1; }
  td.address { order: 2; }
  td.subaddress { order: 3; color: var(--muted); }
  td.name { order: 4; font-weight: 600; }
  td.text { order: 5; grid-column: 1 / -1; }
}
</style>
</head>
<body>
<header>
  <h1>Calls</h1>
  <input id="q" type="search" placeholder="Search address, name, text" aria-label="search">
  <select id="protocol" aria-label="protocol">
    <option value="">all</option>
    <option value="pocsag">POCSAG</option>
    <option value="fms">FMS</option>
    <option value="zvei">ZVEI</option>
    <option value="ccir">CCIR</option>
  </select>
  <span id="status">connecting</span>
</header>
<table>
  <thead><tr><th>Time</th><th>Protocol</th><th>Address</th><th>Name</th><th>Sub</th><th>Text</th></tr></thead>
  <tbody id="rows"></tbody>
</table>
<p id="empty" hidden>No calls.</p>
<button id="more" hidden>Older calls</button>
<script>
"use strict";
const rows = document.getElementById("rows");
const search = document.getElementById("q");
const protocol = document.getElementById("protocol");
const status = document.getElementById("status");
const more = document.getElementById("more");
const empty = document.getElementById("empty");
const pageSize = 200, keepLive = 2000;
let shown = new Set();   // ids in the table
let live = [];           // calls from the stream, newest last, for a reload that overtakes them
let generation = 0;      // a reload in flight is dropped when another starts

const params = new URLSearchParams(location.search);
search.value = params.get("q") || "";
protocol.value = params.get("protocol") || "";

function matches(c) {
  if (protocol.value && c.protocol !== protocol.value) return false;
  const q = search.value.trim().toLowerCase();
  return !q || [c.address, c.name, c.text].some(s => (s || "").toLowerCase().includes(q));
}

function row(c, fresh) {
  const tr = document.createElement("tr");
  tr.dataset.id = c.id;
  if (fresh) tr.className = "new";
  const t = String(c.time || "");
  const cells = [["time", t.replace("T", " ").replace(/\.\d+/, "").replace(/([+-]\d\d:\d\d|Z)$/, "")],
    ["protocol", c.protocol], ["address", c.address], ["name", c.name], ["subaddress", c.subaddress],
    ["text", c.text]];
  for (const [cls, value] of cells) {
    const td = document.createElement("td");
    td.className = cls;
    td.textContent = value == null ? "" : String(value);
    if (cls === "time") td.title = t + (c.source ? " \u2013 " + c.source : "");
    tr.appendChild(td);
  }
  return tr;
}

function query(extra) {
  const p = new URLSearchParams(extra);
  const q = search.value.trim();
  if (q) p.set("q", q);
  if (protocol.value) p.set("protocol", protocol.value);
  p.set("limit", String(pageSize));
  return "/api/calls?" + p.toString();
}

function refreshEmpty() { empty.hidden = rows.children.length > 0; }

async function reload() {
  const mine = ++generation;
  let calls;
  try { calls = await (await fetch(query({}))).json(); } catch (e) { return; }
  if (mine !== generation) return;
  shown = new Set();
  const top = calls.length ? calls[0].id : 0;
  const frag = document.createDocumentFragment();
  // Stream calls newer than what the query saw go on top.
  for (const c of live.filter(c => c.id > top && matches(c)).reverse()) { frag.appendChild(row(c)); shown.add(c.id); }
  for (const c of calls) { frag.appendChild(row(c)); shown.add(c.id); }
  rows.replaceChildren(frag);
  more.hidden = calls.length < pageSize;
  refreshEmpty();
  const u = new URL(location.href);
  u.search = "";
  if (search.value.trim()) u.searchParams.set("q", search.value.trim());
  if (protocol.value) u.searchParams.set("protocol", protocol.value);
  history.replaceState(null, "", u);
}

async function older() {
  const last = rows.lastElementChild;
  if (!last) return;
  const calls = await (await fetch(query({ before_id: last.dataset.id }))).json();
  for (const c of calls) if (!shown.has(c.id)) { rows.appendChild(row(c)); shown.add(c.id); }
  more.hidden = calls.length < pageSize;
}

function arrived(c) {
  live.push(c);
  if (live.length > keepLive) live.shift();
  if (shown.has(c.id) || !matches(c)) return;
  shown.add(c.id);
  rows.insertBefore(row(c, true), rows.firstChild);
  refreshEmpty();
}

function connect() {
  const es = new EventSource("/api/stream");
  es.onopen = () => { status.textContent = "live"; status.className = "live"; };
  es.onerror = () => { status.textContent = "reconnecting"; status.className = ""; };
  es.onmessage = e => { try { arrived(JSON.parse(e.data)); } catch (err) { /* not a call */ } };
}

let timer = 0;
search.addEventListener("input", () => { clearTimeout(timer); timer = setTimeout(reload, 250); });
protocol.addEventListener("change", reload);
more.addEventListener("click", older);
connect();
reload();
</script>
</body>
</html>
)PAGE";

}  // namespace quorvel::web
