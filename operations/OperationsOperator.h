// The operator as the two download operations see it while they prepare a
// run: message boxes, the run indicator, the window's fields, the file
// chooser and the Base Address dialog. (The run itself reaches the operator
// through its runner, see DownloadJob.)
//
// The window implements it with its controls and modal dialogs, the command
// line with its options and the terminal, the tests with scripted answers.
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

class OperationsOperator : public Operator {
 public:
  // Copies the controls into |values| in the order host, port, compress,
  // validating each. The first field that fails has been reported to the
  // operator when this returns false; it and the fields after it keep the
  // values they had in |values|. The operations go on either way.
  virtual bool ReadControls(ControlValues& values) = 0;

  // The open-file chooser (no filter, no default extension, no initial
  // name): the full path of the chosen file, or nullopt when cancelled.
  virtual std::optional<std::string> ChooseFileToOpen() = 0;

  // The Base Address dialog with its text preset to |preset|: the text as
  // the operator confirmed it with OK (any text, empty included), or
  // nullopt when the dialog was cancelled.
  virtual std::optional<std::string> AskBaseAddress(const std::string& preset) = 0;
};

}  // namespace mervix
