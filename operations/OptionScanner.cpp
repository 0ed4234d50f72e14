#include "operations/OptionScanner.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace mervix {
namespace {

// A time-out beyond this is taken as this (about 24 days, poll's int range).
constexpr double kMaxTimeoutSeconds = 2000000.0;

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

OptionsParse ScanArguments(const std::vector<std::string>& args, const OptionSet& known, const OptionHandler& handle,
                           ScannedArguments* scanned, std::string* error) {
  *scanned = ScannedArguments();
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      if (scanned->haveFile) {
        *error = "more than one file: '" + scanned->file + "' and '" + arg + "'";
        return OptionsParse::Usage;
      }
      scanned->file = arg;
      scanned->haveFile = true;
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") return OptionsParse::Help;
    if (arg == "--yes" || arg == "-y") {
      scanned->assumeYes = true;
      continue;
    }
    if (Contains(known.flags, arg)) {
      if (!handle(arg, std::string(), error)) return OptionsParse::Usage;
      continue;
    }
    // Options with a value: "--name value" or "--name=value".
    std::string name = arg;
    std::string value;
    bool haveValue = false;
    if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      haveValue = true;
    }
    if (!Contains(known.valued, name)) {
      *error = "unknown option '" + arg + "'";
      return OptionsParse::Usage;
    }
    if (!haveValue) {
      if (i + 1 >= args.size()) {
        *error = "option " + name + " needs a value";
        return OptionsParse::Usage;
      }
      value = args[++i];
    }
    if (!handle(name, value, error)) return OptionsParse::Usage;
  }
  return OptionsParse::Ok;
}

bool ParsePortNumber(const std::string& text, std::uint32_t* port) {
  if (text.empty() || text.size() > 5) return false;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > 65535) return false;
  *port = value;
  return true;
}

bool ParseTimeoutSeconds(const std::string& text, int* milliseconds) {
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

}  // namespace mervix
