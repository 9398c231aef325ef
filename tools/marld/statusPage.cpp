#include "statusPage.h"

namespace marld {

std::string_view statusPage() noexcept
{
    return R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>marld: points</title>
<style>
body { font: 15px/1.4 system-ui, sans-serif; margin: 0; padding: 1em; color: #222; background: #fafafa; }
h1 { font-size: 1.3em; margin: 0 0 .3em; }
#summary { color: #555; margin-bottom: 1em; }
table { border-collapse: collapse; width: 100%; background: #fff; }
th, td { text-align: left; padding: .4em .6em; border-bottom: 1px solid #ddd; vertical-align: top; }
th { background: #eee; }
tr.set td.state { color: #fff; background: #c0392b; font-weight: bold; }
tr.clear td.state { color: #2d7a32; }
td.info { font-size: .9em; color: #444; word-break: break-word; }
@media (max-width: 640px) {
  thead { display: none; }
  table, tbody, tr, td { display: block; width: auto; }
  tr { margin-bottom: .8em; border: 1px solid #ddd; }
  td { border: none; }
  td::before { content: attr(data-label) ": "; font-weight: bold; }
}
</style>
</head>
<body>
<h1>marld: points</h1>
<div id="summary">loading&hellip;</div>
<table>
<thead><tr><th>Point</th><th>State</th><th>Since</th><th>Updates</th><th>Runtime information</th></tr></thead>
<tbody id="points"></tbody>
</table>
<script>
"use strict";
function cell(row, label, text, className) {
  const td = row.insertCell();
  td.dataset.label = label;
  td.textContent = text;
  if (className) td.className = className;
}
function infoText(info) {
  if (!info) return "";
  return Object.entries(info).filter(([key]) => key !== "blockBytes")
    .map(([key, value]) => key + "=" + value).join(", ");
}
async function refresh() {
  try {
    const response = await fetch("/points", {cache: "no-store"});
    const points = await response.json();
    points.sort((a, b) => (b.state === "set") - (a.state === "set") || (a.lastChange < b.lastChange ? 1 : -1));
    const body = document.getElementById("points");
    body.replaceChildren();
    for (const point of points) {
      const row = body.insertRow();
      row.className = point.state;
      cell(row, "Point", point.point);
      cell(row, "State", point.state, "state");
      cell(row, "Since", point.lastChange);
      cell(row, "Updates", String(point.updateCount));
      cell(row, "Runtime information", infoText(point.runtimeInfo), "info");
    }
    const raised = points.filter(p => p.state === "set").length;
    document.getElementById("summary").textContent =
      raised + " raised of " + points.length + " points, at " + new Date().toISOString();
  } catch (error) {
    document.getElementById("summary").textContent = "cannot read /points: " + error;
  }
}
refresh();
setInterval(refresh, 3000);
</script>
</body>
</html>
)page";
}

} // namespace marld
