// Modal interaction of the window: message boxes, the file chooser, the
// popup menu and the Base Address dialog all go through here.
//
// In normal use every request shows the real Qt widget modally. Tests queue
// answers in advance (setNextAnswer, setNextFileName, setNextAddress,
// setNextMenuChoice); a request with a queued answer is recorded and
// answered at once without showing anything, so tests need no timers. In
// strict mode (tests) a request without a queued answer is recorded as
// unanswered and gets the harmless answer (Cancel / No / nothing chosen)
// instead of blocking the test; the About dialog, which asks nothing, is
// only recorded there.
#pragma once

#include "protocol/SessionMachine.h"

#include <QPoint>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QMenu;
class QMessageBox;
class QWidget;

namespace mervix {

// One modal request as the seam saw it.
struct ModalRecord {
  enum class Kind { MessageBox, FileChooser, BaseAddress, PopupMenu, About };
  Kind kind = Kind::MessageBox;
  std::string text;               // message box text; address preset for BaseAddress
  std::string detail;             // message box: the cause shown under the text (may be empty)
  ButtonSet buttons = ButtonSet::Ok;
  bool hadOwner = false;          // false for the ownerless box of the start-up check
  QStringList menuItems;          // PopupMenu: item texts in order, "-" for a separator
  QPoint position;                // PopupMenu: where it was shown, screen coordinates
  QStringList filters;            // FileChooser: the name filters offered, in order
  QString folder;                 // FileChooser: the folder it opened in
  bool answered = true;           // false when strict mode had to invent the answer
};

class ModalSeam {
 public:
  // Queues the answer of the next message box.
  static void setNextAnswer(Answer answer);
  // Queues the path the next file chooser returns; an empty path cancels.
  static void setNextFileName(const QString& path);
  // Queues the outcome of the next Base Address dialog: a text means OK with
  // that text typed, nullopt means cancel.
  static void setNextAddress(const std::optional<QString>& text);
  // Queues the command chosen from the next popup menu; 0 dismisses it.
  static void setNextMenuChoice(int commandId);

  // Runs |hook| once, at the next request, before it is answered: what the
  // operator might do elsewhere while a box is up (close the window, say).
  static void setNextRequestHook(std::function<void()> hook);

  // Strict mode: unanswered requests never block (see above).
  static void setStrict(bool strict);
  // Forgets queued answers and records.
  static void reset();

  static const std::vector<ModalRecord>& records();
  // Records of one kind, in order.
  static std::vector<ModalRecord> recordsOf(ModalRecord::Kind kind);
  // Requests that strict mode had to answer by itself.
  static int unansweredCount();

  // Used by the window code.
  static bool takeAnswer(Answer* answer);
  static bool takeFileName(QString* path);
  static bool takeAddress(std::optional<QString>* text);
  static bool takeMenuChoice(int* commandId);
  static bool strict();
  static void record(const ModalRecord& record);
};

// How a box offers its buttons: Return presses Yes (or OK), or, for a
// question whose Yes cannot be undone, No.
enum class DefaultButton { Affirmative, Negative };

// The window's message box: caption = application name, warning icon, the
// button set, modal over |owner| (null for the ownerless box at start-up),
// |detail| (the cause) as informative text under the main text when not
// empty. Returns the button pressed; closing the box counts as Cancel or No,
// and so does a box dismissed because its owner went away.
Answer ShowMessageBoxOver(QWidget* owner, const std::string& text, ButtonSet buttons);
Answer ShowMessageBoxOver(QWidget* owner, const std::string& text, const std::string& detail, ButtonSet buttons,
                          DefaultButton defaultButton = DefaultButton::Affirmative);

// The box ShowMessageBoxOver shows when nothing is queued: caption, warning
// icon, buttons, default and escape buttons, plain text and detail.
std::unique_ptr<QMessageBox> CreateMessageBox(QWidget* owner, const std::string& text, ButtonSet buttons,
                                              const std::string& detail = std::string(),
                                              DefaultButton defaultButton = DefaultButton::Affirmative);

// The open-file chooser: no default extension, no initial name, opening in
// |folder| (the current folder when empty) and offering |filters| (Qt name
// filters; the first is selected). Returns the chosen file's full path,
// empty when the operator cancelled.
QString ChooseFileToOpen(QWidget* owner, const QString& folder = QString(), const QStringList& filters = {});

// Shows |menu| at |globalPos| and returns the command id (the data of the
// chosen action), 0 when nothing was chosen.
int TrackPopupMenu(QMenu& menu, const QPoint& globalPos);

}  // namespace mervix
