// mervix-cli report: what a roll-out did, read back from its --record file:
// the latest run of every device counted by cause and by group, with the
// durations and the devices not finished; on request as CSV and as one
// HTML page as well.
#include "cli/Commands.h"
#include "cli/support/RolloutReport.h"
#include "resources/CommandLineMessages.h"
#include "resources/FileAccess.h"
#include "resources/MessageTable.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace mervix::cli {
namespace {

constexpr char kUsage[] = "report FILE [--csv OUT] [--html OUT]";

constexpr char kHelp[] =
    "Reads the record FILE that --record appends to (one JSON object per device\n"
    "run) and prints what the roll-out did: the devices, finished and not, the\n"
    "counts by cause and by group, the median and the slowest duration, and each\n"
    "device not finished with its cause. A device's latest line counts: a device\n"
    "run again is reported by its last run. A line that is not a device's run (one\n"
    "cut short by a crash, say) is skipped with a warning naming its line.\n\n"
    "  --csv OUT    also write one row per device as CSV (UTF-8 with a byte order\n"
    "               mark, CR LF line ends, RFC 4180 quoting), the inventory's\n"
    "               extra fields as the last columns\n"
    "  --html OUT   also write one self-contained HTML page: the summary, bars by\n"
    "               cause and by group, and a table of the devices sorted by\n"
    "               clicking its column headings\n\n"
    "Exit status: 0 every device's latest run finished; 1 some device did not\n"
    "finish, or the record holds no device run; 2 usage error; 7 the record cannot\n"
    "be read or an output cannot be written.\n";

int Fail(const std::string& text) {
  std::fprintf(stderr, "mervix-cli report: %s\n", text.c_str());
  return kExitInput;
}

int UsageError(const std::string& what) {
  std::fprintf(stderr, "mervix-cli report: %s\nusage: mervix-cli %s\n", what.c_str(), kUsage);
  return kExitUsage;
}

// Writes one output whole (the old file stays until the new one is
// complete), never over the record itself.
bool WriteOutput(const InputFile& record, const std::string& path, const std::string& contents, std::string* reason) {
  const FileStatus checked = CheckOutputPath(record, path);
  if (!checked.ok()) {
    *reason = checked.reason;
    return false;
  }
  const FileStatus written =
      ReplaceFileContents(path, reinterpret_cast<const std::uint8_t*>(contents.data()), contents.size());
  if (!written.ok()) {
    *reason = written.reason;
    return false;
  }
  return true;
}

int Run(const std::vector<std::string>& args) {
  CLI::App app("", "mervix-cli report");
  app.set_help_flag("-h,--help");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  std::string recordPath, csvPath, htmlPath;
  CLI::Option* file = app.add_option("FILE", recordPath)->type_name("FILE");
  CLI::Option* csv = app.add_option("--csv", csvPath)->type_name("OUT");
  CLI::Option* html = app.add_option("--html", htmlPath)->type_name("OUT");
  // CLI11 takes its arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    std::printf("usage: mervix-cli %s\n\n%s", kUsage, kHelp);
    return kExitSuccess;
  } catch (const CLI::ExtrasError&) {
    const std::vector<std::string> extra = app.remaining();
    return UsageError("unexpected argument '" + (extra.empty() ? std::string() : extra.front()) + "'");
  } catch (const CLI::ParseError& e) {
    return UsageError(e.what());
  }
  if (file->count() == 0 || recordPath.empty()) return UsageError("missing FILE");
  if ((csv->count() > 0 && csvPath.empty()) || (html->count() > 0 && htmlPath.empty())) {
    return UsageError("an output file name is empty");
  }
  if (!csvPath.empty() && csvPath == htmlPath) return UsageError("--csv and --html name the same file");
  SetActiveLanguage(LanguageFromEnvironment());

  InputFile input;
  RolloutRecords records;
  std::string reason;
  if (!ReadRolloutRecordFile(recordPath, &input, &records, &reason)) {
    return Fail(FormatCommandLineText(IDS_CLI_REPORT_UNREADABLE, {reason}));
  }
  for (std::size_t line : records.skippedLines) {
    std::fprintf(stderr, "mervix-cli report: %s\n",
                 FormatCommandLineText(IDS_CLI_REPORT_SKIPPED, {recordPath, std::to_string(line)}).c_str());
  }
  const RolloutSummary summary = SummarizeRollout(records);
  std::fputs(RolloutText(records, summary, recordPath).c_str(), stdout);
  std::fflush(stdout);

  const std::pair<const std::string*, std::string> outputs[] = {
      {&csvPath, csvPath.empty() ? std::string() : RolloutCsv(records)},
      {&htmlPath, htmlPath.empty() ? std::string() : RolloutHtml(records, summary, recordPath)}};
  for (const auto& [path, contents] : outputs) {
    if (path->empty()) continue;
    if (!WriteOutput(input, *path, contents, &reason)) {
      return Fail(FormatCommandLineText(IDS_CLI_REPORT_UNWRITABLE, {reason}));
    }
    std::fprintf(stderr, "%s\n", FormatCommandLineText(IDS_CLI_REPORT_WRITTEN, {*path}).c_str());
  }
  return summary.AllFinished() ? kExitSuccess : kExitFailure;
}

const CommandRegistration reg({"report", kUsage, "summarize a roll-out from its --record file, as text, CSV or HTML",
                               &Run});

}  // namespace
}  // namespace mervix::cli
