#include "shell/SmallDialogs.h"

#include "shell/Artwork.h"
#include "shell/DialogLayout.h"
#include "shell/ModalSeam.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#ifndef MERVIX_VERSION
#define MERVIX_VERSION "0.1.0"
#endif

namespace mervix {
namespace {

constexpr Qt::WindowFlags kDialogFlags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;

}  // namespace

CBaseAddressDlg::CBaseAddressDlg(QWidget* owner) : QDialog(owner, kDialogFlags) {
  const Language language = ActiveLanguage();
  setObjectName(QStringLiteral("103"));
  setFont(DialogFont(language, 9));
  const DialogUnits du = DialogUnitsFor(font());
  setWindowTitle(QStringLiteral("Base Address"));
  setFixedSize(du.X(149), du.Y(49));

  auto* label = new QLabel(QStringLiteral("Please enter the base address in hexadecimal"), this);
  label->setObjectName(QStringLiteral("static_prompt"));
  PlaceInDialogUnits(label, du, 7, 7, 136, 8);

  edit_ = new QLineEdit(this);
  edit_->setObjectName(QStringLiteral("1008"));
  PlaceInDialogUnits(edit_, du, 10, 25, 65, 14);

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setObjectName(QStringLiteral("1"));
  ok_->setDefault(true);
  PlaceInDialogUnits(ok_, du, 85, 25, 55, 15);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  // English: OK comes first and holds the focus, so Return confirms the
  // preset text. Japanese: the edit comes first.
  if (language == Language::Japanese) {
    setTabOrder(edit_, ok_);
  } else {
    setTabOrder(ok_, edit_);
  }
  FitTextControls(this, du, 6);
}

void CBaseAddressDlg::showEvent(QShowEvent* event) {
  edit_->setText(address_);
  QDialog::showEvent(event);
  if (ActiveLanguage() == Language::Japanese) {
    edit_->setFocus(Qt::OtherFocusReason);
    edit_->selectAll();
  } else {
    ok_->setFocus(Qt::OtherFocusReason);
  }
}

void CBaseAddressDlg::accept() {
  address_ = edit_->text();
  QDialog::accept();
}

bool CBaseAddressDlg::DoModal() {
  ModalRecord rec;
  rec.kind = ModalRecord::Kind::BaseAddress;
  rec.text = address_.toStdString();
  rec.hadOwner = parentWidget() != nullptr;
  std::optional<QString> answer;
  if (ModalSeam::takeAddress(&answer)) {
    ModalSeam::record(rec);
    if (!answer) return false;
    address_ = *answer;
    return true;
  }
  if (ModalSeam::strict()) {
    rec.answered = false;
    ModalSeam::record(rec);
    return false;
  }
  ModalSeam::record(rec);
  return exec() == QDialog::Accepted;
}

CAboutDlg::CAboutDlg(QWidget* owner) : QDialog(owner, kDialogFlags) {
  const Language language = ActiveLanguage();
  setObjectName(QStringLiteral("100"));
  const bool japanese = language == Language::Japanese;
  setFont(DialogFont(language, japanese ? 9 : 8));
  const DialogUnits du = DialogUnitsFor(font());

  auto* version = new QLabel(QStringLiteral("mervix " MERVIX_VERSION), this);
  version->setObjectName(QStringLiteral("static_version"));
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  if (japanese) {
    setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
    setFixedSize(du.X(151), du.Y(65));
    PlaceInDialogUnits(version, du, 10, 12, 130, 12);
    PlaceInDialogUnits(ok, du, 89, 36, 45, 15);
  } else {
    setWindowTitle(QStringLiteral("About Pelwin"));
    setFixedSize(du.X(212), du.Y(108));
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("216"));
    picture->setPixmap(AboutPicture());
    picture->setAlignment(Qt::AlignCenter);
    PlaceInDialogUnits(picture, du, 5, 7, 85, 93);
    PlaceInDialogUnits(version, du, 105, 20, 100, 12);
    PlaceInDialogUnits(ok, du, 105, 60, 45, 15);
  }
  FitTextControls(this, du, 6);
}

void CAboutDlg::DoModal() {
  ModalRecord rec;
  rec.kind = ModalRecord::Kind::About;
  rec.text = windowTitle().toStdString();
  rec.hadOwner = parentWidget() != nullptr;
  ModalSeam::record(rec);
  if (!ModalSeam::strict()) exec();
}

}  // namespace mervix
