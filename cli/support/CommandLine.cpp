#include "cli/support/CommandLine.h"

#include "cli/support/Console.h"
#include "image/HexText.h"
#include "operations/SettingsStore.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <functional>

namespace mervix::cli {
namespace {

// A time given in seconds beyond this is taken as this (about 24 days, the
// range of a millisecond count in an int).
constexpr double kMaxSeconds = 2000000.0;

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

// Reads an option's text into its field: "" when it is good, else why not.
using ValueReader = std::function<std::string(const std::string& text)>;

ValueReader NonEmptyReader(const char* what, std::string* field) {
  return [what, field](const std::string& text) -> std::string {
    if (text.empty()) return std::string("the ") + what + " is empty";
    *field = text;
    return "";
  };
}

// The parser every run command starts from: CLI11 with the options all three
// share. Each command adds its own, then calls Parse.
class CommandParser {
 public:
  explicit CommandParser(RunOptions* options) : app_("", "mervix-cli"), options_(options) {
    app_.set_help_flag("-h,--help");
    // A repeated option: the last one counts (a script may append to a
    // command line it was given).
    app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app_.add_flag("-y,--yes", options->assumeYes);
    Value("--timeout", "SECONDS", [options](const std::string& text) {
      return ParseSeconds(text, true, &options->timeoutMs) ? ""
                                                          : "bad time-out '" + text + "' (seconds, 0 for none)";
    });
    Value("--retries", "N", [options](const std::string& text) -> std::string {
      if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) {
        return "bad retry count '" + text + "' (0 to 999)";
      }
      options->retries = std::atoi(text.c_str());
      return "";
    });
    Value("--progress", "WHEN", [options](const std::string& text) -> std::string {
      if (text == "auto") {
        options->progress = ProgressMode::Auto;
      } else if (text == "always") {
        options->progress = ProgressMode::Always;
      } else if (text == "never") {
        options->progress = ProgressMode::Never;
      } else {
        return "bad progress mode '" + text + "' (auto, always or never)";
      }
      return "";
    });
    app_.add_flag("--json", options->json);
    Value("--switch-pause", "SECONDS", [options](const std::string& text) {
      return ParseSeconds(text, true, &options->switchPauseMs) ? "" : "bad pause '" + text + "' (seconds, 0 or more)";
    });
    // A fleet: the devices beyond --host, and how it runs.
    Value("--hosts", "FILE", NonEmptyReader("hosts file", &options->hostsFile));
    Value("--record", "FILE", NonEmptyReader("record file", &options->recordFile));
    Value("--jobs", "N", [options](const std::string& text) -> std::string {
      if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos ||
          std::atoi(text.c_str()) == 0) {
        return "bad job count '" + text + "' (1 to 9999)";
      }
      options->jobs = std::atoi(text.c_str());
      return "";
    });
    // A roll-out and its rails.
    Value("--inventory", "FILE", NonEmptyReader("inventory file", &options->inventoryFile));
    Value("--canary", "N", [options](const std::string& text) -> std::string {
      if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
          std::atoi(text.c_str()) == 0) {
        return "bad canary count '" + text + "' (1 to 99999)";
      }
      options->canary = static_cast<std::size_t>(std::atoi(text.c_str()));
      return "";
    });
    Value("--wave-pause", "SECONDS", [options](const std::string& text) {
      return ParseSeconds(text, true, &options->wavePauseMs) ? "" : "bad pause '" + text + "' (seconds, 0 or more)";
    });
    Value("--max-failures", "N|P%", [options](const std::string& text) -> std::string {
      const bool percent = !text.empty() && text.back() == '%';
      const std::string number = percent ? text.substr(0, text.size() - 1) : text;
      int ms = 0;  // a number with at most one decimal point, read as seconds are
      if (number.empty() || number.size() > 6 || (!percent && number.find('.') != std::string::npos) ||
          !ParseSeconds(number, false, &ms) || (percent && ms > 100000)) {
        return "bad failure budget '" + text + "' (a count of 1 or more, or a percentage above 0 up to 100%)";
      }
      options->maxFailures = percent ? 0 : static_cast<std::size_t>(ms / 1000);
      options->maxFailuresPercent = percent ? ms / 1000.0 : 0;
      return "";
    });
    Value("--expect-sha256", "HEX", [options](const std::string& text) -> std::string {
      if (text.size() != 64 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return "bad SHA-256 '" + text + "' (64 hexadecimal digits)";
      }
      options->expectSha256 = text;
      std::transform(options->expectSha256.begin(), options->expectSha256.end(), options->expectSha256.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      return "";
    });
    Value("--resume", "FILE", NonEmptyReader("record file", &options->resumeFile));
    Value("--only-failed", "FILE", NonEmptyReader("record file", &options->onlyFailedFile));
    app_.add_flag("--plan", options->plan);
    Value("--await-return", "SECONDS", [options](const std::string& text) {
      return ParseSeconds(text, false, &options->awaitReturnMs) ? ""
                                                                 : "bad wait '" + text + "' (seconds, more than 0)";
    });
    // Read back from the results as given: CLI11 would turn a single empty
    // argument into no file at all.
    file_ = app_.add_option("FILE", files_)->type_name("FILE");
  }

  // An option with a value; |read| checks the text and stores it.
  CLI::Option* Value(const std::string& name, const std::string& typeName, ValueReader read) {
    CLI::Option* option = app_.add_option(name)->type_name(typeName);
    option->check(CLI::Validator([read](std::string& text) { return read(text); }, ""));
    return option;
  }
  CLI::Option* Flag(const std::string& name, bool* value) { return app_.add_flag(name, *value); }

  OptionsParse Parse(const std::vector<std::string>& args, std::string* file, std::string* error) {
    // CLI11 reads "--name=" as "--name" with the next argument as its value;
    // an empty value is meant, so an option that takes one gets it as a
    // separate empty argument. CLI11 also takes its arguments last first.
    std::vector<std::string> reversed;
    bool optionsEnded = false;
    for (const std::string& arg : args) {
      if (arg == "--") optionsEnded = true;
      const std::string name = arg.substr(0, arg.size() - 1);
      const CLI::Option* option = !optionsEnded && arg.size() > 3 && arg.compare(0, 2, "--") == 0 &&
                                          arg.find('=') == arg.size() - 1
                                      ? app_.get_option_no_throw(name)
                                      : nullptr;
      if (option && option->get_items_expected_min() > 0) {
        reversed.push_back(name);
        reversed.emplace_back();
      } else {
        reversed.push_back(arg);
      }
    }
    std::reverse(reversed.begin(), reversed.end());
    try {
      app_.parse(reversed);
    } catch (const CLI::CallForHelp&) {
      return OptionsParse::Help;
    } catch (const CLI::ExtrasError&) {
      const std::vector<std::string> extra = app_.remaining();
      *error = "unknown option '" + (extra.empty() ? std::string() : extra.front()) + "'";
      return OptionsParse::Usage;
    } catch (const CLI::ArgumentMismatch& e) {
      // "--host: 1 required HOST missing": the value is missing at the end.
      const std::string what = e.what();
      const std::size_t colon = what.find(':');
      *error = colon == std::string::npos ? what : "option " + what.substr(0, colon) + " needs a value";
      return OptionsParse::Usage;
    } catch (const CLI::ParseError& e) {
      *error = e.what();
      return OptionsParse::Usage;
    }
    const std::vector<std::string>& files = file_->results();
    if (files.size() > 1) {
      *error = "more than one file: '" + files[0] + "' and '" + files[1] + "'";
      return OptionsParse::Usage;
    }
    // An inventory may name every device's file itself.
    if (files.empty() && options_->inventoryFile.empty()) {
      *error = "missing FILE";
      return OptionsParse::Usage;
    }
    if (!options_->resumeFile.empty() && !options_->onlyFailedFile.empty()) {
      *error = "--resume and --only-failed exclude each other";
      return OptionsParse::Usage;
    }
    if (!options_->resumeFile.empty() && !options_->recordFile.empty() &&
        options_->recordFile != options_->resumeFile) {
      *error = "--resume appends to its own file: --record names another";
      return OptionsParse::Usage;
    }
    *file = files.empty() ? std::string() : files.front();
    return OptionsParse::Ok;
  }

 private:
  CLI::App app_;
  RunOptions* options_;
  std::vector<std::string> files_;
  CLI::Option* file_ = nullptr;
};

// A port option: |lowest| is 1 for send, 0 for the operations (where 0 is
// the operator's input that message 104 answers).
ValueReader PortReader(std::uint32_t lowest, const std::function<void(std::uint32_t)>& store) {
  return [lowest, store](const std::string& text) -> std::string {
    std::uint32_t port = 0;
    if (!ParsePortNumber(text, &port) || port < lowest) {
      return "bad port '" + text + "' (" + std::to_string(lowest) + " to 65535)";
    }
    store(port);
    return "";
  };
}

// A --host option: a device address, kept as the last one in |last| and in
// order in the fleet's hosts. |emptyAllowed|: an empty text is kept as an
// empty host, for the operation to refuse, and is no device of a fleet.
ValueReader HostReader(bool emptyAllowed, RunOptions* options, DeviceAddress* last) {
  return [emptyAllowed, options, last](const std::string& text) -> std::string {
    if (text.empty()) {
      if (!emptyAllowed) return "the host is empty";
      *last = DeviceAddress();
      return "";
    }
    DeviceAddress address;
    std::string why;
    if (!ParseDeviceAddress(text, &address, &why)) return "bad host '" + text + "': " + why;
    *last = address;
    options->hosts.push_back(address);
    return "";
  };
}

}  // namespace

OptionsParse ParseSendArguments(const std::vector<std::string>& args, SendOptions* options, std::string* error) {
  *options = SendOptions();
  CommandParser parser(options);
  // Every value is checked (and kept, in order) before the last one counts.
  CLI::Option* host = parser.Value("--host", "HOST", HostReader(false, options, &options->device));
  parser.Value("--port", "PORT",
               PortReader(1, [options](std::uint32_t port) { options->port = static_cast<std::uint16_t>(port); }));
  const OptionsParse parsed = parser.Parse(args, &options->file, error);
  if (parsed != OptionsParse::Ok) return parsed;
  if (host->count() == 0 && options->hostsFile.empty() && options->inventoryFile.empty()) {
    *error = "missing --host HOST";
    return OptionsParse::Usage;
  }
  return OptionsParse::Ok;
}

OptionsParse ParseOperationArguments(OperationCommand command, const std::vector<std::string>& args,
                                     OperationCommandOptions* options, std::string* error) {
  *options = OperationCommandOptions();
  const bool download = command != OperationCommand::Module;
  CommandParser parser(options);
  if (command == OperationCommand::Station) {
    parser.Value("--gone", "SECONDS", [options](const std::string& text) -> std::string {
      if (!ParseSeconds(text, false, &options->goneMs)) return "bad gone time '" + text + "' (seconds, more than 0)";
      return "";
    });
    parser.Value("--units", "N", [options](const std::string& text) -> std::string {
      if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
          std::atoi(text.c_str()) == 0) {
        return "bad unit count '" + text + "' (1 to 999999999)";
      }
      options->units = static_cast<std::uint64_t>(std::atoi(text.c_str()));
      return "";
    });
  }
  if (download) {
    parser.Flag("--compress", &options->compress);
    parser.Flag("--korvane", &options->korvane);
  }
  // An empty host is the operator's input for message 102 in a download;
  // the module command needs one.
  parser.Value("--host", "HOST", HostReader(true, options, &options->device));
  parser.Value("--port", "PORT", PortReader(0, [options](std::uint32_t port) { options->port = port; }));
  // The operations convert only the first 15 characters of an address text;
  // a longer one given here would silently stand for another address, so
  // the command line refuses it.
  parser.Value(download ? "--base-address" : "--address", "HEX", [options](const std::string& text) -> std::string {
    if (text.size() > kAddressTextLimit) {
      return "address text '" + text + "' is longer than " + std::to_string(kAddressTextLimit) +
             " characters; only the first " + std::to_string(kAddressTextLimit) + " would count";
    }
    options->address = text;
    return "";
  });
  parser.Value("--settings", "FILE", NonEmptyReader("settings file name", &options->settingsFile));
  parser.Value("--work-dir", "DIR", NonEmptyReader("work folder name", &options->workDirectory));
  const OptionsParse parsed = parser.Parse(args, &options->file, error);
  if (parsed != OptionsParse::Ok) return parsed;
  if (!download && options->device.host.empty() && options->hostsFile.empty() && options->inventoryFile.empty()) {
    *error = "missing --host HOST";
    return OptionsParse::Usage;
  }
  if (!download && !options->address && options->inventoryFile.empty()) {
    *error = "missing --address HEX";
    return OptionsParse::Usage;
  }
  if (command == OperationCommand::Station) {
    if (options->hosts.empty() && options->hostsFile.empty() && options->inventoryFile.empty()) {
      *error = "missing --host HOST: every slot is one";
      return OptionsParse::Usage;
    }
    // A station writes every new unit; the rails of a roll-out over known
    // devices do not apply to it.
    const char* rail = options->canary > 0                                        ? "--canary"
                       : options->maxFailures > 0 || options->maxFailuresPercent > 0 ? "--max-failures"
                       : !options->resumeFile.empty()                              ? "--resume"
                       : !options->onlyFailedFile.empty()                          ? "--only-failed"
                       : options->plan                                            ? "--plan"
                       : options->wavePauseMs > 0                                  ? "--wave-pause"
                       : options->awaitReturnMs > 0                                ? "--await-return"
                                                                                   : nullptr;
    if (rail != nullptr) {
      *error = std::string(rail) + " is a roll-out's: a station takes every unit that comes";
      return OptionsParse::Usage;
    }
  }
  return OptionsParse::Ok;
}

bool ParseSeconds(const std::string& text, bool zeroAllowed, int* milliseconds) {
  bool point = false;
  bool digit = false;
  for (char c : text) {
    if (c == '.' && !point) {
      point = true;
    } else if (c >= '0' && c <= '9') {
      digit = true;
    } else {
      return false;
    }
  }
  if (!digit) return false;
  const double seconds = std::min(std::strtod(text.c_str(), nullptr), kMaxSeconds);
  const long ms = std::lround(seconds * 1000.0);
  if (ms < 0 || (ms == 0 && !zeroAllowed)) return false;
  *milliseconds = static_cast<int>(ms);
  return true;
}

std::optional<std::string> AskBaseAddressOnTerminal(const std::string& preset, std::FILE* in, std::FILE* err) {
  // As the dialog: the preset stands until something else is typed.
  std::fprintf(err, "Please enter the base address in hexadecimal [%s]: ", preset.c_str());
  std::fflush(err);
  std::string line;
  if (in == nullptr || !ReadAnswerLine(in, &line)) {
    std::fprintf(err, "\n");
    std::fflush(err);
    return std::nullopt;
  }
  if (!IsTerminal(in)) {
    std::fprintf(err, "%s\n", line.c_str());
    std::fflush(err);
  }
  return line.empty() ? preset : line;
}

bool OpenCommandSettings(const OperationCommandOptions& options, MemorySettingsStore* store, std::string* error) {
  if (!options.settingsFile.empty() && !store->Open(options.settingsFile, error)) return false;
  if (options.korvane) store->Preset(kSettingsSection, setting_key::kKorvane, "1");
  return true;
}

}  // namespace mervix::cli
