// The option scanning the command-line parsers share: the FILE argument,
// "--", "--help" / "-h", "--yes" / "-y", options without a value, and
// options with one as "--name value" or "--name=value". What an option's
// value means stays with each parser.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace mervix {

enum class OptionsParse { Ok, Help, Usage };

// The options a command knows besides "--help" and "--yes".
struct OptionSet {
  std::vector<std::string> flags;   // taken alone, matched against the whole argument
  std::vector<std::string> valued;  // followed by a value, or written --name=value
};

// What the scan collected besides the options it handed on.
struct ScannedArguments {
  bool assumeYes = false;  // "--yes" or "-y" was given
  bool haveFile = false;
  std::string file;  // the one argument that is not an option
};

// Called for each known option in the order given: |value| is empty for a
// flag. Returns false with |error| set to end the scan with a usage error.
using OptionHandler = std::function<bool(const std::string& name, const std::string& value, std::string* error)>;

// Scans |args| from the start. An argument is the FILE when the options have
// ended ("--"), when it is empty, "-", or does not start with '-'; a second
// one is a usage error. Help ends the scan at once. On Usage |error| says
// what is wrong: a second file, an unknown option, a value missing at the
// end, or the handler's reason.
OptionsParse ScanArguments(const std::vector<std::string>& args, const OptionSet& known, const OptionHandler& handle,
                           ScannedArguments* scanned, std::string* error);

// The values both parsers read. A port: 1 to 5 decimal digits, 0..65535.
bool ParsePortNumber(const std::string& text, std::uint32_t* port);
// A time-out: digits with at most one decimal point (no sign, exponent or
// blank), more than 0 once rounded to milliseconds; beyond about 24 days
// (the range of poll's int) it is taken as that.
bool ParseTimeoutSeconds(const std::string& text, int* milliseconds);

}  // namespace mervix
