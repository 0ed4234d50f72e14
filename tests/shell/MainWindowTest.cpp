// The main window: first start, settings read at initialisation, the data
// exchange with its prompts, the host limit, Compress, the log pane, layout.
#include "ShellTestSupport.h"

#include "shell/DialogLayout.h"
#include "shell/DownloadDlg.h"
#include "shell/QtSettingsStore.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

namespace mervix {
namespace {

using testing::BoxTexts;
using testing::RawSettings;

class MainWindowTest : public testing::ShellTest {
 protected:
  QLineEdit* Host(CDownloadDlg& w) { return testing::HostField(w); }
  QLineEdit* Port(CDownloadDlg& w) { return testing::PortField(w); }
  QPushButton* Download(CDownloadDlg& w) { return testing::DownloadButton(w); }
  QCheckBox* Compress(CDownloadDlg& w) { return testing::CompressBox(w); }
  QPlainTextEdit* LogPane(CDownloadDlg& w) { return testing::LogView(w); }

  void SetRaw(const char* key, const QVariant& value) {
    auto raw = RawSettings();
    raw->setValue(QStringLiteral("Previous Settings/") + QLatin1String(key), value);
    raw->sync();
  }

  QtSettingsStore store_;
};

TEST_F(MainWindowTest, FirstStartShowsTheEmptyWindowWithPort2222AndFocusInTheHostField) {
  CDownloadDlg window(store_);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Quorrin Pelwin"));
  EXPECT_EQ(Host(window)->text(), QString());
  EXPECT_EQ(Port(window)->text(), QStringLiteral("2222"));
  EXPECT_FALSE(Compress(window)->isChecked());
  EXPECT_TRUE(Compress(window)->isVisible());
  EXPECT_EQ(LogPane(window)->toPlainText(), QString());
  EXPECT_TRUE(LogPane(window)->isReadOnly());
  EXPECT_TRUE(Download(window)->isEnabled());
  EXPECT_TRUE(Download(window)->isDefault());
  EXPECT_EQ(window.focusWidget(), Host(window));
  EXPECT_EQ(window.UserBaseAddress(), "");
  EXPECT_EQ(window.UserModuleName(), "");
  EXPECT_EQ(window.UserModuleExtension(), "");
  EXPECT_NE(window.FirmwareImageArea(), nullptr);
  EXPECT_NE(window.UserModuleArea(), nullptr);
  EXPECT_FALSE(window.windowIcon().isNull());
  // Reading at start writes nothing: the store stays empty.
  EXPECT_TRUE(RawSettings()->allKeys().isEmpty());
}

TEST_F(MainWindowTest, InitialisationReadsKorvaneCompressAndTheUserModuleTexts) {
  SetRaw("Korvane", 7);
  SetRaw("Compress", 5);
  SetRaw("User Base Address", QStringLiteral("80000"));
  SetRaw("User Module Name", QStringLiteral("/mod/app.mot"));
  SetRaw("User Module Extension", QStringLiteral("mot"));
  CDownloadDlg window(store_);
  EXPECT_EQ(Port(window)->text(), QStringLiteral("55550"));
  EXPECT_TRUE(Compress(window)->isChecked());
  EXPECT_EQ(window.UserBaseAddress(), "80000");
  EXPECT_EQ(window.UserModuleName(), "/mod/app.mot");
  EXPECT_EQ(window.UserModuleExtension(), "mot");

  // Korvane is never written, not even by a Compress click.
  Compress(window)->click();
  EXPECT_EQ(RawSettings()->value(QStringLiteral("Previous Settings/Korvane")).toInt(), 7);
}

TEST_F(MainWindowTest, PortFieldRulesAndTheirPrompts) {
  CDownloadDlg window(store_);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

  for (const char* good : {" 80 ", "+80"}) {
    Port(window)->setText(QString::fromLatin1(good));
    EXPECT_TRUE(window.ReadControls()) << good;
    EXPECT_EQ(window.PortNumber(), 80u) << good;
  }
  Port(window)->setText(QStringLiteral("0"));
  EXPECT_TRUE(window.ReadControls());
  EXPECT_EQ(window.PortNumber(), 0u);
  EXPECT_TRUE(BoxTexts().empty());

  for (const char* bad : {"-1", "8a0", ""}) {
    testing::ClearSettings();
    ModalSeam::reset();
    Port(window)->setText(QString::fromLatin1(bad));
    Compress(window)->setChecked(true);
    EXPECT_FALSE(window.ReadControls()) << bad;
    ASSERT_EQ(BoxTexts(), std::vector<std::string>{"Please enter a positive integer."}) << bad;
    EXPECT_EQ(window.focusWidget(), Port(window)) << bad;
    EXPECT_EQ(Port(window)->selectedText(), Port(window)->text()) << bad;
    // The exchange stopped at the port: the check box was not read.
    EXPECT_FALSE(window.CompressFlag()) << bad;
    EXPECT_EQ(window.PortNumber(), 0u) << bad;
  }

  ModalSeam::reset();
  Port(window)->setText(QStringLiteral("70000"));
  EXPECT_FALSE(window.ReadControls());
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Please enter an integer between 0 and 65535."});
  EXPECT_EQ(Port(window)->selectedText(), QStringLiteral("70000"));
}

TEST_F(MainWindowTest, TheHostFieldRefusesThe49thCharacter) {
  CDownloadDlg window(store_);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  Host(window)->setFocus();
  QTest::keyClicks(Host(window), QString(49, QLatin1Char('a')));
  EXPECT_EQ(Host(window)->text(), QString(48, QLatin1Char('a')));
  EXPECT_TRUE(window.ReadControls());
  EXPECT_EQ(window.HostName(), std::string(48, 'a'));
  // The limit survives every exchange, writing included.
  window.WriteControls();
  EXPECT_EQ(Host(window)->maxLength(), 48);
}

TEST_F(MainWindowTest, CompressClicksWriteOneThenZeroButNotWhileThePortIsInvalid) {
  CDownloadDlg window(store_);
  auto stored = [] { return RawSettings()->value(QStringLiteral("Previous Settings/Compress")); };

  Compress(window)->click();
  EXPECT_TRUE(window.CompressFlag());
  EXPECT_EQ(stored().toInt(), 1);
  Compress(window)->click();
  EXPECT_FALSE(window.CompressFlag());
  EXPECT_EQ(stored().toInt(), 0);

  Port(window)->setText(QStringLiteral("abc"));
  Compress(window)->click();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Please enter a positive integer."});
  EXPECT_EQ(stored().toInt(), 0);
  EXPECT_FALSE(window.CompressFlag());
  // The box shows what is stored and used, not the refused click.
  EXPECT_FALSE(Compress(window)->isChecked());

  // The next start shows the last state written.
  Port(window)->setText(QStringLiteral("2222"));
  Compress(window)->click();
  CDownloadDlg second(store_);
  EXPECT_TRUE(Compress(second)->isChecked());
}

TEST_F(MainWindowTest, TheLogPaneShowsTheLogTextToItsEndAndIgnoresReturn) {
  CDownloadDlg window(store_);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.Log().AppendLogLine("first line");
  window.Log().AppendRaw("second\r\n");
  EXPECT_EQ(LogPane(window)->toPlainText(), QStringLiteral("first line\nsecond\n"));
  for (int i = 0; i < 300; ++i) window.Log().AppendLogLine("line " + std::to_string(i));
  QCoreApplication::processEvents();
  EXPECT_GT(LogPane(window)->verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(LogPane(window)->verticalScrollBar()->value(), LogPane(window)->verticalScrollBar()->maximum())
      << "the pane follows its end";

  // Return in the log pane does not reach the default button...
  LogPane(window)->setFocus();
  QTest::keyClick(LogPane(window), Qt::Key_Return);
  EXPECT_TRUE(ModalSeam::records().empty());
  EXPECT_TRUE(Download(window)->isEnabled());
  // ...Return in the host field does: a run starts and refuses the empty host.
  Host(window)->setFocus();
  QTest::keyClick(Host(window), Qt::Key_Return);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Host name error"});
  EXPECT_TRUE(Download(window)->isEnabled());
  EXPECT_EQ(LogPane(window)->toPlainText(), QStringLiteral("Normal mode - compression inactive\n"))
      << "the run cleared the log and wrote its mode";
}

TEST_F(MainWindowTest, DownloadRefusesPortZeroAndACancelledFileChoiceEndsQuietly) {
  CDownloadDlg window(store_);
  Host(window)->setText(QStringLiteral("127.0.0.1"));
  Port(window)->setText(QStringLiteral("0"));
  Download(window)->click();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Bad port number"});
  EXPECT_TRUE(Download(window)->isEnabled());

  ModalSeam::reset();
  Port(window)->setText(QStringLiteral("9"));
  ModalSeam::setNextFileName(QString());
  Download(window)->click();
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(ModalSeam::recordsOf(ModalRecord::Kind::FileChooser).size(), 1u);
  EXPECT_TRUE(Download(window)->isEnabled());
  EXPECT_FALSE(window.RunInProgress());
  EXPECT_FALSE(window.Runner().HasConnection());
}

TEST_F(MainWindowTest, ControlsSitAtTheirDialogUnitsInTabOrderWithoutClippedText) {
  CDownloadDlg window(store_);
  const DialogUnits du = DialogUnitsFor(window.font());
  // The run strip (31 units) between the button row and the log pane.
  EXPECT_EQ(window.size(), QSize(du.X(228), du.Y(221 + 31)));
  EXPECT_EQ(Host(window)->geometry(), du.Rect(100, 10, 80, 14));
  EXPECT_EQ(Port(window)->geometry(), du.Rect(100, 30, 35, 14));
  EXPECT_EQ(Download(window)->geometry(), du.Rect(10, 55, 80, 20));
  EXPECT_EQ(Compress(window)->geometry(), du.Rect(139, 60, 53, 11));
  EXPECT_EQ(LogPane(window)->geometry(), du.Rect(10, 85 + 31, 205, 125));

  // Tab order: host, Download, port, log, Compress.
  QWidget* expected[] = {Host(window), Download(window), Port(window), LogPane(window), Compress(window)};
  for (int i = 0; i + 1 < 5; ++i) EXPECT_EQ(testing::NextTabStop(expected[i]), expected[i + 1]) << i;

  for (QWidget* w : {static_cast<QWidget*>(window.findChild<QLabel*>(QStringLiteral("static_host"))),
                     static_cast<QWidget*>(window.findChild<QLabel*>(QStringLiteral("static_port"))),
                     static_cast<QWidget*>(Download(window)), static_cast<QWidget*>(Compress(window))}) {
    ASSERT_NE(w, nullptr);
    EXPECT_LE(w->sizeHint().width(), w->width() + 2) << w->objectName().toStdString();
  }
}

}  // namespace
}  // namespace mervix
