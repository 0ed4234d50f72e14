// The operator of the command line: message boxes become lines on standard
// error, questions are asked on the terminal, log lines go to standard output
// exactly as the log pane shows them. It serves both the preparation of a
// download (as the operations' Operator) and its run (as the runner's
// RunDialogs).
#pragma once

#include "cli/support/AsioRunner.h"
#include "operations/Operator.h"

#include <cstdio>
#include <functional>
#include <string>

namespace mervix::cli {

class TerminalOperator : public Operator, public RunDialogs {
 public:
  // |in| answers the questions, |out| receives the log, |err| the boxes and
  // prompts. With |assumeYes| the run's confirmation of the permanent write
  // is answered OK without asking.
  TerminalOperator(std::FILE* in, std::FILE* out, std::FILE* err, bool assumeYes);

  // A box with OK only is printed as its text and a newline. OK/Cancel and
  // Yes/No print the text with the choices and read one line: "o", "ok",
  // "y", "yes" answer OK or Yes; "c", "cancel", "n", "no" answer Cancel or
  // No (any case); other input asks again; the end of input counts as
  // Cancel or No. An answer read from input that is not a terminal is
  // echoed after the prompt.
  Answer ShowMessageBox(const std::string& text, ButtonSet buttons) override;

  // The run's questions and boxes: as ShowMessageBox, except that with
  // |assumeYes| the confirmation is answered OK, its line saying so.
  Answer Ask(Question question, const std::string& text, ButtonSet buttons) override;
  void Show(std::uint16_t /*messageId*/, const std::string& text) override { ShowMessageBox(text, ButtonSet::Ok); }
  // The same with the cause, which only the box hook sees: the terminal
  // shows the text, and the closing line of the command gives the cause.
  Answer ShowDetailedMessageBox(const std::string& text, const std::string& detail, ButtonSet buttons) override;
  Answer AskWithDetail(Question question, const std::string& text, const std::string& detail,
                       ButtonSet buttons) override;
  void ShowWithDetail(std::uint16_t messageId, const std::string& text, const std::string& detail) override;

  // Told of every box once it is answered: its text, the cause under it,
  // its buttons, the answer, and whether --yes gave that answer.
  using BoxHook = std::function<void(const std::string& text, const std::string& detail, ButtonSet buttons,
                                     Answer answer, bool automatic)>;
  void SetBoxHook(BoxHook hook) { boxHook_ = std::move(hook); }
  // Runs before anything is written to the terminal (a progress line to
  // clear first).
  void SetBeforeOutput(std::function<void()> before) { beforeOutput_ = std::move(before); }

  void SetDownloadEnabled(bool enabled) override { downloadEnabled_ = enabled; }
  bool DownloadEnabled() const { return downloadEnabled_; }

  // Prints text appended to the log, CR LF turned into a newline, and
  // flushes: hand it to LogPane as the refresh callback's second argument.
  void PrintLog(const std::string& appended);

 private:
  Answer Prompt(const std::string& text, ButtonSet buttons);

  std::FILE* in_;
  std::FILE* out_;
  std::FILE* err_;
  bool assumeYes_;
  bool downloadEnabled_ = true;
  BoxHook boxHook_;
  std::function<void()> beforeOutput_;
  std::string detail_;  // the cause of the box being shown
};

// The text with every CR LF (and a lone CR) turned into a newline.
std::string TerminalLineEndings(const std::string& text);

}  // namespace mervix::cli
