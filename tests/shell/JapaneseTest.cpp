// The Japanese version, in a process started with LANG=ja_JP.UTF-8: the
// language comes from the system locale at start-up and covers the main
// window, the Base Address and About dialogs and the message texts.
#include "ShellTestSupport.h"

#include "resources/WindowMessages.h"
#include "shell/DialogLayout.h"
#include "shell/DownloadApp.h"
#include "shell/DownloadDlg.h"
#include "shell/QtSettingsStore.h"
#include "shell/SmallDialogs.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFontMetrics>
#include <QMessageBox>
#include <QProgressBar>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

namespace mervix {
namespace {

class JapaneseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ClearSettings();
    ModalSeam::reset();
    // Start-up as the program does it: the locale decides.
    CDownloadApp app;
    app.SetSocketLayerCheck([] { return true; });
    ASSERT_TRUE(app.InitInstance());
    QCoreApplication::setApplicationName(QStringLiteral("mervix"));
  }
};

TEST_F(JapaneseTest, TheSystemLocaleSelectsJapanese) {
  EXPECT_EQ(ActiveLanguage(), Language::Japanese);
  EXPECT_EQ(GetMessageText(IDS_ERROR_SOCKET_INIT), "Windowsｿｹｯﾄ初期化ｴﾗｰ");
}

TEST_F(JapaneseTest, TheMainWindowShowsItsTextsWithTheCompressBoxHidden) {
  QtSettingsStore store;
  CDownloadDlg window(store);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Ulvo Pelwin"));
  EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("static_host"))->text(), QStringLiteral("ﾎｽﾄ名またはIPｱﾄﾞﾚｽ"));
  EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("static_port"))->text(), QStringLiteral("ﾎﾟｰﾄ番号"));
  QPushButton* download = window.findChild<QPushButton*>(QStringLiteral("1001"));
  EXPECT_EQ(download->text(), QStringLiteral("ﾀﾞｳﾝﾛｰﾄﾞ開始"));
  QCheckBox* compress = window.findChild<QCheckBox*>(QStringLiteral("1009"));
  ASSERT_NE(compress, nullptr);
  EXPECT_FALSE(compress->isVisible());
  EXPECT_EQ(window.findChild<QLineEdit*>(QStringLiteral("1004"))->text(), QStringLiteral("2222"));
  EXPECT_EQ(window.focusWidget(), window.findChild<QLineEdit*>(QStringLiteral("1000")));

  const DialogUnits du = DialogUnitsFor(window.font());
  EXPECT_EQ(window.findChild<QLineEdit*>(QStringLiteral("1000"))->geometry(), du.Rect(78, 7, 80, 14));
  EXPECT_EQ(download->geometry(), du.Rect(21, 49, 80, 20));
  // The dialog font has the half-width katakana and kanji it shows. (The
  // offscreen platform on Windows sees none of the system's fonts: there the
  // pictures of the real window show them.)
  const QFontMetrics metrics(window.font());
#ifdef _WIN32
  if (QGuiApplication::platformName() != QStringLiteral("offscreen"))
#endif
    for (char32_t c : {U'ﾎ', U'ﾞ', U'名', U'開'}) EXPECT_TRUE(metrics.inFontUcs4(c)) << static_cast<unsigned>(c);
  for (QWidget* w : {static_cast<QWidget*>(window.findChild<QLabel*>(QStringLiteral("static_host"))),
                     static_cast<QWidget*>(window.findChild<QLabel*>(QStringLiteral("static_port"))),
                     static_cast<QWidget*>(download)}) {
    EXPECT_LE(w->sizeHint().width(), w->width() + 2) << w->objectName().toStdString();
  }

  // The hidden box still carries the stored state into the exchange.
  testing::RawSettings()->setValue(QStringLiteral("Previous Settings/Compress"), 1);
  CDownloadDlg second(store);
  EXPECT_TRUE(second.findChild<QCheckBox*>(QStringLiteral("1009"))->isChecked());
  EXPECT_TRUE(second.ReadControls());
  EXPECT_TRUE(second.CompressFlag());
}

TEST_F(JapaneseTest, TheBaseAddressDialogFocusesTheEditFirst) {
  CBaseAddressDlg dialog(nullptr);
  dialog.SetAddressText(QStringLiteral("20000"));
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  QLineEdit* edit = dialog.findChild<QLineEdit*>(QStringLiteral("1008"));
  EXPECT_EQ(dialog.focusWidget(), edit);
  EXPECT_EQ(testing::NextTabStop(edit), dialog.findChild<QPushButton*>(QStringLiteral("1")));
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Base Address"));
  // Typing replaces the selected preset; Return confirms through the default button.
  QTest::keyClicks(edit, QStringLiteral("1F"));
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.AddressText(), QStringLiteral("1F"));
}

TEST_F(JapaneseTest, TheAboutDialogHasTheJapaneseCaptionAndNoPicture) {
  CAboutDlg about(nullptr);
  EXPECT_EQ(about.windowTitle(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
  EXPECT_EQ(about.findChild<QLabel*>(QStringLiteral("216")), nullptr);
  const DialogUnits du = DialogUnitsFor(about.font());
  EXPECT_EQ(about.size(), QSize(du.X(151), du.Y(65)));
  EXPECT_EQ(about.findChild<QPushButton*>(QStringLiteral("1"))->geometry(), du.Rect(89, 36, 45, 15));
}

TEST_F(JapaneseTest, ThePopupMenuStaysEnglishWithTheJapaneseAboutItem) {
  QtSettingsStore store;
  CDownloadDlg window(store);
  window.OnContextMenu(window.mapToGlobal(QPoint(2, 2)));
  const auto menus = ModalSeam::recordsOf(ModalRecord::Kind::PopupMenu);
  ASSERT_EQ(menus.size(), 1u);
  EXPECT_EQ(menus[0].menuItems,
            testing::WithAboutItem({QStringLiteral("User Module"), QStringLiteral("Module Address"),
                                    QStringLiteral("User Module Download"), QStringLiteral("複数のﾃﾞﾊﾞｲｽ")},
                                   QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報(&A)...")));
}

// Qt's own texts come from Qt's Japanese translation, installed at start-up:
// the standard buttons of every box and the file chooser's captions.
TEST_F(JapaneseTest, QtsOwnButtonsAndTheFileChooserAreJapanese) {
  QMessageBox box(QMessageBox::Warning, QStringLiteral("mervix"), QStringLiteral("?"),
                  QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok | QMessageBox::Cancel);
  EXPECT_TRUE(box.button(QMessageBox::Yes)->text().contains(QStringLiteral("はい")))
      << box.button(QMessageBox::Yes)->text().toStdString();
  EXPECT_TRUE(box.button(QMessageBox::No)->text().contains(QStringLiteral("いいえ")))
      << box.button(QMessageBox::No)->text().toStdString();
  EXPECT_TRUE(box.button(QMessageBox::Cancel)->text().contains(QStringLiteral("キャンセル")))
      << box.button(QMessageBox::Cancel)->text().toStdString();
  // The chooser's own labels ("Look in:") in Japanese.
  QFileDialog chooser;
  chooser.setOption(QFileDialog::DontUseNativeDialog);
  EXPECT_NE(chooser.labelText(QFileDialog::LookIn), QStringLiteral("Look in:"));
  EXPECT_FALSE(chooser.labelText(QFileDialog::LookIn).isEmpty());
}

TEST_F(JapaneseTest, TheRunStripAndItsQuestionAreJapanese) {
  QtSettingsStore store;
  CDownloadDlg window(store);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  auto* stop = window.findChild<QPushButton*>(QStringLiteral("stop"));
  ASSERT_NE(stop, nullptr);
  EXPECT_EQ(stop->text(), QStringLiteral("中止"));
  EXPECT_FALSE(stop->isEnabled());
  EXPECT_LE(stop->sizeHint().width(), stop->width() + 2);
  // The strip sits between the button row and the log pane, which keeps its size.
  const DialogUnits du = DialogUnitsFor(window.font());
  auto* pane = window.findChild<QPlainTextEdit*>(QStringLiteral("1005"));
  EXPECT_EQ(pane->geometry(), du.Rect(10, 85 + 31, 205, 125));
  EXPECT_GE(window.findChild<QProgressBar*>(QStringLiteral("progress"))->geometry().top(),
            window.findChild<QPushButton*>(QStringLiteral("1001"))->geometry().bottom());
  for (std::uint16_t id = kFirstWindowMessageId; id <= kLastWindowMessageId; ++id) {
    EXPECT_NE(GetMessageText(id, Language::Japanese), GetMessageText(id, Language::English)) << id;
    EXPECT_FALSE(GetMessageText(id, Language::Japanese).empty()) << id;
  }
}

}  // namespace
}  // namespace mervix
