// The window's download operations under test: an operator that answers
// the window's questions from a script, and the operations wired to it and
// to the scripted runner.
#pragma once

#include "shell/DownloadOperations.h"
#include "shell/OperationsOperator.h"
#include "tests/operations/OperationsTestSupport.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace mervix::testing {

// The operator of the tests: boxes, log lines and the run indicator go to a
// FakeOperator (its trail keeps their order); the controls, the file chooser
// and the Base Address dialog answer from the script.
class ScriptedOperator : public OperationsOperator {
 public:
  FakeOperator boxes;
  ControlValues controls{"127.0.0.1", 2222, false};
  bool controlsValid = true;
  // Answers of the file chooser and the Base Address dialog, in order
  // (nullopt cancels); an unscripted request cancels and is counted.
  std::deque<std::optional<std::string>> files;
  std::deque<std::optional<std::string>> addresses;
  std::vector<std::string> addressPresets;
  int readControlsCalls = 0;
  int chooserCalls = 0;
  int unscripted = 0;

  // The detail under each box, in box order ("" for a box without one).
  std::vector<std::string> details;

  Answer ShowMessageBox(const std::string& text, ButtonSet buttons) override {
    details.emplace_back();
    return boxes.ShowMessageBox(text, buttons);
  }
  Answer ShowDetailedMessageBox(const std::string& text, const std::string& detail, ButtonSet buttons) override {
    details.push_back(detail);
    return boxes.ShowMessageBox(text, buttons);
  }
  void SetDownloadEnabled(bool enabled) override { boxes.SetDownloadEnabled(enabled); }
  bool ReadControls(ControlValues& values) override {
    ++readControlsCalls;
    boxes.trail.push_back("controls");
    values = controls;
    return controlsValid;
  }
  std::optional<std::string> ChooseFileToOpen() override {
    ++chooserCalls;
    boxes.trail.push_back("chooser");
    return Take(files);
  }
  std::optional<std::string> AskBaseAddress(const std::string& preset) override {
    addressPresets.push_back(preset);
    boxes.trail.push_back("address:" + preset);
    return Take(addresses);
  }

 private:
  std::optional<std::string> Take(std::deque<std::optional<std::string>>& queue) {
    if (queue.empty()) {
      ++unscripted;
      return std::nullopt;
    }
    std::optional<std::string> answer = queue.front();
    queue.pop_front();
    return answer;
  }
};

// Operations over a scripted runner and operator, wired together.
struct OperationsRig {
  explicit OperationsRig(SettingsStore& settings) : ops(op, log, settings) {
    ops.SetRunner(link);
    link.Attach(ops.Job());
  }
  ScriptedOperator op;
  ScriptedRunner link{op.boxes};
  LogPane log{op.boxes.LogRecorder()};
  DownloadOperations ops;
};

}  // namespace mervix::testing
