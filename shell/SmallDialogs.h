// The two small modal dialogs: Base Address (resource 103) and About
// (resource 100), each in the active language's version.
//
// Object names: a control with a numeric id carries that id as its object
// name ("1008" for the address edit, "1" for OK); labels and pictures carry
// "static_" and their role.
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

namespace mervix {

class CBaseAddressDlg : public QDialog {
 public:
  explicit CBaseAddressDlg(QWidget* owner);

  // The address text: set before showing, holds what was typed after OK.
  void SetAddressText(const QString& text) { address_ = text; }
  const QString& AddressText() const { return address_; }

  // Shows the dialog modally (or takes the answer queued on the ModalSeam);
  // true on OK, false on Escape or the close box, which read nothing.
  bool DoModal();

 protected:
  void showEvent(QShowEvent* event) override;
  void accept() override;

 private:
  QString address_;
  QLineEdit* edit_ = nullptr;
  QPushButton* ok_ = nullptr;
};

class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(QWidget* owner);
  void DoModal();
};

}  // namespace mervix
