#include "vet/candidate_history.hpp"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "vet/catalog.hpp"

namespace newstars {

namespace {

// A JSON string safe inside a script element: the text cleaned as the catalogue cleans
// it, every ASCII character but letters, digits, blanks and ":.-_+" as a \u escape.
std::string jsonText(const std::string& text)
{
    const std::string clean = catalogText(text);
    std::string json = "\"";
    for (size_t i = 0; i < clean.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(clean[i]);
        if (c == 0xE2 && i + 2 < clean.size() && clean[i + 1] == '\x80' &&
            (clean[i + 2] == '\xA8' || clean[i + 2] == '\xA9')) {
            // U+2028 and U+2029 end lines in older scripts.
            json += clean[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else if (c >= 0x80 || std::isalnum(c) || c == ' ' || c == ':' || c == '.' ||
                   c == '-' || c == '_' || c == '+') {
            json += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            json += escape;
        }
    }
    json += '"';
    return json;
}

std::string jsonValue(double value)
{
    if (!std::isfinite(value))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// A text field of the catalogue: cleaned, quoted when empty or holding a delimiter, a
// quote, a blank or a "#" (quotes doubled), as the catalogue writes its own.
std::string csvText(const std::string& text)
{
    const std::string clean = catalogText(text);
    if (!clean.empty() && clean.find_first_of(",\" #") == std::string::npos)
        return clean;
    std::string quoted = "\"";
    for (char c : clean) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + "\"";
}

std::string fluxText(double value)
{
    if (!std::isfinite(value))
        return "nan";
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

struct HistoryColumn {
    const char* name;
    const char* datatype;
    const char* description;
};

const HistoryColumn HISTORY_COLUMNS[] = {
    {"history_source", "int64", "number of the source in the history (0: not recorded)"},
    {"first_seen", "string", "observation time of the first detection of the source (UTC)"},
    {"times_seen", "int32", "test images the source was detected in, this one included"},
    {"nights", "int32", "nights the source was detected on"},
    {"light_curve", "string", "night:mean difference flux (ADU) per night, ;-separated"},
    {"label", "string", "the latest label given on the scanning page"},
    {"known", "string", "the known object at its position"},
    {"flagged", "bool", "labelled bogus, or known"},
};

} // namespace

const std::vector<std::string>& historyColumnNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const HistoryColumn& c : HISTORY_COLUMNS)
            list.emplace_back(c.name);
        return list;
    }();
    return names;
}

int addHistoryColumns(const std::vector<CandidateHistory>& histories, std::string* text)
{
    const std::string& in = *text;
    std::vector<std::string> lines;
    for (size_t begin = 0; begin < in.size();) {
        size_t end = in.find('\n', begin);
        if (end == std::string::npos)
            return -1; // every line of the catalogue ends
        lines.push_back(in.substr(begin, end - begin));
        begin = end + 1;
    }
    size_t lastColumn = lines.size(), names = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("# - {name: ", 0) == 0)
            lastColumn = i;
        if (lines[i].rfind("#", 0) != 0) {
            names = i;
            break;
        }
    }
    if (lastColumn >= names || names >= lines.size() ||
        lines.size() - names - 1 != histories.size())
        return -1;
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        if (i == names) {
            for (const HistoryColumn& c : HISTORY_COLUMNS)
                out += std::string(",") + c.name;
        } else if (i > names) {
            const CandidateHistory& h = histories[i - names - 1];
            std::string curve;
            for (const LightCurvePoint& p : h.lightCurve) {
                if (!curve.empty())
                    curve += ';';
                curve += p.night;
                curve += ':';
                curve += fluxText(p.flux);
            }
            for (const std::string& cell :
                 {std::to_string(h.source), csvText(h.firstSeen), std::to_string(h.timesSeen),
                  std::to_string(h.nights), csvText(curve), csvText(h.label), csvText(h.known),
                  std::string(h.flagged ? "True" : "False")}) {
                out += ',';
                out += cell;
            }
        }
        out += '\n';
        if (i == lastColumn) {
            for (const HistoryColumn& c : HISTORY_COLUMNS)
                out += std::string("# - {name: ") + c.name + ", datatype: " + c.datatype +
                       ", description: '" + c.description + "'}\n";
        }
    }
    *text = std::move(out);
    return 0;
}

std::string candidateHistoryJson(const CandidateHistory& history)
{
    std::string json = "{\"first\":" + jsonText(history.firstSeen);
    json += ",\"seen\":" + std::to_string(history.timesSeen);
    json += ",\"nights\":" + std::to_string(history.nights);
    json += ",\"curve\":[";
    for (size_t i = 0; i < history.lightCurve.size(); ++i) {
        if (i > 0)
            json += ',';
        json += '[';
        json += jsonText(history.lightCurve[i].night);
        json += ',';
        json += jsonValue(history.lightCurve[i].flux);
        json += ']';
    }
    json += "],\"label\":" + jsonText(history.label);
    json += ",\"known\":" + jsonText(history.known);
    json += std::string(",\"flagged\":") + (history.flagged ? "true" : "false") + "}";
    return json;
}

const char PAGE_HISTORY_SCRIPT[] = R"JS((function () {
"use strict";
var SVG = "http://www.w3.org/2000/svg";
function svg(tag, attrs) {
  var e = document.createElementNS(SVG, tag);
  for (var k in attrs) e.setAttribute(k, attrs[k]);
  return e;
}
function td(cls, text) {
  var e = document.createElement("td");
  e.className = cls;
  e.textContent = text;
  return e;
}
// The difference flux night by night: one point per night, nights evenly spaced in
// order, the flux scale from zero (or the lowest value) to the highest.
function lightCurve(h) {
  var W = 120, H = 40, P = 4;
  var s = svg("svg", {width: W, height: H, viewBox: "0 0 " + W + " " + H, "class": "curve"});
  var points = h.curve.filter(function (p) { return p[1] !== null; });
  s.appendChild(svg("rect", {x: 0, y: 0, width: W, height: H, fill: "#fff", stroke: "#bbb"}));
  if (!points.length) return s;
  var low = Math.min(0, Math.min.apply(null, points.map(function (p) { return p[1]; })));
  var high = Math.max.apply(null, points.map(function (p) { return p[1]; }));
  if (!(high > low)) high = low + 1;
  var n = h.curve.length;
  function x(i) { return n > 1 ? P + (W - 2 * P) * i / (n - 1) : W / 2; }
  function y(v) { return H - P - (H - 2 * P) * (v - low) / (high - low); }
  s.appendChild(svg("line", {x1: P, x2: W - P, y1: y(0), y2: y(0), stroke: "#ccc"}));
  var path = "";
  h.curve.forEach(function (p, i) {
    if (p[1] === null) return;
    path += (path ? " L" : "M") + x(i).toFixed(1) + " " + y(p[1]).toFixed(1);
  });
  s.appendChild(svg("path", {d: path, fill: "none", stroke: "#36c", "stroke-width": 1.2}));
  h.curve.forEach(function (p, i) {
    if (p[1] === null) return;
    var dot = svg("circle", {cx: x(i).toFixed(1), cy: y(p[1]).toFixed(1), r: 2.2, fill: "#36c"});
    var title = svg("title", {});
    title.textContent = p[0] + ": " + p[1];
    dot.appendChild(title);
    s.appendChild(dot);
  });
  return s;
}
function before(h) {
  var words = [];
  if (h.label) words.push("labelled " + h.label);
  if (h.known) words.push("known: " + h.known);
  return words.join("; ");
}
function historyOf(c) { return c.h || null; }
window.newstarsColumns = [
  {key: "first", head: "first seen", width: "10em", cls: "first",
   value: function (c) { var h = historyOf(c); return h && h.first ? h.first : null; },
   text: function (h) { return h.first.replace("T", " ").slice(0, 16); }},
  {key: "seen", head: "seen", width: "3.5em", cls: "num seen",
   value: function (c) { var h = historyOf(c); return h ? h.seen : null; },
   text: function (h) { return String(h.seen); }},
  {key: "nights", head: "nights", width: "3.5em", cls: "num nights",
   value: function (c) { var h = historyOf(c); return h ? h.nights : null; },
   text: function (h) { return String(h.nights); }},
  {key: "curve", head: "light curve", width: "130px", cls: "curve", draw: lightCurve,
   value: function (c) { var h = historyOf(c); return h ? h.curve.length : null; }},
  {key: "before", head: "before", width: "8em", cls: "before",
   value: function (c) { var h = historyOf(c); return h ? (h.flagged ? "0" : "1") + before(h) : null; },
   text: function (h) { return before(h); }}
];
window.newstarsColumns.forEach(function (col) {
  col.cell = function (c) {
    var h = historyOf(c);
    if (!h) return td(col.cls, "");
    if (col.draw) {
      var cell = td(col.cls, "");
      cell.appendChild(col.draw(h));
      return cell;
    }
    var cellText = td(col.cls + (col.key === "before" && h.flagged ? " flagged" : ""), col.text(h));
    cellText.title = cellText.textContent;
    if (col.key === "before" && h.flagged) cellText.style.color = "#a00";
    return cellText;
  };
});
})();
)JS";

} // namespace newstars
