#include "cli/support/RolloutReport.h"

#include "resources/CommandLineMessages.h"
#include "resources/FileAccess.h"
#include "resources/MessageTable.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

namespace mervix::cli {
namespace {

using Json = nlohmann::json;

// A string member, or nothing when it is absent, null or of another type.
std::optional<std::string> StringOf(const Json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// A text for a column: a string as it is, a number as JSON writes it, null
// or absent as nothing.
std::string TextOf(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "";
  return value.dump();
}

std::string TextOf(const Json& j, const char* key) {
  const auto it = j.find(key);
  return it == j.end() ? std::string() : TextOf(*it);
}

// A whole number of milliseconds; a fraction is rounded, anything but a
// number is none.
std::optional<std::int64_t> NumberOf(const Json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return std::nullopt;
  if (it->is_number_integer()) return it->get<std::int64_t>();
  const double value = it->get<double>();
  if (!std::isfinite(value)) return std::nullopt;
  return static_cast<std::int64_t>(std::llround(value));
}

std::optional<int> IntOf(const Json& j, const char* key) {
  const std::optional<std::int64_t> n = NumberOf(j, key);
  if (!n || *n < -1000000 || *n > 1000000) return std::nullopt;
  return static_cast<int>(*n);
}

// One record line as a device run; false when it is none.
bool ReadRun(const std::string& line, DeviceRun* run) {
  const Json j = Json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return false;
  const std::optional<std::string> device = StringOf(j, "device");
  if (!device || device->empty()) return false;
  run->device = *device;
  run->name = StringOf(j, "name");
  run->group = StringOf(j, "group");
  if (run->name && run->name->empty()) run->name.reset();
  if (run->group && run->group->empty()) run->group.reset();
  run->outcome = StringOf(j, "outcome").value_or("");
  run->exitCode = IntOf(j, "exit_code");
  const std::optional<std::string> cause = StringOf(j, "cause");
  run->cause = cause && !cause->empty() ? *cause : DeriveCause(run->outcome, run->exitCode);
  run->command = TextOf(j, "command");
  run->image = TextOf(j, "image");
  run->sha256 = TextOf(j, "sha256");
  run->version = TextOf(j, "version");
  // A device not started has no start: its record's is the clock's zero.
  run->start = run->Started() ? TextOf(j, "start") : std::string();
  run->durationMs = NumberOf(j, "duration_ms");
  run->returnMs = NumberOf(j, "return_ms");
  run->retriesUsed = IntOf(j, "retries_used");
  const auto failure = j.find("failure");
  if (failure != j.end() && failure->is_object()) run->failureText = TextOf(*failure, "text");
  const auto fields = j.find("fields");
  if (fields != j.end() && fields->is_object()) {
    for (const auto& [key, value] : fields->items()) run->fields[key] = TextOf(value);
  }
  return true;
}

// A text on one line: line ends inside a failure text become blanks.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
  return text;
}

TimeStats StatsOf(std::vector<std::pair<std::int64_t, std::size_t>> times) {
  TimeStats stats;
  stats.count = times.size();
  if (times.empty()) return stats;
  // The first device of the longest time is named: a stable sort keeps the
  // record's order among equal times.
  std::stable_sort(times.begin(), times.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  const std::size_t n = times.size();
  stats.medianMs = n % 2 == 1 ? times[n / 2].first : (times[n / 2 - 1].first + times[n / 2].first) / 2;
  const std::int64_t longest = times.back().first;
  stats.longestMs = longest;
  stats.longestIndex = std::find_if(times.begin(), times.end(), [longest](const auto& t) { return t.first == longest; })
                           ->second;
  return stats;
}

std::string Count(std::size_t n) { return std::to_string(n); }

std::string Text(std::uint16_t id) { return GetMessageText(id); }

// The colour of a cause in the page's bars and dots.
const char* CauseColour(const std::string& cause) {
  static const std::map<std::string, const char*> colours = {
      {"finished", "#2e7d32"}, {"unknown", "#6a1b9a"}, {"link", "#c62828"},   {"timeout", "#e65100"},
      {"connect", "#f57c00"},  {"input", "#8d6e63"},   {"refused", "#ad1457"}, {"stopped", "#f9a825"},
      {"usage", "#546e7a"},    {"failure", "#b71c1c"}, {"budget", "#9e9e9e"},  {"not_returned", "#5d4037"}};
  const auto it = colours.find(cause);
  return it == colours.end() ? "#757575" : it->second;
}

// The page's styles: a plain layout that reads on a laptop and prints.
constexpr char kStyle[] = R"(
*{box-sizing:border-box}
body{margin:0;background:#f4f6f9;color:#1f2933;font:14px/1.45 system-ui,-apple-system,"Segoe UI","Noto Sans","Noto Sans CJK JP","Hiragino Sans","Yu Gothic",Meiryo,sans-serif}
main{max-width:1180px;margin:0 auto;padding:22px 24px 40px}
h1{font-size:22px;margin:0 0 2px;font-weight:650}
h2{font-size:15px;margin:0 0 10px;font-weight:600}
.source{color:#616e7c;margin:0 0 18px;overflow-wrap:anywhere}
.cards{display:grid;grid-template-columns:repeat(5,minmax(0,1fr));gap:12px;margin-bottom:16px}
.card,section{background:#fff;border:1px solid #e1e5eb;border-radius:8px}
.card{padding:12px 14px;min-width:0}
.card .k{color:#616e7c;font-size:12px}
.card .v{font-size:26px;font-weight:650;line-height:1.2;font-variant-numeric:tabular-nums}
.card .d{color:#616e7c;font-size:12px;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.card.ok .v{color:#2e7d32}.card.bad .v{color:#c62828}
.charts{display:grid;grid-template-columns:1fr 1fr;gap:12px;margin-bottom:16px}
.charts.one{grid-template-columns:1fr}
section{padding:14px 16px;min-width:0}
.row{display:grid;grid-template-columns:minmax(0,45%) 1fr 64px;gap:10px;align-items:center;margin:7px 0}
.row .l{overflow-wrap:anywhere;line-height:1.25}
.row .n{text-align:right;font-variant-numeric:tabular-nums;color:#3e4c59}
.bar{height:14px;border-radius:3px;background:#edf0f4;overflow:hidden}
.bar .fill{display:flex;height:100%}
.bar .fill span{display:block;height:100%}
.legend{display:flex;gap:14px;color:#616e7c;font-size:12px;margin-top:8px}
.dot{display:inline-block;width:9px;height:9px;border-radius:50%;margin-right:6px;vertical-align:0}
.head{display:flex;justify-content:space-between;align-items:baseline;gap:12px;flex-wrap:wrap}
.head label{color:#3e4c59;font-size:13px;cursor:pointer}
.scroll{overflow-x:auto}
table{border-collapse:collapse;width:100%;font-size:13px}
th,td{padding:5px 8px;border-bottom:1px solid #e8ebf0;text-align:left;vertical-align:top;white-space:nowrap}
th{background:#f0f3f7;color:#3e4c59;font-weight:600}
#devices th{cursor:pointer;user-select:none;position:sticky;top:0}
#devices th:hover{background:#e4e9f0}
#devices th::after{content:"\2195";color:#9aa5b1;margin-left:4px;font-size:11px}
#devices th[aria-sort=ascending]::after{content:"\25B2";color:#3e4c59}
#devices th[aria-sort=descending]::after{content:"\25BC";color:#3e4c59}
td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}
td.wrap{white-space:normal;min-width:240px;max-width:420px;overflow-wrap:anywhere}
section.unfinished{margin-bottom:16px;border-color:#f3c4c4}
section.unfinished h2{color:#b71c1c}
tr.nf td{background:#fff5f5}
tbody tr:hover td{background:#f5f8fc}
)";

// Sorts the table by the heading clicked (again: the other way), numbers by
// their value, text in the page's language; rows without a value go last.
// The filter shows only the rows of devices not finished.
constexpr char kScript[] = R"(
(function(){
var t=document.getElementById('devices'),b=t.tBodies[0],hs=t.tHead.rows[0].cells;
function key(r,i){var c=r.cells[i],v=c.getAttribute('data-v');return v===null?c.textContent:v;}
function sortBy(i){
var h=hs[i],dir=h.getAttribute('aria-sort')==='ascending'?-1:1,num=h.classList.contains('num');
for(var k=0;k<hs.length;k++)hs[k].removeAttribute('aria-sort');
h.setAttribute('aria-sort',dir>0?'ascending':'descending');
var rows=Array.prototype.slice.call(b.rows);
rows.sort(function(x,y){
var a=key(x,i),c=key(y,i);
if(a===''||c===''){if(a!==c)return a===''?1:-1;}
else{var d=num?(+a)-(+c):a.localeCompare(c,document.documentElement.lang,{numeric:true});if(d)return d*dir;}
return x.getAttribute('data-i')-y.getAttribute('data-i');});
for(var k=0;k<rows.length;k++)b.appendChild(rows[k]);}
for(var i=0;i<hs.length;i++)(function(i){
hs[i].addEventListener('click',function(){sortBy(i);});
hs[i].addEventListener('keydown',function(e){if(e.key==='Enter'||e.key===' '){e.preventDefault();sortBy(i);}});})(i);
var f=document.getElementById('only');
f.addEventListener('change',function(){for(var k=0;k<b.rows.length;k++)b.rows[k].hidden=f.checked&&!b.rows[k].classList.contains('nf');});
})();
)";

std::string Percent(std::size_t share, std::size_t whole) {
  if (whole == 0) return "0%";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%%", 100.0 * static_cast<double>(share) / static_cast<double>(whole));
  return text;
}

std::string Card(const char* kind, const std::string& key, const std::string& value, const std::string& detail) {
  std::string html = std::string("<div class=\"card") + (*kind ? " " : "") + kind + "\"><div class=\"k\">" +
                     HtmlEscape(key) + "</div><div class=\"v\">" + HtmlEscape(value) + "</div>";
  if (!detail.empty()) html += "<div class=\"d\" title=\"" + HtmlEscape(detail) + "\">" + HtmlEscape(detail) + "</div>";
  return html + "</div>\n";
}

// One bar: its label, the coloured segments (count and colour) scaled to
// |scale| devices, and the number shown after it.
std::string BarRow(const std::string& label, const std::vector<std::pair<std::size_t, const char*>>& segments,
                   std::size_t scale, const std::string& number) {
  std::size_t total = 0;
  for (const auto& segment : segments) total += segment.first;
  std::string html = "<div class=\"row\"><div class=\"l\" title=\"" + HtmlEscape(label) + "\">" + HtmlEscape(label) +
                     "</div><div class=\"bar\"><div class=\"fill\" style=\"width:" + Percent(total, scale) + "\">";
  for (const auto& [count, colour] : segments) {
    if (count == 0) continue;
    html += std::string("<span style=\"width:") + Percent(count, total) + ";background:" + colour + "\"></span>";
  }
  return html + "</div></div><div class=\"n\">" + HtmlEscape(number) + "</div></div>\n";
}

std::string Cell(const std::string& text, const char* cls = "") {
  return std::string("<td") + (*cls ? std::string(" class=\"") + cls + "\"" : "") + ">" + HtmlEscape(text) + "</td>";
}

// The start as "2026-03-14 06:10:20", to the second; the recorded text to
// sort by and to hover over.
std::string StartCell(const std::string& start) {
  std::string shown = start;
  if (shown.size() >= 19 && shown[10] == 'T') {
    shown = shown.substr(0, 19);
    shown[10] = ' ';
  }
  return "<td data-v=\"" + HtmlEscape(start) + "\" title=\"" + HtmlEscape(start) + "\">" + HtmlEscape(shown) + "</td>";
}

std::string CauseCell(const std::string& cause) {
  return std::string("<td><span class=\"dot\" style=\"background:") + CauseColour(cause) + "\"></span>" +
         HtmlEscape(CauseText(cause)) + "</td>";
}

// A number cell: seconds shown, milliseconds to sort by; empty without one.
std::string SecondsCell(const std::optional<std::int64_t>& ms) {
  if (!ms) return "<td class=\"num\" data-v=\"\"></td>";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(*ms) / 1000.0);
  return "<td class=\"num\" data-v=\"" + std::to_string(*ms) + "\">" + seconds + "</td>";
}

std::string NumberCell(const std::optional<int>& n) {
  return n ? "<td class=\"num\">" + std::to_string(*n) + "</td>" : std::string("<td class=\"num\" data-v=\"\"></td>");
}

// The extra field names of every device, sorted.
std::vector<std::string> FieldNames(const RolloutRecords& records) {
  std::set<std::string> names;
  for (const DeviceRun& d : records.devices) {
    for (const auto& field : d.fields) names.insert(field.first);
  }
  return {names.begin(), names.end()};
}

}  // namespace

std::string DeviceRun::Label() const { return name ? *name + " (" + device + ")" : device; }

std::string DeriveCause(const std::string& outcome, std::optional<int> exitCode) {
  if (outcome == "finished") return "finished";
  if (outcome == "not_started") return "budget";
  switch (exitCode.value_or(-1)) {
    case 1:
      return "refused";
    case 2:
      return "usage";
    case 3:
      return "connect";
    case 4:
      return "link";
    case 5:
      return "stopped";
    case 6:
      return "timeout";
    case 7:
      return "input";
    case 8:
      return "unknown";
    default:
      return "failure";
  }
}

RolloutRecords ParseRolloutRecords(const std::string& text) {
  RolloutRecords records;
  std::map<std::string, std::size_t> indexOf;
  std::size_t begin = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  for (std::size_t number = 1; begin < text.size(); ++number) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    DeviceRun run;
    if (!ReadRun(line, &run)) {
      records.skippedLines.push_back(number);
      continue;
    }
    run.line = number;
    ++records.runs;
    const auto [it, added] = indexOf.emplace(run.device, records.devices.size());
    if (added) {
      records.devices.push_back(std::move(run));
    } else {
      records.devices[it->second] = std::move(run);
    }
  }
  return records;
}

bool ReadRolloutRecordFile(const std::string& path, InputFile* input, RolloutRecords* records, std::string* reason) {
  const FileStatus opened = input->Open(path, ImageAccess::Shared, "record");
  if (!opened.ok()) {
    *reason = opened.reason;
    return false;
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    std::size_t got = 0;
    const FileStatus read = input->ReadAt(text.size(), buffer, sizeof buffer, &got);
    if (!read.ok()) {
      *reason = read.reason;
      return false;
    }
    if (got == 0) break;
    text.append(buffer, got);
  }
  *records = ParseRolloutRecords(text);
  return true;
}

const std::vector<std::string>& KnownCauses() {
  static const std::vector<std::string> causes = {"finished", "unknown", "link",    "timeout", "connect", "input",
                                                  "refused",  "stopped", "usage",   "failure", "budget",
                                                  "not_returned"};
  return causes;
}

std::string CauseText(const std::string& cause) {
  const std::vector<std::string>& known = KnownCauses();
  const auto it = std::find(known.begin(), known.end(), cause);
  if (it == known.end()) return cause;
  // The cause texts are numbered in the order of KnownCauses.
  return Text(static_cast<std::uint16_t>(IDS_CLI_CAUSE_FINISHED + (it - known.begin())));
}

RolloutSummary SummarizeRollout(const RolloutRecords& records) {
  RolloutSummary s;
  s.devices = records.devices.size();
  std::map<std::string, std::size_t> byCause;
  std::map<std::string, GroupCount> byGroup;
  GroupCount ungrouped;
  std::vector<std::pair<std::int64_t, std::size_t>> durations, returns;
  for (std::size_t i = 0; i < records.devices.size(); ++i) {
    const DeviceRun& d = records.devices[i];
    ++byCause[d.cause];
    GroupCount& group = d.group ? byGroup[*d.group] : ungrouped;
    group.group = d.group;
    ++group.devices;
    if (d.Finished()) {
      ++s.finished;
      ++group.finished;
    } else {
      s.notFinished.push_back(i);
    }
    if (d.durationMs && d.Started()) durations.emplace_back(*d.durationMs, i);
    if (d.returnMs) returns.emplace_back(*d.returnMs, i);
    if (!d.start.empty()) {
      if (s.firstStart.empty() || d.start < s.firstStart) s.firstStart = d.start;
      if (d.start > s.lastStart) s.lastStart = d.start;
    }
  }
  for (const std::string& cause : KnownCauses()) {
    const auto it = byCause.find(cause);
    if (it == byCause.end()) continue;
    s.causes.push_back({cause, it->second});
    byCause.erase(it);
  }
  for (const auto& [cause, count] : byCause) s.causes.push_back({cause, count});
  s.hasGroups = !byGroup.empty();
  for (const auto& entry : byGroup) s.groups.push_back(entry.second);
  if (ungrouped.devices > 0) s.groups.push_back(ungrouped);
  s.duration = StatsOf(std::move(durations));
  s.returnTime = StatsOf(std::move(returns));
  return s;
}

std::string SecondsText(std::int64_t ms) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(ms) / 1000.0);
  return FormatCommandLineText(IDS_CLI_REPORT_SECONDS, {seconds});
}

std::string RolloutText(const RolloutRecords& records, const RolloutSummary& s, const std::string& recordName) {
  std::string out;
  auto line = [&out](const std::string& text) { out += text + "\n"; };
  if (s.devices == 0) {
    line(FormatCommandLineText(IDS_CLI_REPORT_NO_DEVICE, {recordName}));
    return out;
  }
  line(FormatCommandLineText(IDS_CLI_REPORT_SOURCE,
                             {recordName, Count(records.runs), Count(s.devices), s.firstStart.empty() ? "-" : s.firstStart,
                              s.lastStart.empty() ? "-" : s.lastStart}));
  line(FormatCommandLineText(IDS_CLI_REPORT_SUMMARY, {Count(s.devices), Count(s.finished), Count(s.NotFinished())}));
  line(Text(IDS_CLI_REPORT_BY_CAUSE));
  // The counts right-aligned in a column as wide as the largest.
  const int width = static_cast<int>(Count(s.devices).size());
  for (const CauseCount& c : s.causes) {
    char count[32];
    std::snprintf(count, sizeof count, "%*zu", width, c.devices);
    line(FormatCommandLineText(IDS_CLI_REPORT_CAUSE_LINE, {count, CauseText(c.cause), c.cause}));
  }
  if (s.hasGroups) {
    line(Text(IDS_CLI_REPORT_BY_GROUP));
    for (const GroupCount& g : s.groups) {
      line(FormatCommandLineText(IDS_CLI_REPORT_GROUP_LINE,
                                 {g.group ? *g.group : Text(IDS_CLI_REPORT_NO_GROUP), Count(g.devices),
                                  Count(g.finished), Count(g.devices - g.finished)}));
    }
  }
  if (s.duration.count > 0) {
    line(FormatCommandLineText(IDS_CLI_REPORT_DURATION,
                               {SecondsText(s.duration.medianMs), SecondsText(s.duration.longestMs),
                                records.devices[s.duration.longestIndex].Label()}));
  }
  if (s.returnTime.count > 0) {
    line(FormatCommandLineText(IDS_CLI_REPORT_RETURN,
                               {SecondsText(s.returnTime.medianMs), SecondsText(s.returnTime.longestMs),
                                records.devices[s.returnTime.longestIndex].Label()}));
  }
  if (!s.notFinished.empty()) {
    line(Text(IDS_CLI_REPORT_NOT_FINISHED));
    for (std::size_t i : s.notFinished) {
      const DeviceRun& d = records.devices[i];
      std::string text = "  " + d.Label();
      if (d.group) text += "  [" + *d.group + "]";
      text += "  " + CauseText(d.cause);
      if (!d.failureText.empty()) text += ": " + d.failureText;
      line(OneLine(text));
    }
  }
  return out;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string RolloutCsv(const RolloutRecords& records) {
  static const std::vector<std::string> columns = {
      "device", "name",  "group",       "outcome",   "cause",     "exit_code",    "image",
      "sha256", "version", "start",     "duration_ms", "return_ms", "retries_used", "failure_text"};
  const std::vector<std::string> fields = FieldNames(records);
  std::string csv = "\xEF\xBB\xBF";
  auto row = [&csv](const std::vector<std::string>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i) csv += (i ? "," : "") + CsvField(cells[i]);
    csv += "\r\n";
  };
  std::vector<std::string> heading = columns;
  for (const std::string& f : fields) {
    heading.push_back(std::find(columns.begin(), columns.end(), f) == columns.end() ? f : "field_" + f);
  }
  row(heading);
  auto number = [](const auto& n) { return n ? std::to_string(*n) : std::string(); };
  for (const DeviceRun& d : records.devices) {
    std::vector<std::string> cells = {d.device,          d.name.value_or(""),    d.group.value_or(""),
                                      d.outcome,         d.cause,                number(d.exitCode),
                                      d.image,           d.sha256,               d.version,
                                      d.start,           number(d.durationMs),   number(d.returnMs),
                                      number(d.retriesUsed), d.failureText};
    for (const std::string& f : fields) {
      const auto it = d.fields.find(f);
      cells.push_back(it == d.fields.end() ? std::string() : it->second);
    }
    row(cells);
  }
  return csv;
}

std::string HtmlEscape(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string RolloutHtml(const RolloutRecords& records, const RolloutSummary& s, const std::string& recordName) {
  const bool japanese = ActiveLanguage() == Language::Japanese;
  const std::string title = Text(IDS_CLI_REPORT_TITLE);
  std::string html = std::string("<!DOCTYPE html>\n<html lang=\"") + (japanese ? "ja" : "en") +
                     "\">\n<head>\n<meta charset=\"utf-8\">\n"
                     "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
                     HtmlEscape(title + " - " + recordName) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n<main>\n";
  html += "<h1>" + HtmlEscape(title) + "</h1>\n<p class=\"source\">" +
          HtmlEscape(FormatCommandLineText(IDS_CLI_REPORT_SOURCE,
                                           {recordName, Count(records.runs), Count(s.devices),
                                            s.firstStart.empty() ? "-" : s.firstStart,
                                            s.lastStart.empty() ? "-" : s.lastStart})) +
          "</p>\n";

  // The summary.
  html += "<div class=\"cards\">\n";
  html += Card("", Text(IDS_CLI_REPORT_DEVICES), Count(s.devices), "");
  html += Card("ok", Text(IDS_CLI_REPORT_FINISHED), Count(s.finished), Percent(s.finished, s.devices));
  html += Card(s.NotFinished() > 0 ? "bad" : "", Text(IDS_CLI_REPORT_UNFINISHED), Count(s.NotFinished()),
               Percent(s.NotFinished(), s.devices));
  const bool timed = s.duration.count > 0;
  html += Card("", Text(IDS_CLI_REPORT_MEDIAN), timed ? SecondsText(s.duration.medianMs) : "-", "");
  html += Card("", Text(IDS_CLI_REPORT_SLOWEST), timed ? SecondsText(s.duration.longestMs) : "-",
               timed ? records.devices[s.duration.longestIndex].Label() : "");
  html += "</div>\n";

  // The bars: by cause, and by group when devices name groups.
  html += std::string("<div class=\"charts") + (s.hasGroups ? "" : " one") + "\">\n<section>\n<h2>" +
          HtmlEscape(Text(IDS_CLI_REPORT_CAUSE_CHART)) + "</h2>\n";
  std::size_t most = 0;
  for (const CauseCount& c : s.causes) most = std::max(most, c.devices);
  for (const CauseCount& c : s.causes) {
    html += BarRow(CauseText(c.cause), {{c.devices, CauseColour(c.cause)}}, most, Count(c.devices));
  }
  html += "</section>\n";
  if (s.hasGroups) {
    html += "<section>\n<h2>" + HtmlEscape(Text(IDS_CLI_REPORT_GROUP_CHART)) + "</h2>\n";
    std::size_t largest = 0;
    for (const GroupCount& g : s.groups) largest = std::max(largest, g.devices);
    for (const GroupCount& g : s.groups) {
      html += BarRow(g.group ? *g.group : Text(IDS_CLI_REPORT_NO_GROUP),
                     {{g.finished, CauseColour("finished")}, {g.devices - g.finished, CauseColour("failure")}}, largest,
                     Count(g.finished) + " / " + Count(g.devices));
    }
    html += std::string("<div class=\"legend\"><span><span class=\"dot\" style=\"background:") +
            CauseColour("finished") + "\"></span>" + HtmlEscape(Text(IDS_CLI_REPORT_FINISHED)) +
            "</span><span><span class=\"dot\" style=\"background:" + CauseColour("failure") + "\"></span>" +
            HtmlEscape(Text(IDS_CLI_REPORT_UNFINISHED)) + "</span></div>\n</section>\n";
  }
  html += "</div>\n";

  // The devices not finished, first: what the operator acts on.
  if (!s.notFinished.empty()) {
    html += "<section class=\"unfinished\">\n<h2>" + HtmlEscape(Text(IDS_CLI_REPORT_UNFINISHED)) + " (" +
            Count(s.NotFinished()) + ")</h2>\n<div class=\"scroll\">\n<table id=\"unfinished\">\n<thead><tr><th>" +
            HtmlEscape(Text(IDS_CLI_REPORT_COL_DEVICE)) + "</th>" +
            (s.hasGroups ? "<th>" + HtmlEscape(Text(IDS_CLI_REPORT_COL_GROUP)) + "</th>" : std::string()) + "<th>" +
            HtmlEscape(Text(IDS_CLI_REPORT_COL_CAUSE)) + "</th><th>" + HtmlEscape(Text(IDS_CLI_REPORT_COL_FAILURE)) +
            "</th></tr></thead>\n<tbody>\n";
    for (std::size_t i : s.notFinished) {
      const DeviceRun& d = records.devices[i];
      html += "<tr>" + Cell(d.Label()) + (s.hasGroups ? Cell(d.group.value_or("")) : std::string()) +
              CauseCell(d.cause) + Cell(d.failureText, "wrap") + "</tr>\n";
    }
    html += "</tbody>\n</table>\n</div>\n</section>\n";
  }

  // Every device. Name, group and return columns only when some device has them.
  bool names = false, returns = false;
  for (const DeviceRun& d : records.devices) {
    names = names || d.name.has_value();
    returns = returns || d.returnMs.has_value();
  }
  const std::vector<std::string> fields = FieldNames(records);
  html += "<section>\n<div class=\"head\"><h2>" + HtmlEscape(Text(IDS_CLI_REPORT_TABLE)) +
          "</h2><label><input type=\"checkbox\" id=\"only\"> " + HtmlEscape(Text(IDS_CLI_REPORT_ONLY_UNFINISHED)) +
          "</label></div>\n<div class=\"scroll\">\n<table id=\"devices\">\n<thead><tr>";
  auto heading = [&html](const std::string& text, bool number) {
    html += std::string("<th tabindex=\"0\" scope=\"col\"") + (number ? " class=\"num\"" : "") + ">" +
            HtmlEscape(text) + "</th>";
  };
  heading(Text(IDS_CLI_REPORT_COL_DEVICE), false);
  if (names) heading(Text(IDS_CLI_REPORT_COL_NAME), false);
  if (s.hasGroups) heading(Text(IDS_CLI_REPORT_COL_GROUP), false);
  heading(Text(IDS_CLI_REPORT_COL_CAUSE), false);
  heading(Text(IDS_CLI_REPORT_COL_EXIT), true);
  heading(Text(IDS_CLI_REPORT_COL_START), false);
  heading(Text(IDS_CLI_REPORT_COL_DURATION), true);
  if (returns) heading(Text(IDS_CLI_REPORT_COL_RETURN), true);
  heading(Text(IDS_CLI_REPORT_COL_RETRIES), true);
  heading(Text(IDS_CLI_REPORT_COL_FAILURE), false);
  for (const std::string& f : fields) heading(f, false);
  html += "</tr></thead>\n<tbody>\n";
  for (std::size_t i = 0; i < records.devices.size(); ++i) {
    const DeviceRun& d = records.devices[i];
    html += std::string("<tr data-i=\"") + std::to_string(i) + "\"" + (d.Finished() ? "" : " class=\"nf\"") + ">";
    html += Cell(d.device);
    if (names) html += Cell(d.name.value_or(""));
    if (s.hasGroups) html += Cell(d.group.value_or(""));
    html += CauseCell(d.cause);
    html += NumberCell(d.exitCode);
    html += StartCell(d.start);
    html += SecondsCell(d.durationMs);
    if (returns) html += SecondsCell(d.returnMs);
    html += NumberCell(d.retriesUsed);
    html += Cell(d.failureText, "wrap");
    for (const std::string& f : fields) {
      const auto it = d.fields.find(f);
      html += Cell(it == d.fields.end() ? std::string() : it->second);
    }
    html += "</tr>\n";
  }
  html += "</tbody>\n</table>\n</div>\n</section>\n</main>\n<script>" + std::string(kScript) + "</script>\n</body>\n</html>\n";
  return html;
}

}  // namespace mervix::cli
