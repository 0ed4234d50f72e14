// A firmware run through the Japanese window against the device simulator:
// the log in Japanese, the mode line and the special-sector line as fixed.
#include "ShellTestSupport.h"

#include "shell/DownloadApp.h"
#include "tests/support/DevsimProcess.h"
#include "tests/operations/OperationsTestSupport.h"

namespace mervix {
namespace {

using mervix::testing::Bytes;
using mervix::testing::MakeImage;

TEST(JapaneseRunTest, FirmwareAndUserModuleRunsLogInJapanese) {
  testing::ClearSettings();
  ModalSeam::reset();
  CDownloadApp app;
  app.SetSocketLayerCheck([] { return true; });
  ASSERT_TRUE(app.InitInstance());
  ASSERT_EQ(ActiveLanguage(), Language::Japanese);

  mervix::testing::TempFolder dir;
  const Bytes image = MakeImage(70000, 1, 5);
  mervix::testing::WriteText(dir / "fw.mot", mervix::testing::SRecords(0x20000, image));
  mervix::testing::DevsimProcess sim;
  std::string error;
  ASSERT_TRUE(sim.Start({"--download-mode"}, &error)) << error;

  QtSettingsStore store;
  CDownloadDlg window(store);
  window.Operations().SetWorkDirectory(dir.path());
  testing::AimAt(window, sim.Port());

  ModalSeam::setNextAddress(std::optional<QString>(QStringLiteral("20000")));
  for (int i = 0; i < 3; ++i) ModalSeam::setNextAnswer(Answer::Ok);
  testing::ClickDownload(window, dir / "fw.mot");
  ASSERT_TRUE(testing::RunEnds(window)) << window.Log().Text();
  EXPECT_EQ(testing::BoxTexts(), (std::vector<std::string>{"ﾌｧｰﾑｳｪｱのﾊﾞｰｼﾞｮﾝは 1.05 です。",
                                                            "ﾌｧｰﾑｳｪｱを更新します。よろしいですか?", "ﾀﾞｳﾝﾛｰﾄﾞ完了"}));
  EXPECT_EQ(window.Log().Text(),
            "Normal mode - compression inactive\r\n"
            "ﾌｧｲﾙ " + testing::Shown(dir / "fw.img") + " をﾀﾞｳﾝﾛｰﾄﾞします。\r\n"
            "ﾌｧｰﾑｳｪｱのﾊﾞｰｼﾞｮﾝは 1.05 です。\r\n"
            "127.0.0.1 に接続中...\r\n"
            "ﾀﾞｳﾝﾛｰﾄﾞ開始\r\n"
            "64Kﾊﾞｲﾄ送信\r\n"
            "69Kﾊﾞｲﾄ送信\r\n"
            "ﾀﾞｳﾝﾛｰﾄﾞ完了\r\n");

  // The same file as a user module at its own address.
  ModalSeam::reset();
  ModalSeam::setNextAnswer(Answer::Ok);
  ModalSeam::setNextAnswer(Answer::Ok);
  testing::StartModuleRun(window, dir / "fw.mot", QStringLiteral("20000"));
  ASSERT_TRUE(testing::RunEnds(window)) << window.Log().Text();
  EXPECT_EQ(window.Log().Text(),
            "127.0.0.1 に接続中...\r\n"
            "Specifying special sector for user module\r\n"
            "ﾀﾞｳﾝﾛｰﾄﾞ開始\r\n"
            "64Kﾊﾞｲﾄ送信\r\n"
            "69Kﾊﾞｲﾄ送信\r\n"
            "ﾀﾞｳﾝﾛｰﾄﾞ完了\r\n");
  sim.Stop();
  EXPECT_EQ(sim.Record().Number("downloads_completed"), 2);
  EXPECT_EQ(sim.ReceivedImage(), image);
}

}  // namespace
}  // namespace mervix
