#include "shell/ModalSeam.h"

#include <QAction>
#include <QCoreApplication>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>

namespace mervix {
namespace {

struct SeamState {
  std::deque<Answer> answers;
  std::deque<QString> fileNames;
  std::deque<std::optional<QString>> addresses;
  std::deque<int> menuChoices;
  std::vector<ModalRecord> records;
  std::function<void()> hook;
  bool strict = false;
};

SeamState& State() {
  static SeamState state;
  return state;
}

template <typename T>
bool TakeFront(std::deque<T>& queue, T* out) {
  if (queue.empty()) return false;
  *out = queue.front();
  queue.pop_front();
  return true;
}

}  // namespace

void ModalSeam::setNextAnswer(Answer answer) { State().answers.push_back(answer); }
void ModalSeam::setNextFileName(const QString& path) { State().fileNames.push_back(path); }
void ModalSeam::setNextAddress(const std::optional<QString>& text) { State().addresses.push_back(text); }
void ModalSeam::setNextMenuChoice(int commandId) { State().menuChoices.push_back(commandId); }
void ModalSeam::setStrict(bool strict) { State().strict = strict; }
void ModalSeam::setNextRequestHook(std::function<void()> hook) { State().hook = std::move(hook); }

void ModalSeam::reset() {
  const bool strict = State().strict;
  State() = SeamState{};
  State().strict = strict;
}

const std::vector<ModalRecord>& ModalSeam::records() { return State().records; }

std::vector<ModalRecord> ModalSeam::recordsOf(ModalRecord::Kind kind) {
  std::vector<ModalRecord> out;
  for (const ModalRecord& r : State().records) {
    if (r.kind == kind) out.push_back(r);
  }
  return out;
}

int ModalSeam::unansweredCount() {
  int count = 0;
  for (const ModalRecord& r : State().records) count += r.answered ? 0 : 1;
  return count;
}

bool ModalSeam::takeAnswer(Answer* answer) { return TakeFront(State().answers, answer); }
bool ModalSeam::takeFileName(QString* path) { return TakeFront(State().fileNames, path); }
bool ModalSeam::takeAddress(std::optional<QString>* text) { return TakeFront(State().addresses, text); }
bool ModalSeam::takeMenuChoice(int* commandId) { return TakeFront(State().menuChoices, commandId); }
bool ModalSeam::strict() { return State().strict; }
void ModalSeam::record(const ModalRecord& record) {
  State().records.push_back(record);
  if (State().hook) {
    std::function<void()> hook = std::move(State().hook);
    State().hook = nullptr;
    hook();
  }
}

Answer ShowMessageBoxOver(QWidget* owner, const std::string& text, ButtonSet buttons) {
  return ShowMessageBoxOver(owner, text, std::string(), buttons);
}

Answer ShowMessageBoxOver(QWidget* owner, const std::string& text, const std::string& detail, ButtonSet buttons,
                          DefaultButton defaultButton) {
  ModalRecord rec;
  rec.kind = ModalRecord::Kind::MessageBox;
  rec.text = text;
  rec.detail = detail;
  rec.buttons = buttons;
  rec.hadOwner = owner != nullptr;

  // The answer that closing the box (Escape, close box) stands for.
  const Answer dismissed = buttons == ButtonSet::YesNo ? Answer::No
                           : buttons == ButtonSet::OkCancel ? Answer::Cancel
                                                            : Answer::Ok;
  Answer answer = dismissed;
  if (ModalSeam::takeAnswer(&answer)) {
    ModalSeam::record(rec);
    return answer;
  }
  if (ModalSeam::strict()) {
    rec.answered = false;
    ModalSeam::record(rec);
    return dismissed;
  }
  ModalSeam::record(rec);

  std::unique_ptr<QMessageBox> box = CreateMessageBox(owner, text, buttons, detail, defaultButton);
  QPointer<QMessageBox> alive(box.get());
  const int pressed = box->exec();
  if (alive.isNull()) {
    // Deleted with its owner while it was up: nothing left to delete.
    box.release();
    return dismissed;
  }
  switch (pressed) {
    case QMessageBox::Ok: return Answer::Ok;
    case QMessageBox::Cancel: return Answer::Cancel;
    case QMessageBox::Yes: return Answer::Yes;
    case QMessageBox::No: return Answer::No;
    default: return dismissed;
  }
}

std::unique_ptr<QMessageBox> CreateMessageBox(QWidget* owner, const std::string& text, ButtonSet buttons,
                                              const std::string& detail, DefaultButton defaultButton) {
  QMessageBox::StandardButtons set = QMessageBox::Ok;
  QMessageBox::StandardButton defaultPressed = QMessageBox::Ok;
  QMessageBox::StandardButton escapeButton = QMessageBox::Ok;
  if (buttons == ButtonSet::OkCancel) {
    set = QMessageBox::Ok | QMessageBox::Cancel;
    escapeButton = QMessageBox::Cancel;
  } else if (buttons == ButtonSet::YesNo) {
    set = QMessageBox::Yes | QMessageBox::No;
    defaultPressed = QMessageBox::Yes;
    escapeButton = QMessageBox::No;
  }
  if (defaultButton == DefaultButton::Negative && buttons != ButtonSet::Ok) defaultPressed = escapeButton;
  auto box = std::make_unique<QMessageBox>(QMessageBox::Warning, QCoreApplication::applicationName(),
                                           QString::fromStdString(text), set, owner);
  box->setDefaultButton(defaultPressed);
  box->setEscapeButton(escapeButton);
  box->setTextFormat(Qt::PlainText);
  // The cause goes under the main text, which stays exactly as it is.
  if (!detail.empty()) box->setInformativeText(QString::fromStdString(detail));
  return box;
}

QString ChooseFileToOpen(QWidget* owner, const QString& folder, const QStringList& filters) {
  ModalRecord rec;
  rec.kind = ModalRecord::Kind::FileChooser;
  rec.hadOwner = owner != nullptr;
  rec.filters = filters;
  rec.folder = folder;
  QString path;
  if (ModalSeam::takeFileName(&path)) {
    ModalSeam::record(rec);
    return path;
  }
  if (ModalSeam::strict()) {
    rec.answered = false;
    ModalSeam::record(rec);
    return QString();
  }
  ModalSeam::record(rec);
  return QFileDialog::getOpenFileName(owner, QString(), folder, filters.join(QStringLiteral(";;")));
}

int TrackPopupMenu(QMenu& menu, const QPoint& globalPos) {
  ModalRecord rec;
  rec.kind = ModalRecord::Kind::PopupMenu;
  rec.position = globalPos;
  for (QAction* action : menu.actions()) rec.menuItems << (action->isSeparator() ? QStringLiteral("-") : action->text());
  int command = 0;
  if (ModalSeam::takeMenuChoice(&command)) {
    ModalSeam::record(rec);
    return command;
  }
  if (ModalSeam::strict()) {
    rec.answered = false;
    ModalSeam::record(rec);
    return 0;
  }
  ModalSeam::record(rec);
  QAction* chosen = menu.exec(globalPos);
  return chosen ? chosen->data().toInt() : 0;
}

}  // namespace mervix
