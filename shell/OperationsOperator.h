// The operator as the window's download operations see it while they
// prepare a run: message boxes and the run indicator (Operator), the
// window's fields, the file chooser and the Base Address dialog. The window
// implements it with its controls and modal dialogs, the tests with
// scripted answers.
#pragma once

#include "operations/Operator.h"

#include <optional>
#include <string>

namespace mervix {

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
