#include "cli/support/TerminalOperator.h"

#include "cli/support/Console.h"

#include <cctype>

namespace mervix::cli {
namespace {

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Strips blanks and line ends around an answer.
std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// One line from |in| without its newline; false at the end of input.
bool ReadLine(std::FILE* in, std::string* line) {
  line->clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(in)) != EOF) {
    any = true;
    if (c == '\n') return true;
    line->push_back(static_cast<char>(c));
  }
  return any;
}

}  // namespace

std::string TerminalLineEndings(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      result.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      result.push_back(text[i]);
    }
  }
  return result;
}

TerminalOperator::TerminalOperator(std::FILE* in, std::FILE* out, std::FILE* err, bool assumeYes)
    : in_(in), out_(out), err_(err), assumeYes_(assumeYes) {}

Answer TerminalOperator::Ask(Question question, const std::string& text, ButtonSet buttons) {
  if (question == Question::Confirm && assumeYes_ && buttons == ButtonSet::OkCancel) {
    if (beforeOutput_) beforeOutput_();
    std::fflush(out_);
    std::fprintf(err_, "%s [ok/cancel] ok (--yes)\n", text.c_str());
    std::fflush(err_);
    if (boxHook_) boxHook_(text, detail_, buttons, Answer::Ok, true);
    return Answer::Ok;
  }
  return ShowMessageBox(text, buttons);
}

Answer TerminalOperator::ShowDetailedMessageBox(const std::string& text, const std::string& detail,
                                                ButtonSet buttons) {
  detail_ = detail;
  const Answer answer = ShowMessageBox(text, buttons);
  detail_.clear();
  return answer;
}

Answer TerminalOperator::AskWithDetail(Question question, const std::string& text, const std::string& detail,
                                       ButtonSet buttons) {
  detail_ = detail;
  const Answer answer = Ask(question, text, buttons);
  detail_.clear();
  return answer;
}

void TerminalOperator::ShowWithDetail(std::uint16_t /*messageId*/, const std::string& text,
                                      const std::string& detail) {
  ShowDetailedMessageBox(text, detail, ButtonSet::Ok);
}

Answer TerminalOperator::ShowMessageBox(const std::string& text, ButtonSet buttons) {
  const Answer answer = Prompt(text, buttons);
  if (boxHook_) boxHook_(text, detail_, buttons, answer, false);
  return answer;
}

Answer TerminalOperator::Prompt(const std::string& text, ButtonSet buttons) {
  if (beforeOutput_) beforeOutput_();
  // Whatever the log has printed so far comes before the box.
  std::fflush(out_);
  if (buttons == ButtonSet::Ok) {
    std::fprintf(err_, "%s\n", text.c_str());
    std::fflush(err_);
    return Answer::Ok;
  }
  const bool okCancel = buttons == ButtonSet::OkCancel;
  const Answer positive = okCancel ? Answer::Ok : Answer::Yes;
  const Answer negative = okCancel ? Answer::Cancel : Answer::No;
  for (;;) {
    std::fprintf(err_, "%s %s ", text.c_str(), okCancel ? "[ok/cancel]" : "[yes/no]");
    std::fflush(err_);
    std::string line;
    if (!in_ || !ReadLine(in_, &line)) {
      std::fprintf(err_, "\n");
      std::fflush(err_);
      return negative;
    }
    // Input that is not a terminal is not echoed: show the answer read so
    // the transcript stays readable.
    if (!IsTerminal(in_)) {
      std::fprintf(err_, "%s\n", line.c_str());
      std::fflush(err_);
    }
    const std::string answer = Lowered(Trimmed(line));
    if (okCancel && (answer == "o" || answer == "ok" || answer == "y" || answer == "yes")) return positive;
    if (okCancel && (answer == "c" || answer == "cancel" || answer == "n" || answer == "no")) return negative;
    if (!okCancel && (answer == "y" || answer == "yes")) return positive;
    if (!okCancel && (answer == "n" || answer == "no")) return negative;
  }
}

void TerminalOperator::PrintLog(const std::string& appended) {
  if (appended.empty()) return;
  if (beforeOutput_) beforeOutput_();
  const std::string text = TerminalLineEndings(appended);
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

}  // namespace mervix::cli
