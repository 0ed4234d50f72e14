// The roll-out report without a process: records read back (the latest run
// of a device wins, a cut line is skipped, old records get their cause),
// the counts and times, the CSV read back by an RFC 4180 reader, and the
// HTML page parsed for its structure, its escaping and anything it would
// fetch.
#include "cli/support/RolloutReport.h"
#include "resources/CommandLineMessages.h"
#include "resources/MessageTable.h"

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix::cli {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// One record line as --record writes it, with |extra| merged over it.
std::string Line(const std::string& device, const std::string& outcome, int exitCode,
                 const nlohmann::json& extra = nlohmann::json::object()) {
  nlohmann::json j = {{"device", device}, {"command", "send"},  {"source", "fw.img"},
                      {"image", "fw.img"}, {"sha256", "ab12"},  {"version", "4.02"},
                      {"size", 70000},     {"start", "2026-03-14T06:10:00.000Z"},
                      {"duration_ms", 1000}, {"outcome", outcome}, {"exit_code", exitCode},
                      {"failure", nullptr}, {"sha256_sent", nullptr}, {"retries_used", 0}};
  j.update(extra);
  return j.dump() + "\n";
}

class RolloutReportTest : public ::testing::Test {
 protected:
  void SetUp() override { SetActiveLanguage(Language::English); }
  void TearDown() override { SetActiveLanguage(Language::English); }
};

TEST_F(RolloutReportTest, TheLatestRunOfADeviceCountsInTheOrderDevicesFirstAppear) {
  const RolloutRecords r = ParseRolloutRecords(Line("a:1", "failed", 3) + Line("b:1", "finished", 0) +
                                               Line("a:1", "finished", 0, {{"retries_used", 2}}) +
                                               Line("c:1", "failed", 6) + Line("c:1", "stopped", 5));
  ASSERT_EQ(r.devices.size(), 3u);
  EXPECT_EQ(r.runs, 5u);
  EXPECT_TRUE(r.skippedLines.empty());
  const std::vector<std::tuple<std::string, std::string, std::size_t, int>> expected = {
      {"a:1", "finished", 3, 2}, {"b:1", "finished", 2, 0}, {"c:1", "stopped", 5, 0}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(r.devices[i].device, std::get<0>(expected[i]));
    EXPECT_EQ(r.devices[i].cause, std::get<1>(expected[i]));
    EXPECT_EQ(r.devices[i].line, std::get<2>(expected[i]));
    EXPECT_EQ(r.devices[i].retriesUsed, std::get<3>(expected[i]));
  }
  const RolloutSummary s = SummarizeRollout(r);
  EXPECT_EQ(s.finished, 2u);
  EXPECT_EQ(s.notFinished, std::vector<std::size_t>{2});
  EXPECT_FALSE(s.AllFinished());
}

// Each line that is no device's run is skipped and named by its number;
// the runs around it still count, and blank lines are neither.
TEST_F(RolloutReportTest, LinesThatAreNoDeviceRunAreSkippedByNumber) {
  const std::vector<std::string> bad = {
      R"({"device": "x:1", "outcome": "fini)",  // cut by a crash, no line end
      R"({"device": "x:1", "outcome": "finished"} trailing)",
      R"(["x:1", "finished"])",
      R"({"outcome": "finished", "exit_code": 0})",  // no device
      R"({"device": "", "outcome": "finished"})",
      R"({"device": 17, "outcome": "finished"})",
      "{\"device\": \"\xff\xfe\", \"outcome\": \"finished\"}",  // not UTF-8
      "\"just text\"",
  };
  for (const std::string& line : bad) {
    SCOPED_TRACE(line);
    // The bad line third, after a blank line, and last without its end.
    const std::string head = Line("a:1", "finished", 0) + "\n";
    for (const std::string& text : {head + line + "\n" + Line("b:1", "failed", 4), head + line}) {
      const RolloutRecords r = ParseRolloutRecords(text);
      EXPECT_EQ(r.skippedLines, std::vector<std::size_t>{3});
      EXPECT_EQ(r.runs, r.devices.size());
      ASSERT_GE(r.devices.size(), 1u);
      EXPECT_EQ(r.devices[0].device, "a:1");
    }
  }
  // A byte order mark, CR LF line ends and blank lines are no skips.
  const RolloutRecords r =
      ParseRolloutRecords("\xEF\xBB\xBF" + Line("a:1", "finished", 0) + "\r\n  \r\n" + Line("b:1", "failed", 1));
  EXPECT_TRUE(r.skippedLines.empty());
  ASSERT_EQ(r.devices.size(), 2u);
  EXPECT_EQ(r.devices[1].line, 4u);
}

TEST_F(RolloutReportTest, ARecordWithoutACauseGetsTheOneOfItsOutcomeAndExitCode) {
  struct Case {
    std::string outcome;
    std::optional<int> exitCode;
    std::string cause;
  };
  const std::vector<Case> cases = {
      {"finished", 0, "finished"}, {"finished", std::nullopt, "finished"}, {"failed", 1, "refused"},
      {"failed", 2, "usage"},      {"failed", 3, "connect"},               {"failed", 4, "link"},
      {"stopped", 5, "stopped"},   {"cancelled", 5, "stopped"},            {"failed", 6, "timeout"},
      {"failed", 7, "input"},      {"closed", 8, "unknown"},               {"failed", 9, "failure"},
      {"none", 0, "failure"},      {"failed", std::nullopt, "failure"},    {"not_started", std::nullopt, "budget"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.outcome + " " + (c.exitCode ? std::to_string(*c.exitCode) : "none"));
    EXPECT_EQ(DeriveCause(c.outcome, c.exitCode), c.cause);
    nlohmann::json j = {{"device", "d:1"}, {"outcome", c.outcome}};
    if (c.exitCode) j["exit_code"] = *c.exitCode;
    const RolloutRecords r = ParseRolloutRecords(j.dump());
    ASSERT_EQ(r.devices.size(), 1u);
    EXPECT_EQ(r.devices[0].cause, c.cause);
    EXPECT_EQ(r.devices[0].Finished(), c.cause == "finished");
  }
  // A recorded cause stands: a write that finished but whose device never
  // came back is not finished.
  const RolloutRecords r = ParseRolloutRecords(Line("d:1", "finished", 0, {{"cause", "not_returned"}}));
  EXPECT_EQ(r.devices[0].cause, "not_returned");
  EXPECT_FALSE(SummarizeRollout(r).AllFinished());
}

TEST_F(RolloutReportTest, MedianAndSlowestOverTheDevicesThatStarted) {
  struct Case {
    std::vector<std::optional<std::int64_t>> durations;  // none: the record lacks it
    std::size_t count;
    std::int64_t median, longest;
    std::size_t longestIndex;
  };
  const std::vector<Case> cases = {
      {{std::nullopt}, 0, 0, 0, 0},
      {{5000}, 1, 5000, 5000, 0},
      {{1000, 9000, 3000}, 3, 3000, 9000, 1},
      {{4000, 1000, 3000, 2001}, 4, 2500, 4000, 0},  // the mean of the middle two, rounded down
      {{7, 9, std::nullopt, 9}, 3, 9, 9, 1},          // equal longest: the first device is named
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    std::string text;
    for (std::size_t i = 0; i < c.durations.size(); ++i) {
      nlohmann::json extra = {{"return_ms", c.durations[i] ? nlohmann::json(*c.durations[i] / 2) : nullptr}};
      extra["duration_ms"] = c.durations[i] ? nlohmann::json(*c.durations[i]) : nlohmann::json(nullptr);
      text += Line("d:" + std::to_string(i), "finished", 0, extra);
    }
    // A device not started is in no duration, whatever it records,
    // nor in the starts.
    text += Line("skipped:1", "not_started", 9,
                 {{"cause", "budget"}, {"duration_ms", 0}, {"start", "1970-01-01T00:00:00.000Z"}});
    const RolloutRecords r = ParseRolloutRecords(text);
    const RolloutSummary s = SummarizeRollout(r);
    EXPECT_EQ(s.duration.count, c.count);
    EXPECT_EQ(s.duration.medianMs, c.median);
    EXPECT_EQ(s.duration.longestMs, c.longest);
    EXPECT_EQ(s.duration.longestIndex, c.longestIndex);
    EXPECT_EQ(s.returnTime.count, c.count);
    EXPECT_EQ(s.returnTime.longestMs, c.longest / 2);
    EXPECT_EQ(s.firstStart, "2026-03-14T06:10:00.000Z");
    EXPECT_EQ(r.devices.back().start, "");
  }
}

TEST_F(RolloutReportTest, CountsByCauseInTheirOrderAndByGroupWithTheUngroupedLast) {
  const RolloutRecords r = ParseRolloutRecords(
      Line("1:1", "finished", 0, {{"group", "line-b"}}) + Line("2:1", "failed", 3, {{"group", "line-a"}}) +
      Line("3:1", "stopped", 5) + Line("4:1", "failed", 3, {{"group", "line-b"}}) +
      Line("5:1", "failed", 0, {{"cause", "brownout"}, {"group", nullptr}}) +
      Line("6:1", "failed", 8, {{"group", "line-a"}}) + Line("7:1", "finished", 0, {{"group", "line-a"}}));
  const RolloutSummary s = SummarizeRollout(r);
  std::vector<std::pair<std::string, std::size_t>> causes;
  for (const CauseCount& c : s.causes) causes.emplace_back(c.cause, c.devices);
  EXPECT_EQ(causes, (std::vector<std::pair<std::string, std::size_t>>{
                        {"finished", 2}, {"unknown", 1}, {"connect", 2}, {"stopped", 1}, {"brownout", 1}}));
  ASSERT_TRUE(s.hasGroups);
  std::vector<std::tuple<std::string, std::size_t, std::size_t>> groups;
  for (const GroupCount& g : s.groups) groups.emplace_back(g.group.value_or("-"), g.devices, g.finished);
  EXPECT_EQ(groups, (std::vector<std::tuple<std::string, std::size_t, std::size_t>>{
                        {"line-a", 3, 1}, {"line-b", 2, 1}, {"-", 2, 0}}));
  EXPECT_FALSE(SummarizeRollout(ParseRolloutRecords(Line("1:1", "finished", 0))).hasGroups);
  EXPECT_FALSE(SummarizeRollout(ParseRolloutRecords("")).AllFinished()) << "no device is no finished roll-out";
}

// The report for the terminal, in both languages: every count, the slowest
// device by its name, and each device not finished on one line.
TEST_F(RolloutReportTest, TheTextNamesCountsTimesAndTheDevicesNotFinished) {
  const RolloutRecords r = ParseRolloutRecords(
      Line("10.0.0.1:2222", "finished", 0, {{"name", "press-1"}, {"group", "a"}, {"duration_ms", 41000}}) +
      Line("10.0.0.2:2222", "failed", 1,
           {{"group", "b"}, {"failure", {{"text", "NAK(Flash ROM write error)\r\nflags 0x0001"}}}}) +
      Line("10.0.0.3:2222", "finished", 0, {{"group", "a"}, {"duration_ms", 95240}}));
  const RolloutSummary s = SummarizeRollout(r);
  const std::string en = RolloutText(r, s, "runs.jsonl");
  EXPECT_THAT(en, HasSubstr("3 devices: 2 finished, 1 not finished\n"));
  EXPECT_THAT(en, HasSubstr("  2  finished (finished)\n  1  refused by the device (refused)\n"));
  EXPECT_THAT(en, HasSubstr("  a: 2 devices, 2 finished, 0 not finished\n"));
  EXPECT_THAT(en, HasSubstr("Duration: median 41.0 s, slowest 95.2 s (10.0.0.3:2222)\n"));
  EXPECT_THAT(en, HasSubstr("Not finished:\n  10.0.0.2:2222  [b]  refused by the device: "
                            "NAK(Flash ROM write error)  flags 0x0001\n"));
  SetActiveLanguage(Language::Japanese);
  const std::string ja = RolloutText(r, s, "runs.jsonl");
  EXPECT_THAT(ja, HasSubstr("3 台: 完了 2, 未完了 1\n"));
  EXPECT_THAT(ja, HasSubstr("ﾃﾞﾊﾞｲｽが拒否"));
  EXPECT_THAT(ja, HasSubstr("95.2 秒"));
}

TEST_F(RolloutReportTest, EveryReportTextHasBothLanguages) {
  for (std::uint16_t id = IDS_CLI_REPORT_SKIPPED; id <= kLastCommandLineMessageId; ++id) {
    SCOPED_TRACE(id);
    EXPECT_EQ(MessageName(id).rfind("IDS_CLI_", 0), 0u);
    EXPECT_FALSE(GetMessageText(id, Language::English).empty());
    EXPECT_FALSE(GetMessageText(id, Language::Japanese).empty());
    EXPECT_NE(GetMessageText(id, Language::English), GetMessageText(id, Language::Japanese));
  }
  for (const std::string& cause : KnownCauses()) EXPECT_NE(CauseText(cause), "") << cause;
  EXPECT_EQ(CauseText("brownout"), "brownout");
}

// Reads CSV as RFC 4180 has it: fields in quotes may hold commas, quotes
// (doubled) and line ends; every record ends in CR LF.
std::vector<std::vector<std::string>> ReadCsv(const std::string& text, std::string* problem) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  std::size_t i = 0;
  while (i < text.size()) {
    std::string& field = rows.back().back();
    if (text[i] == '"' && field.empty()) {
      for (++i;; ++i) {
        if (i >= text.size()) {
          *problem = "unclosed quote";
          return rows;
        }
        if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"') {
          field += '"';
          ++i;
        } else if (text[i] == '"') {
          ++i;
          break;
        } else {
          field += text[i];
        }
      }
    } else if (text[i] == ',') {
      rows.back().emplace_back();
      ++i;
    } else if (text.compare(i, 2, "\r\n") == 0) {
      rows.emplace_back(1);
      i += 2;
    } else if (text[i] == '\r' || text[i] == '\n' || text[i] == '"') {
      *problem = "bare line end or quote at " + std::to_string(i);
      return rows;
    } else {
      field += text[i++];
    }
  }
  if (rows.back() != std::vector<std::string>(1)) *problem = "no CR LF after the last record";
  rows.pop_back();
  return rows;
}

TEST_F(RolloutReportTest, CsvFieldsAreQuotedAsRfc4180AndReadBackWhole) {
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"plain", "plain"},         {"", ""},
      {"a,b", "\"a,b\""},         {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""}, {"lf\nonly", "\"lf\nonly\""}, {"cr\ronly", "\"cr\ronly\""},
      {"ﾃﾞﾊﾞｲｽ 3", "ﾃﾞﾊﾞｲｽ 3"}, {"'=1+1", "'=1+1"}};
  for (const auto& [text, quoted] : fields) EXPECT_EQ(CsvField(text), quoted) << text;

  const std::string hostile = "NAK, \"size\"\nline two";
  const RolloutRecords r = ParseRolloutRecords(
      Line("a:1", "failed", 1,
           {{"name", "Presse Süd"}, {"failure", {{"text", hostile}}}, {"fields", {{"site", "Hall 2"}, {"device", "x"}}}}) +
      Line("b:1", "finished", 0, {{"return_ms", 1500}, {"fields", {{"serial", "SN-1"}, {"rack", 4}}}}));
  const std::string csv = RolloutCsv(r);
  ASSERT_EQ(csv.rfind("\xEF\xBB\xBF", 0), 0u) << "a byte order mark for spreadsheets";
  std::string problem;
  const auto rows = ReadCsv(csv.substr(3), &problem);
  ASSERT_EQ(problem, "");
  ASSERT_EQ(rows.size(), 3u);
  const std::vector<std::string> heading = {
      "device", "name", "group", "outcome", "cause", "exit_code", "image", "sha256", "version", "start",
      "duration_ms", "return_ms", "retries_used", "failure_text", "field_device", "rack", "serial", "site"};
  EXPECT_EQ(rows[0], heading);
  std::vector<std::map<std::string, std::string>> byColumn;
  for (std::size_t k = 1; k < rows.size(); ++k) {
    ASSERT_EQ(rows[k].size(), heading.size()) << k;
    byColumn.emplace_back();
    for (std::size_t c = 0; c < heading.size(); ++c) byColumn.back()[heading[c]] = rows[k][c];
  }
  EXPECT_EQ(byColumn[0]["failure_text"], hostile);
  EXPECT_EQ(byColumn[0]["name"], "Presse Süd");
  EXPECT_EQ(byColumn[0]["cause"], "refused");
  EXPECT_EQ(byColumn[0]["field_device"], "x");
  EXPECT_EQ(byColumn[0]["site"], "Hall 2");
  EXPECT_EQ(byColumn[0]["return_ms"], "");
  EXPECT_EQ(byColumn[1]["rack"], "4");
  EXPECT_EQ(byColumn[1]["return_ms"], "1500");
  EXPECT_EQ(byColumn[1]["site"], "");
}

TEST_F(RolloutReportTest, HtmlEscapeCoversContentAndQuotedAttributes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "plain"},
      {"<b>&</b>", "&lt;b&gt;&amp;&lt;/b&gt;"},
      {"\"double\" 'single'", "&quot;double&quot; &#39;single&#39;"},
      {"&amp;", "&amp;amp;"},
      {"ﾃﾞﾊﾞｲｽ", "ﾃﾞﾊﾞｲｽ"}};
  for (const auto& [text, escaped] : cases) EXPECT_EQ(HtmlEscape(text), escaped) << text;
}

// The elements of a page in order: a start tag's name with its attributes'
// text, or "/name" for an end tag; script and style content is skipped.
struct Element {
  std::string name;
  std::string attributes;
};

std::vector<Element> Elements(const std::string& html, std::string* problem) {
  std::vector<Element> elements;
  std::size_t i = 0;
  while ((i = html.find('<', i)) != std::string::npos) {
    const std::size_t end = html.find('>', i);
    if (end == std::string::npos) {
      *problem = "unclosed tag";
      return elements;
    }
    const std::string tag = html.substr(i + 1, end - i - 1);
    i = end + 1;
    if (tag.rfind("!", 0) == 0) continue;
    const std::size_t nameEnd = tag.find_first_of(" \t\n");
    Element e{tag.substr(0, nameEnd), nameEnd == std::string::npos ? "" : tag.substr(nameEnd)};
    if (e.attributes.find('<') != std::string::npos) *problem = "'<' inside a tag: " + tag;
    elements.push_back(e);
    if (e.name == "script" || e.name == "style") {
      i = html.find("</" + e.name + ">", i);
      if (i == std::string::npos) {
        *problem = "unclosed " + e.name;
        return elements;
      }
    }
  }
  return elements;
}

// Whether every element but the void ones is closed in order.
std::string Unbalanced(const std::vector<Element>& elements) {
  std::vector<std::string> open;
  for (const Element& e : elements) {
    if (e.name == "meta" || e.name == "input" || e.name == "br") continue;
    if (e.name[0] != '/') {
      open.push_back(e.name);
    } else if (open.empty() || open.back() != e.name.substr(1)) {
      return "</" + e.name.substr(1) + "> closes " + (open.empty() ? "nothing" : "<" + open.back() + ">");
    } else {
      open.pop_back();
    }
  }
  return open.empty() ? "" : "<" + open.back() + "> never closed";
}

// The rows of the table with |id|.
std::size_t TableRows(const std::vector<Element>& elements, const std::string& id) {
  std::size_t rows = 0;
  bool inTable = false, inBody = false;
  for (const Element& e : elements) {
    if (e.name == "table") inTable = e.attributes.find("id=\"" + id + "\"") != std::string::npos;
    if (e.name == "tbody" || e.name == "/tbody") inBody = e.name == "tbody";
    if (inTable && inBody && e.name == "tr") ++rows;
  }
  return rows;
}

TEST_F(RolloutReportTest, ThePageEscapesEveryValueFetchesNothingAndHasARowPerDevice) {
  const std::string evilName = "<img src=x onerror=alert(1)>";
  const std::string evilText = "erase & retry </td></tr><script>alert(\"x\")</script> 'q'";
  const std::string evilGroup = "\"><b>group";
  const std::string evilField = "<a href=\"http://example.invalid/\">x</a>";
  std::string text;
  for (int i = 0; i < 7; ++i) {
    text += Line("10.0.0." + std::to_string(i) + ":2222", i % 3 ? "finished" : "failed", i % 3 ? 0 : 4,
                 {{"name", i == 0 ? evilName : "dev" + std::to_string(i)},
                  {"group", i == 1 ? evilGroup : "g"},
                  {"failure", i == 0 ? nlohmann::json{{"text", evilText}} : nlohmann::json(nullptr)},
                  {"fields", {{"note&<site>", evilField}}}});
  }
  const RolloutRecords r = ParseRolloutRecords(text);
  const RolloutSummary s = SummarizeRollout(r);
  for (Language language : {Language::English, Language::Japanese}) {
    SetActiveLanguage(language);
    const std::string html = RolloutHtml(r, s, "runs <1>.jsonl");
    SCOPED_TRACE(language == Language::English ? "English" : "Japanese");
    for (const std::string& raw : {evilName, evilText, evilGroup, evilField, std::string("runs <1>")}) {
      EXPECT_THAT(html, Not(HasSubstr(raw)));
    }
    EXPECT_THAT(html, HasSubstr(HtmlEscape(evilText)));
    EXPECT_THAT(html, HasSubstr(HtmlEscape(evilName)));
    EXPECT_THAT(html, HasSubstr("&lt;site&gt;"));
    for (const char* external : {"src=\"http", "href=\"http", "<link", "<script src", "@import", "url("}) {
      EXPECT_THAT(html, Not(HasSubstr(external))) << external;
    }
    std::string problem;
    const std::vector<Element> elements = Elements(html, &problem);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(Unbalanced(elements), "");
    EXPECT_EQ(TableRows(elements, "devices"), r.devices.size());
    EXPECT_EQ(TableRows(elements, "unfinished"), s.NotFinished());
    std::size_t scripts = 0;
    for (const Element& e : elements) scripts += e.name == "script";
    EXPECT_EQ(scripts, 1u) << "only the page's own sorting script";
    EXPECT_THAT(html, HasSubstr(language == Language::Japanese ? "<html lang=\"ja\">" : "<html lang=\"en\">"));
    EXPECT_THAT(html, HasSubstr(HtmlEscape(GetMessageText(IDS_CLI_REPORT_CAUSE_CHART))));
    EXPECT_THAT(html, HasSubstr(HtmlEscape(GetMessageText(IDS_CLI_REPORT_GROUP_CHART))));
  }
}

}  // namespace
}  // namespace mervix::cli
