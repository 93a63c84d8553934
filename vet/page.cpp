#include "vet/page.hpp"

#include <cmath>
#include <cstdio>

namespace newstars {

namespace {

// A number as JSON: 6 significant digits, null when not finite.
std::string jsonNumber(double value, const char* format = "%.6g")
{
    if (!std::isfinite(value))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A position as the catalogue prints it, 10 decimals of a degree.
std::string degreesText(double value)
{
    if (!std::isfinite(value))
        return "nan";
    char text[64];
    std::snprintf(text, sizeof text, "%.10f", value);
    return text;
}

// A JSON string that is safe inside a script element: the text cleaned as the catalogue
// cleans it, quotes and backslashes escaped, and "<", ">", "&", U+2028 and U+2029 as
// \u escapes (no "</script>" nor "<!--" can appear, and every JavaScript reads it).
std::string jsonString(const std::string& text)
{
    const std::string clean = catalogText(text);
    std::string json = "\"";
    for (size_t i = 0; i < clean.size(); ++i) {
        const char c = clean[i];
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (c == '<') {
            json += "\\u003c";
        } else if (c == '>') {
            json += "\\u003e";
        } else if (c == '&') {
            json += "\\u0026";
        } else if (c == '\xE2' && i + 2 < clean.size() && clean[i + 1] == '\x80' &&
                   (clean[i + 2] == '\xA8' || clean[i + 2] == '\xA9')) {
            json += clean[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            json += c;
        }
    }
    json += '"';
    return json;
}

// Text for HTML content and attribute values.
std::string htmlText(const std::string& text)
{
    const std::string clean = catalogText(text);
    std::string html;
    for (char c : clean) {
        switch (c) {
        case '&':
            html += "&amp;";
            break;
        case '<':
            html += "&lt;";
            break;
        case '>':
            html += "&gt;";
            break;
        case '"':
            html += "&quot;";
            break;
        case '\'':
            html += "&#39;";
            break;
        default:
            html += c;
        }
    }
    return html;
}

// A panel as a JSON string of its PNG's base64 text; "" when the panel is not shown.
std::string panelJson(const std::vector<uint8_t>& png)
{
    std::string json = "\"";
    json += base64Text(png);
    json += '"';
    return json;
}

// FNV-1a (64 bits) of the candidates' names, numbers and positions, as 16 hexadecimal
// digits: the key under which the browser keeps this page's labels.
std::string fingerprint(const std::vector<PageCandidate>& candidates)
{
    uint64_t hash = 14695981039346656037ull;
    const auto add = [&](const std::string& text) {
        for (char c : text) {
            hash ^= static_cast<unsigned char>(c);
            hash *= 1099511628211ull;
        }
        hash ^= 0xFF;
        hash *= 1099511628211ull;
    };
    for (const PageCandidate& c : candidates) {
        add(c.image);
        add(std::to_string(c.number));
        add(degreesText(c.ra));
        add(degreesText(c.dec));
    }
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

const char PAGE_STYLE[] = R"(body{font:13px/1.35 sans-serif;margin:0;background:#f4f4f4;color:#111}
header{position:sticky;top:0;z-index:2;background:#223;color:#eee;padding:6px 10px}
header h1{font-size:15px;margin:0 0 4px}
header label{margin-right:10px}
header input[type=text]{width:14em}
header input[type=number]{width:5em}
#help{font-size:12px;color:#bbc}
table{border-collapse:collapse;margin:6px;table-layout:fixed;width:1px}
th{background:#ddd;cursor:pointer;user-select:none;padding:3px 6px;text-align:left;white-space:nowrap;position:sticky;top:var(--head,0);z-index:1}
tr{scroll-margin-top:calc(var(--head,0px) + 30px)}
th.up::after{content:" \25B2"}th.down::after{content:" \25BC"}
td{padding:3px 6px;border-top:1px solid #ccc;vertical-align:middle;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
td.num{text-align:right;font-variant-numeric:tabular-nums}
tr.current{outline:3px solid #e80;outline-offset:-3px;background:#fff6e0}
tr.real td.label{background:#bfe8bf}tr.bogus td.label{background:#f2c0c0}
tr.skip td.label{background:#ddd}
.rejected{color:#a00}
.stamps{display:flex;gap:6px;height:142px}
.caption{font-size:11px;margin-bottom:2px}
figure{margin:0;text-align:center}
figcaption{font-size:11px}
.panel{position:relative;width:124px;height:124px;background:#003}
.panel img{width:124px;height:124px;image-rendering:pixelated;display:block}
.panel svg{position:absolute;left:0;top:0}
.panel::before,.panel::after{content:"";position:absolute;background:#ff0}
.panel::before{left:46px;top:61px;width:9px;height:2px}
.panel::after{left:61px;top:69px;width:2px;height:9px}
)";

const char PAGE_SCRIPT[] = R"JS((function () {
"use strict";
var data = JSON.parse(document.getElementById("candidates").textContent);
var LABEL_KEYS = {r: "real", b: "bogus", s: "skip"};
var PANELS = ["reference", "test", "difference"];
var SIDE = 124, PIXELS = 31, ZOOM = SIDE / PIXELS;
var storeKey = "newstars-labels:" + document.body.getAttribute("data-fingerprint");
var labels = {};
try {
  var stored = JSON.parse(window.localStorage.getItem(storeKey) || "{}");
  if (stored && typeof stored === "object") labels = stored;
} catch (e) { labels = {}; }
var tbody = document.querySelector("#list tbody");
var rows = [];
var order = data.map(function (c, i) { return i; });
var sortKey = "index", sortUp = true, current = -1;
// Columns another script of the page adds (the candidate history), before the label.
var EXTRA = window.newstarsColumns || [];

function fmt(v, digits) { return v === null || v === undefined ? "" : v.toFixed(digits); }
function el(tag, cls, text) {
  var e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
var SVG = "http://www.w3.org/2000/svg";
function svgEl(tag, attrs, text) {
  var e = document.createElementNS(SVG, tag);
  for (var k in attrs) e.setAttribute(k, attrs[k]);
  if (text !== undefined) e.textContent = text;
  return e;
}
// North and east arrows and a scale bar over the test panel; null without coordinates.
function overlay(c) {
  if (!c.o) return null;
  var s = svgEl("svg", {width: SIDE, height: SIDE, viewBox: "0 0 " + SIDE + " " + SIDE});
  var line = {stroke: "#ff0", "stroke-width": 1.5};
  var o = c.o;
  var ox = SIDE - 28, oy = 30, len = 16;
  [["N", o[0], o[1]], ["E", o[2], o[3]]].forEach(function (a) {
    var x = ox + len * a[1], y = oy - len * a[2];
    s.appendChild(svgEl("line", Object.assign({x1: ox, y1: oy, x2: x, y2: y}, line)));
    s.appendChild(svgEl("circle", {cx: x, cy: y, r: 1.8, fill: "#ff0"}));
    s.appendChild(svgEl("text", {x: ox + (len + 7) * a[1] - 3.5, y: oy - (len + 7) * a[2] + 4,
      fill: "#ff0", "font-size": 10, "font-family": "sans-serif"}, a[0]));
  });
  var steps = [0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 30, 60, 120, 300, 600];
  var arcsec = 0, px = 0;
  steps.forEach(function (t) { var p = t / o[4] * ZOOM; if (p <= 50) { arcsec = t; px = p; } });
  if (px >= 4) {
    s.appendChild(svgEl("line", Object.assign({x1: 6, y1: SIDE - 8, x2: 6 + px, y2: SIDE - 8}, line)));
    s.appendChild(svgEl("text", {x: 6, y: SIDE - 12, fill: "#ff0", "font-size": 10,
      "font-family": "sans-serif"}, arcsec + "\u2033"));
  }
  return s;
}
function verdictText(c) {
  return (c.kept ? "kept" : "rejected: " + c.reasons) + (c.flags ? " (" + c.flags + ")" : "");
}
function makeRow(c, i) {
  var tr = el("tr");
  tr.setAttribute("data-index", i);
  tr.appendChild(el("td", "num", String(i + 1)));
  var name = el("td", "image", c.image);
  name.title = c.image;
  tr.appendChild(name);
  tr.appendChild(el("td", "num number", String(c.number)));
  tr.appendChild(el("td", c.kept ? "verdict" : "verdict rejected", verdictText(c)));
  tr.appendChild(el("td", "num score", fmt(c.score, 3)));
  tr.appendChild(el("td", "num snr", fmt(c.snr, 1)));
  tr.appendChild(el("td", "num dmag", fmt(c.dmag, 2)));
  tr.appendChild(el("td", "num ra", c.ra));
  tr.appendChild(el("td", "num dec", c.dec));
  var cell = el("td");
  cell.appendChild(el("div", "caption", c.image + " " + c.number + " \u00b7 " + verdictText(c) +
    " \u00b7 score " + (c.score === null ? "none" : c.score.toFixed(3))));
  var strip = el("div", "stamps");
  strip.setAttribute("data-index", i);
  cell.appendChild(strip);
  tr.appendChild(cell);
  EXTRA.forEach(function (col) { tr.appendChild(col.cell(c)); });
  tr.appendChild(el("td", "label", labels[i] || ""));
  tr.addEventListener("click", function () { setCurrent(i); });
  return tr;
}
// The stamps of a line, made when it first comes near the window: a night of thousands
// of candidates opens as fast as one of a few.
function fillStamps(strip) {
  var c = data[+strip.getAttribute("data-index")];
  c.p.forEach(function (png, k) {
    if (!png) return;
    var fig = el("figure");
    var panel = el("div", "panel");
    var img = el("img");
    img.alt = PANELS[k];
    img.decoding = "async";
    img.src = "data:image/png;base64," + png;
    panel.appendChild(img);
    var marks = k === 1 ? overlay(c) : null;
    if (marks) panel.appendChild(marks);
    fig.appendChild(panel);
    fig.appendChild(el("figcaption", "", PANELS[k]));
    strip.appendChild(fig);
  });
}
function sortValue(i) {
  var c = data[i];
  switch (sortKey) {
    case "image": return c.image;
    case "number": return c.number;
    case "verdict": return verdictText(c);
    case "score": return c.score;
    case "snr": return c.snr;
    case "dmag": return c.dmag;
    case "ra": return parseFloat(c.ra);
    case "dec": return parseFloat(c.dec);
    case "label": return labels[i] || null;
    default:
      for (var k = 0; k < EXTRA.length; k++) if (EXTRA[k].key === sortKey) return EXTRA[k].value(c);
      return i;
  }
}
// Unknown values last whichever way; ties in page order.
function sortRows() {
  var values = {};
  order.forEach(function (i) { values[i] = sortValue(i); });
  order.sort(function (a, b) {
    var x = values[a], y = values[b];
    var xn = x === null || x === undefined || (typeof x === "number" && isNaN(x));
    var yn = y === null || y === undefined || (typeof y === "number" && isNaN(y));
    if (xn || yn) return xn === yn ? a - b : (xn ? 1 : -1);
    if (x < y) return sortUp ? -1 : 1;
    if (x > y) return sortUp ? 1 : -1;
    return a - b;
  });
  var fragment = document.createDocumentFragment();
  order.forEach(function (i) { fragment.appendChild(rows[i]); });
  tbody.appendChild(fragment);
  document.querySelectorAll("th[data-key]").forEach(function (th) {
    th.className = th.getAttribute("data-key") === sortKey ? (sortUp ? "up" : "down") : "";
  });
}
function shown(i) { return !rows[i].hidden; }
function applyFilter() {
  var text = document.getElementById("filter").value.toLowerCase();
  var verdict = document.getElementById("verdict").value;
  var label = document.getElementById("labelled").value;
  var minText = document.getElementById("minsnr").value;
  var minSnr = minText === "" ? null : parseFloat(minText);
  data.forEach(function (c, i) {
    var ok = !text || c.image.toLowerCase().indexOf(text) >= 0 ||
      verdictText(c).toLowerCase().indexOf(text) >= 0;
    if (verdict === "kept") ok = ok && c.kept;
    if (verdict === "rejected") ok = ok && !c.kept;
    if (label === "none") ok = ok && !labels[i];
    else if (label !== "all") ok = ok && labels[i] === label;
    if (minSnr !== null && !isNaN(minSnr)) ok = ok && c.snr !== null && c.snr >= minSnr;
    rows[i].hidden = !ok;
  });
  if (current >= 0 && !shown(current)) setCurrent(-1);
  updateCount();
}
function updateCount() {
  var n = 0, counts = {real: 0, bogus: 0, skip: 0};
  data.forEach(function (c, i) { if (shown(i)) n++; if (labels[i]) counts[labels[i]]++; });
  document.getElementById("count").textContent = "shown " + n + " of " + data.length +
    " \u00b7 real " + counts.real + ", bogus " + counts.bogus + ", skip " + counts.skip;
}
function setCurrent(i, still) {
  if (current >= 0) rows[current].classList.remove("current");
  current = i;
  if (current >= 0) {
    rows[current].classList.add("current");
    if (!still) rows[current].scrollIntoView({block: "nearest"});
  }
}
function visibleOrder() { return order.filter(shown); }
function move(step) {
  var list = visibleOrder();
  if (!list.length) { setCurrent(-1); return; }
  var at = list.indexOf(current);
  if (at < 0) { setCurrent(list[step > 0 ? 0 : list.length - 1]); return; }
  var next = at + step;
  if (next >= 0 && next < list.length) setCurrent(list[next]);
}
function save() {
  try { window.localStorage.setItem(storeKey, JSON.stringify(labels)); } catch (e) {}
}
function mark(label) {
  if (current < 0) { move(1); if (current < 0) return; }
  var i = current;
  if (label) labels[i] = label; else delete labels[i];
  rows[i].classList.remove("real", "bogus", "skip");
  if (label) rows[i].classList.add(label);
  rows[i].querySelector("td.label").textContent = label || "";
  save();
  updateCount();
  if (label) move(1);
}
function csvField(text) {
  return /[",\r\n#]|^\s|\s$|^$/.test(text) ? "\"" + text.replace(/"/g, "\"\"") + "\"" : text;
}
function labelsCsv() {
  var lines = ["image,number,ra,dec,label"];
  data.forEach(function (c, i) {
    if (labels[i]) lines.push([csvField(c.image), c.number, c.ra, c.dec, labels[i]].join(","));
  });
  return lines.join("\n") + "\n";
}
function download() {
  var blob = new Blob([labelsCsv()], {type: "text/csv"});
  var a = document.createElement("a");
  a.href = URL.createObjectURL(blob);
  a.download = "labels.csv";
  document.body.appendChild(a);
  a.click();
  setTimeout(function () { URL.revokeObjectURL(a.href); a.remove(); }, 1000);
}
document.addEventListener("keydown", function (e) {
  var t = e.target && e.target.tagName;
  if (t === "INPUT" || t === "SELECT" || t === "TEXTAREA" || e.ctrlKey || e.metaKey || e.altKey)
    return;
  var key = e.key;
  if (LABEL_KEYS[key]) mark(LABEL_KEYS[key]);
  else if (key === "u") mark(null);
  else if (key === "j" || key === "ArrowDown") move(1);
  else if (key === "k" || key === "ArrowUp") move(-1);
  else return;
  e.preventDefault();
});
(function () {
  var labelHead = document.querySelector("th[data-key=label]");
  var cols = document.querySelectorAll("#list col");
  var labelCol = cols[cols.length - 1];
  EXTRA.forEach(function (col) {
    var th = el("th", "", col.head);
    th.setAttribute("data-key", col.key);
    labelHead.parentNode.insertBefore(th, labelHead);
    var width = el("col");
    width.style.width = col.width;
    labelCol.parentNode.insertBefore(width, labelCol);
  });
})();
document.querySelectorAll("th[data-key]").forEach(function (th) {
  th.addEventListener("click", function () {
    var key = th.getAttribute("data-key");
    sortUp = key === sortKey ? !sortUp : true;
    sortKey = key;
    sortRows();
  });
});
["filter", "verdict", "labelled", "minsnr"].forEach(function (id) {
  document.getElementById(id).addEventListener("input", applyFilter);
  document.getElementById(id).addEventListener("change", applyFilter);
});
document.getElementById("save").addEventListener("click", download);
document.documentElement.style.setProperty("--head",
  document.querySelector("header").offsetHeight + "px");
var fragment = document.createDocumentFragment();
data.forEach(function (c, i) {
  var tr = makeRow(c, i);
  if (labels[i]) tr.classList.add(labels[i]);
  rows.push(tr);
  fragment.appendChild(tr);
});
tbody.appendChild(fragment);
sortRows();
updateCount();
if (data.length) setCurrent(order[0], true);
var strips = document.querySelectorAll(".stamps");
if ("IntersectionObserver" in window) {
  var observer = new IntersectionObserver(function (entries) {
    entries.forEach(function (e) {
      if (!e.isIntersecting) return;
      observer.unobserve(e.target);
      fillStamps(e.target);
    });
  }, {rootMargin: "1000px 0px"});
  strips.forEach(function (strip) { observer.observe(strip); });
} else {
  strips.forEach(fillStamps);
}
window.newstarsPage = {labelsCsv: labelsCsv, ready: true};
document.body.setAttribute("data-ready", "1");
})();
)JS";

} // namespace

std::string base64Text(const std::vector<uint8_t>& bytes)
{
    static const char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = static_cast<uint32_t>(bytes[i]) << 16 |
                           static_cast<uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
        text += DIGITS[v >> 18 & 63];
        text += DIGITS[v >> 12 & 63];
        text += DIGITS[v >> 6 & 63];
        text += DIGITS[v & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const uint32_t v = static_cast<uint32_t>(bytes[i]) << 16 |
                           (two ? static_cast<uint32_t>(bytes[i + 1]) << 8 : 0);
        text += DIGITS[v >> 18 & 63];
        text += DIGITS[v >> 12 & 63];
        text += two ? DIGITS[v >> 6 & 63] : '=';
        text += '=';
    }
    return text;
}

std::vector<PageCandidate> pageCandidates(const std::vector<CatalogRow>& rows)
{
    std::vector<PageCandidate> list;
    list.reserve(rows.size());
    for (const CatalogRow& r : rows) {
        PageCandidate c;
        c.image = r.image;
        c.number = r.number;
        c.ra = r.ra;
        c.dec = r.dec;
        c.x = r.vetting.x;
        c.y = r.vetting.y;
        c.kept = r.vetting.reasons == 0;
        c.reasons = vetReasonText(r.vetting.reasons);
        if (r.vetting.saturated)
            c.flags = "saturated";
        if (r.vetting.measured)
            c.snr = r.vetting.shape.snr;
        const double flux = r.vetting.testFlux.flux;
        const double reference = r.vetting.referenceFlux.flux * r.stars.fluxScale;
        if (r.vetting.measured && r.vetting.referenceMeasured && r.vetting.referenceSnr >= 5 &&
            flux > 0 && reference > 0 && std::isfinite(reference))
            c.magnitudeChange = -2.5 * std::log10(flux / reference);
        c.stamp = r.page;
        c.history = r.history;
        list.push_back(std::move(c));
    }
    return list;
}

std::vector<PageCandidate> pageCandidates(const std::vector<DifferenceRow>& rows)
{
    std::vector<PageCandidate> list;
    list.reserve(rows.size());
    for (const DifferenceRow& r : rows) {
        PageCandidate c;
        c.image = r.image;
        c.number = r.number;
        c.ra = r.ra;
        c.dec = r.dec;
        c.x = r.x;
        c.y = r.y;
        c.kept = r.reasons.empty();
        c.reasons = r.reasons;
        c.flags = r.flags;
        c.snr = r.snr;
        c.score = r.score;
        c.magnitudeChange = r.magnitudeChange;
        c.stamp = r.page;
        c.history = r.history;
        list.push_back(std::move(c));
    }
    return list;
}

std::string formatScanPage(const std::string& title, const std::vector<PageCandidate>& candidates)
{
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src "
                       "'none'; img-src data:; style-src 'unsafe-inline'; script-src "
                       "'unsafe-inline'\">\n<title>";
    page += htmlText(title);
    page += "</title>\n<style>\n";
    page += PAGE_STYLE;
    page += "</style>\n</head>\n<body data-fingerprint=\"";
    page += fingerprint(candidates);
    page += "\">\n<header>\n<h1>";
    page += htmlText(title);
    page += "</h1>\n"
            "<label>filter <input type=\"text\" id=\"filter\" placeholder=\"image or "
            "verdict\"></label>\n"
            "<label>verdict <select id=\"verdict\"><option value=\"all\">all</option>"
            "<option value=\"kept\">kept</option><option value=\"rejected\">rejected</option>"
            "</select></label>\n"
            "<label>label <select id=\"labelled\"><option value=\"all\">all</option>"
            "<option value=\"none\">unlabelled</option><option value=\"real\">real</option>"
            "<option value=\"bogus\">bogus</option><option value=\"skip\">skip</option>"
            "</select></label>\n"
            "<label>S/N at least <input type=\"number\" id=\"minsnr\" step=\"any\"></label>\n"
            "<button id=\"save\" type=\"button\">save labels.csv</button>\n"
            "<span id=\"count\"></span>\n"
            "<div id=\"help\">keys: r real, b bogus, s skip (each moves on), u clear, "
            "j or \xE2\x86\x93 next, k or \xE2\x86\x91 previous; click a heading to sort, a row "
            "to make it current. Labels stay in this browser until saved.</div>\n"
            "</header>\n<table id=\"list\">\n<colgroup><col style=\"width:3em\">"
            "<col style=\"width:11em\"><col style=\"width:3em\"><col style=\"width:10em\">"
            "<col style=\"width:4em\"><col style=\"width:4em\"><col style=\"width:4em\">"
            "<col style=\"width:9em\"><col style=\"width:9em\"><col style=\"width:410px\">"
            "<col style=\"width:4em\"></colgroup>\n<thead><tr>"
            "<th data-key=\"index\">#</th><th data-key=\"image\">image</th>"
            "<th data-key=\"number\">no.</th><th data-key=\"verdict\">verdict</th>"
            "<th data-key=\"score\">score</th><th data-key=\"snr\">S/N</th>"
            "<th data-key=\"dmag\">\xCE\x94mag</th><th data-key=\"ra\">RA (\xC2\xB0)</th>"
            "<th data-key=\"dec\">Dec (\xC2\xB0)</th><th>stamps</th>"
            "<th data-key=\"label\">label</th></tr></thead>\n<tbody></tbody>\n</table>\n"
            "<script type=\"application/json\" id=\"candidates\">[";
    for (size_t i = 0; i < candidates.size(); ++i) {
        const PageCandidate& c = candidates[i];
        const StampOrientation& o = c.stamp.orientation;
        page += i == 0 ? "\n{" : ",\n{";
        page += "\"image\":" + jsonString(c.image);
        page += ",\"number\":" + std::to_string(c.number);
        page += ",\"ra\":\"" + degreesText(c.ra) + "\",\"dec\":\"" + degreesText(c.dec) + "\"";
        page += ",\"x\":" + jsonNumber(c.x, "%.3f") + ",\"y\":" + jsonNumber(c.y, "%.3f");
        page += std::string(",\"kept\":") + (c.kept ? "true" : "false");
        page += ",\"reasons\":" + jsonString(c.reasons);
        if (!c.flags.empty())
            page += ",\"flags\":" + jsonString(c.flags);
        page += ",\"score\":" + jsonNumber(c.score);
        page += ",\"snr\":" + jsonNumber(c.snr);
        page += ",\"dmag\":" + jsonNumber(c.magnitudeChange);
        if (o.known)
            page += ",\"o\":[" + jsonNumber(o.northX) + "," + jsonNumber(o.northY) + "," +
                    jsonNumber(o.eastX) + "," + jsonNumber(o.eastY) + "," +
                    jsonNumber(o.arcsecPerPixel) + "]";
        else
            page += ",\"o\":null";
        if (c.history.present)
            page += ",\"h\":" + candidateHistoryJson(c.history);
        page += ",\"p\":[" + panelJson(c.stamp.reference) + "," + panelJson(c.stamp.test) + "," +
                panelJson(c.stamp.difference) + "]}";
    }
    page += "\n]</script>\n";
    for (const PageCandidate& c : candidates) {
        if (c.history.present) {
            page += std::string("<script>\n") + PAGE_HISTORY_SCRIPT + "</script>\n";
            break;
        }
    }
    page += "<script>\n";
    page += PAGE_SCRIPT;
    page += "</script>\n</body>\n</html>\n";
    return page;
}

} // namespace newstars
