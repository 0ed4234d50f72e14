// The popup menu with its commands, the Base Address and About dialogs, the
// message box and the start-up check.
#include "ShellTestSupport.h"

#include "shell/DownloadApp.h"
#include "shell/DownloadDlg.h"
#include "shell/QtSettingsStore.h"
#include "shell/SmallDialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

namespace mervix {
namespace {

using testing::BoxTexts;
using testing::RawSettings;
using Kind = ModalRecord::Kind;

QVariant Stored(const char* key) { return RawSettings()->value(QStringLiteral("Previous Settings/") + QLatin1String(key)); }

class PopupMenuTest : public testing::ShellTest {
 protected:
  void SetUp() override {
    testing::ShellTest::SetUp();
    window_ = std::make_unique<CDownloadDlg>(store_);
    window_->move(100, 100);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }
  void TearDown() override {
    window_.reset();
    testing::ShellTest::TearDown();
  }

  // A right click on |target| at its centre, delivered as Qt delivers it.
  void RightClick(QWidget* target) {
    const QPoint local = target->rect().center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, local, target->mapToGlobal(local));
    QApplication::sendEvent(target, &event);
  }

  QtSettingsStore store_;
  std::unique_ptr<CDownloadDlg> window_;
};

TEST_F(PopupMenuTest, RightClicksOnBackgroundLabelsButtonAndCheckBoxShowMenu130AtThePoint) {
  QWidget* targets[] = {window_.get(), window_->findChild<QLabel*>(QStringLiteral("static_host")),
                        window_->findChild<QLabel*>(QStringLiteral("static_port")),
                        window_->findChild<QPushButton*>(QStringLiteral("1001")),
                        window_->findChild<QCheckBox*>(QStringLiteral("1009"))};
  for (QWidget* target : targets) {
    ModalSeam::reset();
    RightClick(target);
    const auto menus = ModalSeam::recordsOf(Kind::PopupMenu);
    ASSERT_EQ(menus.size(), 1u) << target->objectName().toStdString();
    EXPECT_EQ(menus[0].menuItems,
              testing::WithAboutItem({QStringLiteral("User Module"), QStringLiteral("Module Address"),
                                      QStringLiteral("User Module Download"), QStringLiteral("Several devices")},
                                     QStringLiteral("&About mervix...")));
    EXPECT_EQ(menus[0].position, target->mapToGlobal(target->rect().center()));
  }
}

TEST_F(PopupMenuTest, EditFieldsKeepTheirOwnMenuAndAKeyboardRequestShowsNothing) {
  for (const char* name : {"1000", "1004", "1005"}) {
    ModalSeam::reset();
    QWidget* target = window_->findChild<QWidget*>(QString::fromLatin1(name));
    // A right click inside the log lands on its viewport, as with a mouse.
    if (auto* pane = qobject_cast<QPlainTextEdit*>(target)) target = pane->viewport();
    RightClick(target);
    EXPECT_TRUE(ModalSeam::recordsOf(Kind::PopupMenu).empty()) << name;
    // The field's own edit menu is up instead; close it.
    QWidget* popup = QApplication::activePopupWidget();
    EXPECT_NE(qobject_cast<QMenu*>(popup), nullptr) << name;
    if (popup) popup->close();
  }

  ModalSeam::reset();
  window_->findChild<QPushButton*>(QStringLiteral("1001"))->setFocus();
  QContextMenuEvent keyboard(QContextMenuEvent::Keyboard, QPoint(5, 5), window_->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(window_.get(), &keyboard);
  EXPECT_TRUE(ModalSeam::records().empty());
  // Points on the right or bottom edge are outside, the top-left corner is inside.
  const QPoint origin = window_->mapToGlobal(QPoint(0, 0));
  window_->OnContextMenu(origin + QPoint(window_->width(), 10));
  window_->OnContextMenu(origin + QPoint(10, window_->height()));
  EXPECT_TRUE(ModalSeam::records().empty());
  window_->OnContextMenu(origin);
  EXPECT_EQ(ModalSeam::recordsOf(Kind::PopupMenu).size(), 1u);
}

TEST_F(PopupMenuTest, UserModuleRecordsNameAndExtensionOrNothingOnCancel) {
  ModalSeam::setNextMenuChoice(CDownloadDlg::ID_USER_MODULE);
  ModalSeam::setNextFileName(QStringLiteral("/opt/mods/app.v2.mot"));
  window_->OnContextMenu(window_->mapToGlobal(QPoint(3, 3)));
  EXPECT_EQ(window_->UserModuleName(), testing::Shown("/opt/mods/app.v2.mot"));
  EXPECT_EQ(window_->UserModuleExtension(), "mot");
  EXPECT_EQ(Stored("User Module Name").toString(), testing::ShownQ("/opt/mods/app.v2.mot"));
  EXPECT_EQ(Stored("User Module Extension").toString(), QStringLiteral("mot"));

  // A dot in a folder name is no extension of the file.
  ModalSeam::setNextFileName(QStringLiteral("/opt/mods.d/module"));
  window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE);
  EXPECT_EQ(window_->UserModuleExtension(), "");
  EXPECT_EQ(Stored("User Module Name").toString(), testing::ShownQ("/opt/mods.d/module"));
  EXPECT_TRUE(Stored("User Module Extension").isValid());
  EXPECT_EQ(Stored("User Module Extension").toString(), QString());

  ModalSeam::setNextFileName(QString());
  window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE);
  EXPECT_EQ(window_->UserModuleName(), testing::Shown("/opt/mods.d/module"));
  EXPECT_EQ(Stored("User Module Name").toString(), testing::ShownQ("/opt/mods.d/module"));
  // None of this touched the log or the button.
  EXPECT_TRUE(window_->Log().Text().empty());
  EXPECT_TRUE(window_->findChild<QPushButton*>(QStringLiteral("1001"))->isEnabled());
}

TEST_F(PopupMenuTest, ModuleAddressPresetsTheLastTextAndStoresWhatIsTypedOnlyOnOk) {
  ModalSeam::setNextAddress(std::optional<QString>(QStringLiteral("zz 80000")));
  window_->OnUserModuleCommand(CDownloadDlg::ID_MODULE_ADDRESS);
  EXPECT_EQ(window_->UserBaseAddress(), "zz 80000");
  EXPECT_EQ(Stored("User Base Address").toString(), QStringLiteral("zz 80000"));

  ModalSeam::setNextAddress(std::nullopt);
  window_->OnUserModuleCommand(CDownloadDlg::ID_MODULE_ADDRESS);
  EXPECT_EQ(window_->UserBaseAddress(), "zz 80000");
  const auto dialogs = ModalSeam::recordsOf(Kind::BaseAddress);
  ASSERT_EQ(dialogs.size(), 2u);
  EXPECT_EQ(dialogs[1].text, "zz 80000") << "the dialog opened with the text typed last";
  EXPECT_TRUE(dialogs[1].hadOwner);

  // After a restart the text comes from the store.
  window_.reset();
  CDownloadDlg again(store_);
  ModalSeam::setNextAddress(std::nullopt);
  again.OnUserModuleCommand(CDownloadDlg::ID_MODULE_ADDRESS);
  EXPECT_EQ(ModalSeam::recordsOf(Kind::BaseAddress).back().text, "zz 80000");
}

// (That 32773 is refused while a run is in progress is tested with a real
// run, in WindowRunTest.)
TEST_F(PopupMenuTest, UserModuleDownloadOfAFileThatIsNotThereIsReportedAndCreatesNothing) {
  testing::HostField(*window_)->setText(QStringLiteral("127.0.0.1"));
  ModalSeam::setNextFileName(QStringLiteral("/nonexistent-mervix-dir/app.mot"));
  window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE);
  ModalSeam::setNextAddress(std::optional<QString>(QStringLiteral("20000")));
  window_->OnUserModuleCommand(CDownloadDlg::ID_MODULE_ADDRESS);
  window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE_DOWNLOAD);
  ASSERT_EQ(BoxTexts().size(), 1u);
  EXPECT_NE(BoxTexts()[0].find("'" + testing::Shown("/nonexistent-mervix-dir/app.mot") + "'"), std::string::npos)
      << BoxTexts()[0];
  EXPECT_FALSE(window_->RunInProgress());
  EXPECT_FALSE(window_->Runner().HasConnection());
  EXPECT_TRUE(testing::DownloadButton(*window_)->isEnabled());
  EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/nonexistent-mervix-dir")));
}

TEST_F(PopupMenuTest, TheAboutItemOpensTheAboutDialog) {
  ModalSeam::setNextMenuChoice(CDownloadDlg::IDM_ABOUTBOX);
  window_->OnContextMenu(window_->mapToGlobal(QPoint(3, 3)));
  const auto about = ModalSeam::recordsOf(Kind::About);
  ASSERT_EQ(about.size(), 1u);
  EXPECT_EQ(about[0].text, "About Pelwin");
  // Any system command with the same upper bits is the About item too.
  window_->OnSysCommand(0x0013);
  EXPECT_EQ(ModalSeam::recordsOf(Kind::About).size(), 2u);
  window_->OnSysCommand(0xF060);
  EXPECT_EQ(ModalSeam::recordsOf(Kind::About).size(), 2u);
}

using SmallDialogsTest = testing::ShellTest;

TEST_F(SmallDialogsTest, EnglishBaseAddressDialogFocusesOkSoReturnConfirmsThePreset) {
  CBaseAddressDlg dialog(nullptr);
  dialog.SetAddressText(QStringLiteral("1F000"));
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Base Address"));
  EXPECT_EQ(dialog.findChild<QLabel*>()->text(), QStringLiteral("Please enter the base address in hexadecimal"));
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  QPushButton* ok = dialog.findChild<QPushButton*>(QStringLiteral("1"));
  QLineEdit* edit = dialog.findChild<QLineEdit*>(QStringLiteral("1008"));
  EXPECT_EQ(dialog.focusWidget(), ok);
  EXPECT_EQ(testing::NextTabStop(ok), edit);
  EXPECT_EQ(edit->text(), QStringLiteral("1F000"));
  QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : ok, Qt::Key_Return);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.AddressText(), QStringLiteral("1F000"));
}

TEST_F(SmallDialogsTest, EscapeClosesTheBaseAddressDialogWithoutReadingTheEdit) {
  CBaseAddressDlg dialog(nullptr);
  dialog.SetAddressText(QStringLiteral("100"));
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  dialog.findChild<QLineEdit*>(QStringLiteral("1008"))->setText(QStringLiteral("typed"));
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(dialog.AddressText(), QStringLiteral("100"));
}

TEST_F(SmallDialogsTest, EnglishAboutDialogHasThePictureAndOkCloses) {
  CAboutDlg about(nullptr);
  EXPECT_EQ(about.windowTitle(), QStringLiteral("About Pelwin"));
  QLabel* picture = about.findChild<QLabel*>(QStringLiteral("216"));
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(picture->pixmap().size(), QSize(128, 128));
  EXPECT_EQ(picture->pixmap().depth(), 1);
  about.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
  QTest::mouseClick(about.findChild<QPushButton*>(QStringLiteral("1")), Qt::LeftButton);
  EXPECT_FALSE(about.isVisible());
}

TEST_F(SmallDialogsTest, MessageBoxesCarryTheApplicationNameTheWarningIconAndTheirButtons) {
  struct Case {
    ButtonSet set;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton escape;
  };
  const Case cases[] = {
      {ButtonSet::Ok, QMessageBox::Ok, QMessageBox::Ok},
      {ButtonSet::OkCancel, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel},
      {ButtonSet::YesNo, QMessageBox::Yes | QMessageBox::No, QMessageBox::No},
  };
  QWidget owner;
  for (const Case& c : cases) {
    auto box = CreateMessageBox(&owner, "ﾎｽﾄ名またはIPｱﾄﾞﾚｽを\n入力してください", c.set);
    EXPECT_EQ(box->windowTitle(), QStringLiteral("mervix"));
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->standardButtons(), c.buttons);
    EXPECT_EQ(box->escapeButton(), box->button(c.escape));
    EXPECT_EQ(box->parentWidget(), &owner);
    EXPECT_EQ(box->text(), QStringLiteral("ﾎｽﾄ名またはIPｱﾄﾞﾚｽを\n入力してください"));
  }
  // Through the seam the answer comes back as queued.
  ModalSeam::setNextAnswer(Answer::Yes);
  EXPECT_EQ(ShowMessageBoxOver(&owner, "Retry?", ButtonSet::YesNo), Answer::Yes);
  // Unanswered in strict mode: the box counts as dismissed.
  EXPECT_EQ(ShowMessageBoxOver(&owner, "Retry?", ButtonSet::YesNo), Answer::No);
  EXPECT_EQ(ModalSeam::unansweredCount(), 1);
}

TEST_F(SmallDialogsTest, AFailedSocketLayerShowsMessage103WithoutOwnerAndNoWindow) {
  const QString name = QCoreApplication::applicationName();
  CDownloadApp app;
  app.SetSocketLayerCheck([] { return false; });
  EXPECT_EQ(app.Run(), 1);
  const auto boxes = ModalSeam::recordsOf(Kind::MessageBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Windows sockets initialization failed.");
  EXPECT_FALSE(boxes[0].hadOwner);
  EXPECT_EQ(QCoreApplication::organizationName(), QStringLiteral("Brevlund"));
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_EQ(dynamic_cast<CDownloadDlg*>(w), nullptr);
  EXPECT_TRUE(RawSettings()->allKeys().isEmpty()) << "no settings are read or written";
  QCoreApplication::setApplicationName(name);

  CDownloadApp good;
  good.SetSocketLayerCheck([] { return true; });
  ModalSeam::reset();
  EXPECT_TRUE(good.InitInstance());
  EXPECT_TRUE(ModalSeam::records().empty());
  QCoreApplication::setApplicationName(name);
}

TEST(ApplicationNameTest, IsTheProgramFileNameWithoutFolderAndExtension) {
  EXPECT_EQ(CDownloadApp::ApplicationNameFor(QStringLiteral("/usr/bin/mervix")), QStringLiteral("mervix"));
  EXPECT_EQ(CDownloadApp::ApplicationNameFor(QStringLiteral("/opt/tools/mervix.exe")), QStringLiteral("mervix"));
  EXPECT_EQ(CDownloadApp::ApplicationNameFor(QStringLiteral("./flash-tool")), QStringLiteral("flash-tool"));
}

}  // namespace
}  // namespace mervix
