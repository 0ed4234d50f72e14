#include "cli/support/SendRunner.h"

#include "cli/Commands.h"
#include "cli/support/PosixDeviceLink.h"
#include "cli/support/TerminalOperator.h"
#include "protocol/Session.h"
#include "resources/LogPane.h"
#include "resources/MessageTable.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace mervix::cli {
namespace {

constexpr std::uint64_t kMaxImageLength = 0xFFFFFFFFull;  // the size request carries 32 bits

}  // namespace

ParseResult ParseSendArguments(const std::vector<std::string>& args, SendOptions* options, std::string* error) {
  *options = SendOptions();
  bool haveHost = false;
  OptionSet known;
  known.valued = {"--host", "--port", "--timeout"};
  const OptionHandler handle = [&](const std::string& name, const std::string& value, std::string* reason) {
    if (name == "--host") {
      if (value.empty()) {
        *reason = "the host is empty";
        return false;
      }
      options->host = value;
      haveHost = true;
    } else if (name == "--port") {
      std::uint32_t port = 0;
      if (!ParsePortNumber(value, &port) || port == 0) {
        *reason = "bad port '" + value + "' (1 to 65535)";
        return false;
      }
      options->port = static_cast<std::uint16_t>(port);
    } else if (!ParseTimeoutSeconds(value, &options->timeoutMs)) {
      *reason = "bad time-out '" + value + "' (seconds, more than 0)";
      return false;
    }
    return true;
  };
  ScannedArguments scanned;
  const ParseResult scan = ScanArguments(args, known, handle, &scanned, error);
  options->assumeYes = scanned.assumeYes;
  options->file = scanned.file;
  if (scan != ParseResult::Ok) return scan;
  if (!haveHost) {
    *error = "missing --host HOST";
    return ParseResult::Usage;
  }
  if (!scanned.haveFile) {
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
