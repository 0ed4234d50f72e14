// The log text that the main window's log pane shows, and its two operations.
//
// Every line in the text ends with CR LF. Each change is followed by a
// refresh: the owner's callback is told the whole new text so the window
// (or the command line) can show it.
#pragma once

#include <functional>
#include <string>

namespace mervix {

class LogPane {
 public:
  using RefreshCallback = std::function<void(const std::string& wholeText, const std::string& appended)>;

  LogPane() = default;
  explicit LogPane(RefreshCallback refresh) : refresh_(std::move(refresh)) {}

  void SetRefreshCallback(RefreshCallback refresh) { refresh_ = std::move(refresh); }

  // Empties the log text, then refreshes.
  void ClearLog();

  // Appends the text followed by CR LF ("%s\r\n"), then refreshes.
  void AppendLogLine(const std::string& text);

  // Appends a text that already carries its line ending (a composite line or
  // a fixed text ending in "\r\n") unchanged, then refreshes.
  void AppendRaw(const std::string& text);

  const std::string& Text() const { return text_; }

  // The line most recently formatted for appending.
  const std::string& LineBuffer() const { return lineBuffer_; }

 private:
  void Refresh();

  std::string text_;
  std::string lineBuffer_;
  RefreshCallback refresh_;
};

}  // namespace mervix
