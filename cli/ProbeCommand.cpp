// mervix-cli probe: asks a device for its status once and says what it
// answered. It sends the status query and nothing else: no switch, no size,
// no data.
#include "cli/Commands.h"
#include "cli/support/AsioRunner.h"
#include "cli/support/CommandLine.h"
#include "operations/DeviceAddress.h"
#include "cli/support/RunReport.h"
#include "protocol/Frames.h"
#include "resources/CommandLineMessages.h"
#include "resources/MessageTable.h"

#include <CLI/CLI.hpp>
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <optional>

namespace mervix::cli {
namespace {

constexpr char kUsage[] = "probe --host HOST [--port PORT] [--timeout SECONDS] [--json]";

constexpr char kHelp[] =
    "Sends one status query to the device at HOST (port 2222 unless HOST or\n"
    "--port names one), prints whether it is in normal mode (status 1), in\n"
    "download mode (status 2 or 3) or refuses (the NAK's reasons), and closes.\n"
    "Nothing else is ever sent: no switch, no size, no data.\n\n"
    "  --timeout SECONDS   the longest wait for the connection and for the reply\n"
    "                      (default 20 s to connect, 30 s for the reply)\n"
    "  --json              print one JSON object (event \"probe\") instead\n\n"
    "Exit status: 0 the device answered (whatever it answered); 2 usage error;\n"
    "3 cannot connect; 4 the device closed or answered out of protocol; 6 no\n"
    "answer in time.\n";

using asio::ip::tcp;

struct ProbeResult {
  int exitCode = kExitSuccess;
  std::string reason;  // why there is no answer
  ProtocolFrame frame{};
};

// Runs |io| until |done| or |ms| have passed; false on the time-out.
bool RunFor(asio::io_context& io, const bool& done, int ms) {
  io.restart();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    io.run_one_until(deadline);
    if (io.stopped()) io.restart();
  }
  return done;
}

ProbeResult Probe(const std::string& host, std::uint16_t port, int connectMs, int replyMs) {
  ProbeResult result;
  asio::io_context io;
  tcp::resolver resolver(io);
  asio::error_code ec;
  const auto endpoints = resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service, ec);
  if (ec) {
    result.exitCode = kExitConnect;
    result.reason = "cannot resolve " + host + ": " + ec.message();
    return result;
  }
  tcp::socket socket(io);
  bool done = false;
  asio::async_connect(socket, endpoints, [&](const asio::error_code& error, const tcp::endpoint&) {
    ec = error;
    done = true;
  });
  if (!RunFor(io, done, connectMs) || ec) {
    result.exitCode = kExitConnect;
    result.reason = done ? ec.message() : "connection timed out";
    return result;
  }
  const ProtocolFrame query = BuildStatusQuery();
  asio::write(socket, asio::buffer(query), ec);
  if (ec) {
    result.exitCode = kExitLink;
    result.reason = "send failed: " + ec.message();
    return result;
  }
  done = false;
  std::size_t got = 0;
  asio::async_read(socket, asio::buffer(result.frame), [&](const asio::error_code& error, std::size_t n) {
    ec = error;
    got = n;
    done = true;
  });
  if (!RunFor(io, done, replyMs > 0 ? replyMs : 1 << 30)) {
    result.exitCode = kExitTimeout;
    char reason[96];
    std::snprintf(reason, sizeof reason, "no response from the device within %g seconds", replyMs / 1000.0);
    result.reason = reason;
  } else if (ec) {
    result.exitCode = kExitLink;
    result.reason = "the device closed the connection after " + std::to_string(got) + " of 8 bytes";
  }
  socket.close(ec);
  return result;
}

int Run(const std::vector<std::string>& args) {
  CLI::App app("", "mervix-cli probe");
  app.set_help_flag("-h,--help");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  std::string hostText;
  std::string portText = "2222";
  std::string timeoutText;
  bool json = false;
  app.add_option("--host", hostText)->type_name("HOST")->required();
  app.add_option("--port", portText)->type_name("PORT");
  app.add_option("--timeout", timeoutText)->type_name("SECONDS");
  app.add_flag("--json", json);
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  std::string error;
  std::uint32_t port = 0;
  DeviceAddress address;
  int timeoutMs = -1;
  try {
    app.parse(reversed);
    std::string why;
    if (hostText.empty()) {
      error = "the host is empty";
    } else if (!ParseDeviceAddress(hostText, &address, &why)) {
      error = "bad host '" + hostText + "': " + why;
    }
    if (error.empty() && (!ParsePortNumber(portText, &port) || port == 0)) {
      error = "bad port '" + portText + "' (1 to 65535)";
    }
    if (address.port) port = *address.port;
    if (error.empty() && !timeoutText.empty() && !ParseSeconds(timeoutText, true, &timeoutMs)) {
      error = "bad time-out '" + timeoutText + "' (seconds, 0 for none)";
    }
  } catch (const CLI::CallForHelp&) {
    std::printf("usage: mervix-cli %s\n\n%s\n%s", kUsage, kHelp, kHostFormsHelp);
    return kExitSuccess;
  } catch (const CLI::ParseError& e) {
    error = e.what();
  }
  if (!error.empty()) {
    std::fprintf(stderr, "mervix-cli probe: %s\nusage: mervix-cli %s\n", error.c_str(), kUsage);
    return kExitUsage;
  }
  SetActiveLanguage(LanguageFromEnvironment());

  const int connectMs = timeoutMs > 0 ? timeoutMs : kDefaultConnectTimeoutMs;
  const int replyMs = timeoutMs >= 0 ? timeoutMs : kDefaultReplyTimeoutMs;
  const std::string device = FormatDeviceAddress(address.host, static_cast<std::uint16_t>(port));
  const ProbeResult probe = Probe(address.host, static_cast<std::uint16_t>(port), connectMs, replyMs);

  nlohmann::ordered_json j;
  j["schema"] = kJsonSchemaVersion;
  j["event"] = "probe";
  j["device"] = device;
  int exitCode = probe.exitCode;
  std::string line;
  if (exitCode == kExitSuccess) {
    const ResponseClass response = ClassifyResponse(probe.frame);
    if (response.kind == ResponseKind::StatusReply) {
      j["answer"] = "status";
      j["status"] = response.status;
      j["mode"] = response.status == 1 ? "normal" : "download";
      line = response.status == 1
                 ? FormatCommandLineText(IDS_CLI_PROBE_NORMAL, {device})
                 : FormatCommandLineText(IDS_CLI_PROBE_DOWNLOAD, {device, std::to_string(response.status)});
    } else if (response.kind == ResponseKind::Nak) {
      char flags[16];
      std::snprintf(flags, sizeof flags, "0x%04X", static_cast<unsigned>(response.nakFlags));
      const std::string reasons = GetMessageText(response.messageId);
      j["answer"] = "nak";
      j["nak_flags"] = response.nakFlags;
      j["reasons"] = reasons;
      line = FormatCommandLineText(IDS_CLI_PROBE_REFUSED, {device, flags}) + ": " + reasons;
    } else {
      exitCode = kExitLink;
      char bytes[32];
      const ProtocolFrame& f = probe.frame;
      std::snprintf(bytes, sizeof bytes, "%02X %02X %02X %02X %02X %02X %02X %02X", f[0], f[1], f[2], f[3], f[4],
                    f[5], f[6], f[7]);
      line = std::string("response ") + bytes;
      j["answer"] = "invalid";
      j["frame"] = bytes;
    }
  } else {
    j["answer"] = nullptr;
    j["reason"] = probe.reason;
  }
  j["exit_code"] = exitCode;
  if (json) {
    std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  } else if (exitCode == kExitSuccess) {
    std::printf("%s\n", line.c_str());
  }
  if (exitCode != kExitSuccess) {
    std::fprintf(stderr, "mervix-cli probe: %s: %s\n", device.c_str(), line.empty() ? probe.reason.c_str() : line.c_str());
  }
  return exitCode;
}

CommandRegistration reg({"probe", kUsage, "ask the device for its status once, and nothing else", &Run});

}  // namespace
}  // namespace mervix::cli
