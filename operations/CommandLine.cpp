#include "operations/CommandLine.h"

#include "image/HexText.h"
#include "resources/MessageTable.h"

#include <unistd.h>

namespace mervix {
namespace {

// One line from |in| without its line end; false at the end of input with
// nothing read.
bool ReadAnswerLine(std::FILE* in, std::string* line) {
  line->clear();
  bool any = false;
  for (int c = std::fgetc(in); c != EOF; c = std::fgetc(in)) {
    any = true;
    if (c == '\n') break;
    line->push_back(static_cast<char>(c));
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return any;
}

}  // namespace

OptionsParse ParseOperationArguments(OperationCommand command, const std::vector<std::string>& args,
                                     OperationCommandOptions* options, std::string* error) {
  *options = OperationCommandOptions();
  const bool download = command == OperationCommand::Download;
  const std::string addressOption = download ? "--base-address" : "--address";
  OptionSet known;
  if (download) known.flags = {"--compress", "--korvane"};
  known.valued = {"--host", "--port", addressOption, "--settings", "--work-dir", "--timeout"};
  bool haveHost = false;
  const OptionHandler handle = [&](const std::string& name, const std::string& value, std::string* reason) {
    if (name == "--compress") {
      options->compress = true;
    } else if (name == "--korvane") {
      options->korvane = true;
    } else if (name == "--host") {
      options->host = value;
      haveHost = !value.empty();
    } else if (name == "--port") {
      std::uint32_t port = 0;
      if (!ParsePortNumber(value, &port)) {
        *reason = "bad port '" + value + "' (0 to 65535)";
        return false;
      }
      options->port = port;
    } else if (name == addressOption) {
      // The operations convert only the first 15 characters of an address
      // text; a longer one given here would silently stand for another
      // address, so the command line refuses it.
      if (value.size() > kAddressTextLimit) {
        *reason = "address text '" + value + "' is longer than " + std::to_string(kAddressTextLimit) +
                  " characters; only the first " + std::to_string(kAddressTextLimit) + " would count";
        return false;
      }
      options->address = value;
    } else if (name == "--settings") {
      if (value.empty()) {
        *reason = "the settings file name is empty";
        return false;
      }
      options->settingsFile = value;
    } else if (name == "--work-dir") {
      if (value.empty()) {
        *reason = "the work folder name is empty";
        return false;
      }
      options->workDirectory = value;
    } else if (!ParseTimeoutSeconds(value, &options->timeoutMs)) {
      *reason = "bad time-out '" + value + "' (seconds, more than 0)";
      return false;
    }
    return true;
  };
  ScannedArguments scanned;
  const OptionsParse scan = ScanArguments(args, known, handle, &scanned, error);
  options->assumeYes = scanned.assumeYes;
  options->file = scanned.file;
  if (scan != OptionsParse::Ok) return scan;
  if (!download && !haveHost) {
    *error = "missing --host HOST";
    return OptionsParse::Usage;
  }
  if (!download && !options->address) {
    *error = "missing --address HEX";
    return OptionsParse::Usage;
  }
  if (!scanned.haveFile) {
    *error = "missing FILE";
    return OptionsParse::Usage;
  }
  return OptionsParse::Ok;
}

CommandLineOperator::CommandLineOperator(Operator& terminal, ControlValues controls, std::string file,
                                         std::optional<std::string> address, std::FILE* in, std::FILE* err)
    : terminal_(terminal),
      controls_(std::move(controls)),
      file_(std::move(file)),
      address_(std::move(address)),
      in_(in),
      err_(err) {}

Answer CommandLineOperator::ShowMessageBox(const std::string& text, ButtonSet buttons) {
  lastBox_ = text;
  return terminal_.ShowMessageBox(text, buttons);
}

bool CommandLineOperator::ReadControls(ControlValues& values) {
  // The options were checked when they were parsed.
  values = controls_;
  return true;
}

std::optional<std::string> CommandLineOperator::ChooseFileToOpen() { return file_; }

std::optional<std::string> CommandLineOperator::AskBaseAddress(const std::string& preset) {
  if (address_) return address_;
  // As the dialog: the preset stands until something else is typed.
  std::fprintf(err_, "Please enter the base address in hexadecimal [%s]: ", preset.c_str());
  std::fflush(err_);
  std::string line;
  if (in_ == nullptr || !ReadAnswerLine(in_, &line)) {
    std::fprintf(err_, "\n");
    std::fflush(err_);
    return std::nullopt;
  }
  if (!isatty(fileno(in_))) {
    std::fprintf(err_, "%s\n", line.c_str());
    std::fflush(err_);
  }
  return line.empty() ? preset : line;
}

bool OpenCommandSettings(const OperationCommandOptions& options, MemorySettingsStore* store, std::string* error) {
  if (!options.settingsFile.empty() && !store->Open(options.settingsFile, error)) return false;
  if (options.korvane) store->Preset(kSettingsSection, setting_key::kKorvane, "1");
  return true;
}

int CompleteCommandRun(DownloadOperations& ops, const PreparationResult& prepared, const WaitAndDispatch& wait,
                       int timeoutMs, const CommandLineOperator& op, const char* command, std::FILE* err) {
  if (!prepared.started()) {
    std::fprintf(err, "mervix-cli %s: %s\n", command, prepared.reason.c_str());
    return 1;
  }
  // The event loop: one response at a time until the run has ended.
  ProtocolSession& session = ops.Session();
  while (session.HasConnection()) {
    const LoopWait w = wait(timeoutMs > 0 ? timeoutMs : -1);
    if (w == LoopWait::TimedOut) {
      session.AbandonRun();
      std::fprintf(err, "mervix-cli %s: no response from the device within %g seconds\n", command,
                   timeoutMs / 1000.0);
      return 1;
    }
    if (w == LoopWait::NoConnection) break;
  }
  switch (session.LastOutcome()) {
    case RunOutcome::Finished:
      return 0;
    case RunOutcome::Cancelled:
      std::fprintf(err, "mervix-cli %s: cancelled at the confirmation\n", command);
      return 1;
    default:
      std::fprintf(err, "mervix-cli %s: the run failed: %s\n", command,
                   op.LastBoxText().empty() ? "the connection ended" : op.LastBoxText().c_str());
      return 1;
  }
}

}  // namespace mervix
