// The operator as a front end's flow and runner show it things: message
// boxes and the run indicator. The window implements it with modal boxes
// and its Download button, the command line with the terminal, the tests
// with a record of what was shown.
#pragma once

#include "protocol/SessionMachine.h"

#include <cstdint>
#include <optional>
#include <string>

namespace mervix {

// Message boxes and the run indicator.
class Operator {
 public:
  virtual ~Operator() = default;

  // Shows a modal message box with the text and buttons; returns the button
  // pressed (always one of the set).
  virtual Answer ShowMessageBox(const std::string& text, ButtonSet buttons) = 0;

  // The same box with |detail| (the cause: a file's reason, the S-record
  // line) under its text. An operator that has no place for a detail shows
  // the text alone.
  virtual Answer ShowDetailedMessageBox(const std::string& text, const std::string& detail, ButtonSet buttons) {
    (void)detail;
    return ShowMessageBox(text, buttons);
  }

  // Enables or disables the "Download" button: the run indicator. Enabled
  // means no run is in progress.
  virtual void SetDownloadEnabled(bool enabled) = 0;
};

// The values of the window's host field, port field and "Compress" check
// box, as the operations hold them between runs.
struct ControlValues {
  std::string host;        // at most 48 characters once the window has validated it
  std::uint32_t port = 0;  // 0 to 65535 once validated
  bool compress = false;
};

}  // namespace mervix
