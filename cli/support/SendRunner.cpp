#include "cli/support/SendRunner.h"

#include "cli/Commands.h"
#include "cli/support/PosixDeviceLink.h"
#include "cli/support/TerminalOperator.h"
#include "protocol/Session.h"
#include "resources/LogPane.h"
#include "resources/MessageTable.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace mervix::cli {
namespace {

constexpr std::uint64_t kMaxImageLength = 0xFFFFFFFFull;  // the size request carries 32 bits
// A time-out beyond this is taken as this (about 24 days, the range of poll's int).
constexpr double kMaxTimeoutSeconds = 2000000.0;

bool ParsePort(const std::string& text, std::uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

bool ParseSeconds(const std::string& text, int* milliseconds) {
  if (text.empty()) return false;
  // Digits with at most one decimal point; no sign, exponent or blank.
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
  double seconds = std::strtod(text.c_str(), nullptr);
  if (seconds > kMaxTimeoutSeconds) seconds = kMaxTimeoutSeconds;
  const long ms = std::lround(seconds * 1000.0);
  if (ms <= 0) return false;
  *milliseconds = static_cast<int>(ms);
  return true;
}

}  // namespace

ParseResult ParseSendArguments(const std::vector<std::string>& args, SendOptions* options, std::string* error) {
  *options = SendOptions();
  bool haveHost = false;
  bool haveFile = false;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      if (haveFile) {
        *error = "more than one file: '" + options->file + "' and '" + arg + "'";
        return ParseResult::Usage;
      }
      options->file = arg;
      haveFile = true;
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") return ParseResult::Help;
    if (arg == "--yes" || arg == "-y") {
      options->assumeYes = true;
      continue;
    }
    // Options with a value: "--name value" or "--name=value".
    std::string name = arg;
    std::string value;
    bool haveValue = false;
    const std::size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      haveValue = true;
    }
    if (name != "--host" && name != "--port" && name != "--timeout") {
      *error = "unknown option '" + arg + "'";
      return ParseResult::Usage;
    }
    if (!haveValue) {
      if (i + 1 >= args.size()) {
        *error = "option " + name + " needs a value";
        return ParseResult::Usage;
      }
      value = args[++i];
    }
    if (name == "--host") {
      if (value.empty()) {
        *error = "the host is empty";
        return ParseResult::Usage;
      }
      options->host = value;
      haveHost = true;
    } else if (name == "--port") {
      if (!ParsePort(value, &options->port)) {
        *error = "bad port '" + value + "' (1 to 65535)";
        return ParseResult::Usage;
      }
    } else if (!ParseSeconds(value, &options->timeoutMs)) {
      *error = "bad time-out '" + value + "' (seconds, more than 0)";
      return ParseResult::Usage;
    }
  }
  if (!haveHost) {
    *error = "missing --host HOST";
    return ParseResult::Usage;
  }
  if (!haveFile) {
    *error = "missing FILE";
    return ParseResult::Usage;
  }
  return ParseResult::Ok;
}

int RunSend(const SendOptions& options, std::FILE* in, std::FILE* out, std::FILE* err) {
  // The image: sent as it is, path and length as given.
  struct stat st {};
  std::FILE* probe = std::fopen(options.file.c_str(), "rb");
  if (!probe) {
    std::fprintf(err, "mervix-cli send: cannot open %s: %s\n", options.file.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  const int statResult = fstat(fileno(probe), &st);
  const int statErrno = errno;
  std::fclose(probe);
  if (statResult != 0) {
    std::fprintf(err, "mervix-cli send: cannot examine %s: %s\n", options.file.c_str(), std::strerror(statErrno));
    return kExitFailure;
  }
  if (!S_ISREG(st.st_mode)) {
    std::fprintf(err, "mervix-cli send: %s is not a regular file\n", options.file.c_str());
    return kExitFailure;
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxImageLength) {
    std::fprintf(err, "mervix-cli send: %s is too large (%llu bytes; at most 4294967295)\n", options.file.c_str(),
                 static_cast<unsigned long long>(st.st_size));
    return kExitFailure;
  }

  TerminalOperator op(in, out, err, options.assumeYes);
  LogPane log([&op](const std::string&, const std::string& appended) { op.PrintLog(appended); });
  PosixDeviceLink link;
  link.SetConnectTimeoutMs(options.timeoutMs);
  ProtocolSession session(link, op, log);

  // What the firmware operation does before the session takes over.
  log.ClearLog();
  op.SetDownloadEnabled(false);
  session.SetUserModuleFlag(false);
  session.SetImage(options.file, static_cast<std::uint32_t>(st.st_size));
  if (!session.ConnectDevice(options.host, options.port)) {
    op.ShowMessageBox(FormatMessageText(IDS_ERROR_CONNECT), ButtonSet::Ok);
    op.SetDownloadEnabled(true);
    std::fprintf(err, "mervix-cli send: cannot connect to %s port %u: %s\n", options.host.c_str(),
                 static_cast<unsigned>(options.port), session.LastConnectError().c_str());
    return kExitFailure;
  }
  session.SendStatusQuery();

  // The event loop: one response at a time until the run has ended.
  while (session.HasConnection()) {
    const PosixDeviceLink::Dispatch d = link.WaitAndDispatch(options.timeoutMs > 0 ? options.timeoutMs : -1);
    if (d == PosixDeviceLink::Dispatch::TimedOut) {
      session.AbandonRun();
      std::fprintf(err, "mervix-cli send: no response from the device within %g seconds\n",
                   options.timeoutMs / 1000.0);
      return kExitFailure;
    }
    if (d == PosixDeviceLink::Dispatch::NoConnection) break;
  }

  switch (session.LastOutcome()) {
    case RunOutcome::Finished:
      return kExitSuccess;
    case RunOutcome::Cancelled:
      std::fprintf(err, "mervix-cli send: cancelled at the confirmation\n");
      return kExitFailure;
    default:
      // The box printed above says why.
      return kExitFailure;
  }
}

}  // namespace mervix::cli
