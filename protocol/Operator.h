// The operator as the protocol session sees it: message boxes, the log and
// the run indicator. The window shows real boxes; the command line prints
// and asks on the terminal; the tests script the answers.
#pragma once

#include <string>

namespace mervix {

enum class ButtonSet { Ok, OkCancel, YesNo };
enum class Answer { Ok, Cancel, Yes, No };

class Operator {
 public:
  virtual ~Operator() = default;

  // Shows a modal message box with the text and buttons; returns the button
  // pressed (always one of the set).
  virtual Answer ShowMessageBox(const std::string& text, ButtonSet buttons) = 0;

  // Enables or disables the "Download" button: the run indicator. Enabled
  // means no run is in progress.
  virtual void SetDownloadEnabled(bool enabled) = 0;
};

}  // namespace mervix
