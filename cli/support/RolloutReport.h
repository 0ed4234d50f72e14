// The report of a roll-out from its --record file: the latest run of each
// device read back from the JSON lines, counted by cause and by group, with
// the durations, and written as text for the terminal, as CSV for
// spreadsheets and as one self-contained HTML page. No process, file or
// terminal here but for ReadRolloutRecordFile: "mervix-cli report" and the
// tests call the same functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mervix {
class InputFile;
}

namespace mervix::cli {

// The latest run of one device, as its record line holds it. Fields a line
// lacks (older records) stay empty; the cause of a line without one is
// derived from its outcome and exit code.
struct DeviceRun {
  std::string device;  // "host:port", what identifies the device
  std::optional<std::string> name;
  std::optional<std::string> group;
  std::string outcome;  // "finished", "failed", ..., "not_started"; empty when absent
  std::string cause;    // as recorded, or DeriveCause
  std::optional<int> exitCode;
  std::string command;
  std::string image;
  std::string sha256;
  std::string version;  // "1.02"; empty when null
  std::string start;    // UTC text as recorded; empty for a device not started
  std::optional<std::int64_t> durationMs;
  std::optional<std::int64_t> returnMs;
  std::optional<int> retriesUsed;
  std::string failureText;  // failure.text; empty without a failure
  std::map<std::string, std::string> fields;  // the inventory's extra columns
  std::size_t line = 0;  // its line in the record, from 1

  bool Finished() const { return cause == "finished"; }
  bool Started() const { return outcome != "not_started" && cause != "budget"; }
  // The device as the operator knows it: "name (host:port)", or host:port.
  std::string Label() const;
};

// What a record file holds: the latest run of each device, in the order in
// which the devices first appear, and the lines that were skipped.
struct RolloutRecords {
  std::vector<DeviceRun> devices;
  std::size_t runs = 0;                  // lines read as runs, every device's every run
  std::vector<std::size_t> skippedLines;  // not the record of a device run, from 1
};

// The cause of a record written before records named theirs: "finished"
// for a finished outcome, "budget" for a device not started, else by the
// exit code (1 refused, 2 usage, 3 connect, 4 link, 5 stopped, 6 timeout,
// 7 input, 8 unknown, anything else or none: failure).
std::string DeriveCause(const std::string& outcome, std::optional<int> exitCode);

// Reads the JSON lines of a record. A later line of a device replaces its
// earlier one. A line that is not a JSON object naming its device (a line
// cut by a crash, say) is skipped and its number kept; blank lines are
// ignored. A UTF-8 byte order mark and CR line ends are taken as they come.
RolloutRecords ParseRolloutRecords(const std::string& text);

// Opens the record file at |path| into |input| and reads it; false with the
// reason when it cannot be opened or read. |input| stays open, so that the
// outputs can be checked against it.
bool ReadRolloutRecordFile(const std::string& path, InputFile* input, RolloutRecords* records, std::string* reason);

// The causes in the order they are reported: the most serious first after
// "finished", as the fleet's exit code ranks them. A cause not in this list
// (from a newer record) follows them, by name.
const std::vector<std::string>& KnownCauses();

// The operator's text of a cause in the active language; an unknown cause is
// shown as it is.
std::string CauseText(const std::string& cause);

struct CauseCount {
  std::string cause;
  std::size_t devices = 0;
};

struct GroupCount {
  std::optional<std::string> group;  // absent: the devices that name none
  std::size_t devices = 0;
  std::size_t finished = 0;
};

// The median and the longest of one kind of time over the devices that
// have it; the longest names its device (the first one of that time).
struct TimeStats {
  std::size_t count = 0;
  std::int64_t medianMs = 0;  // of an even count: the mean of the middle two, rounded down
  std::int64_t longestMs = 0;
  std::size_t longestIndex = 0;  // into RolloutRecords::devices
};

struct RolloutSummary {
  std::size_t devices = 0;
  std::size_t finished = 0;
  std::vector<CauseCount> causes;  // only causes that occur, in KnownCauses order
  bool hasGroups = false;          // some device names a group
  std::vector<GroupCount> groups;  // by name; the devices without one last
  TimeStats duration;              // duration_ms of the devices that started
  TimeStats returnTime;            // return_ms where it is recorded
  std::vector<std::size_t> notFinished;  // indexes into RolloutRecords::devices, in order
  std::string firstStart, lastStart;     // the earliest and the latest start text; empty without any

  std::size_t NotFinished() const { return devices - finished; }
  // Every device's latest run finished, and there was at least one.
  bool AllFinished() const { return devices > 0 && finished == devices; }
};

RolloutSummary SummarizeRollout(const RolloutRecords& records);

// "12.3 s" in the active language; one decimal.
std::string SecondsText(std::int64_t ms);

// The report for the terminal, in the active language; |recordName| names
// the record in its first line.
std::string RolloutText(const RolloutRecords& records, const RolloutSummary& summary, const std::string& recordName);

// One CSV field as RFC 4180 quotes it: in double quotes, with each quote
// doubled, when it holds a comma, a quote, CR or LF; else as it is.
std::string CsvField(const std::string& text);

// The CSV file: a UTF-8 byte order mark, a heading of ASCII column keys,
// one row per device in the order of the records, every line ending in
// CR LF. Columns: device, name, group, outcome, cause, exit_code, image,
// sha256, version, start, duration_ms, return_ms, retries_used,
// failure_text, then every extra field any device has, sorted by name (one
// that repeats a column above gets "field_" in front).
std::string RolloutCsv(const RolloutRecords& records);

// |text| with &, <, >, " and ' as character references: safe in element
// content and in quoted attribute values.
std::string HtmlEscape(const std::string& text);

// The HTML page: the summary, bars of the devices by cause and by group,
// and a table of every device sortable by its column headings. Styles and
// the sorting script are inline; nothing is fetched. |recordName| names the
// record in the page.
std::string RolloutHtml(const RolloutRecords& records, const RolloutSummary& summary, const std::string& recordName);

}  // namespace mervix::cli
