// The command line's side of the operations: its options, its settings file,
// the terminal's Base Address question and the closing report.
#include "operations/CommandLine.h"
#include "tests/operations/OperationsTestSupport.h"

#include <cstdio>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix {
namespace {

using ::testing::HasSubstr;
using namespace mervix::testing;

TEST(CommandLineOptionsTest, DownloadAndModuleOptions) {
  OperationCommandOptions o;
  std::string error;
  ASSERT_EQ(ParseOperationArguments(OperationCommand::Download,
                                    {"--host", "10.0.0.1", "--port=0", "--base-address", "", "--compress", "--yes",
                                     "--work-dir", "/w", "--", "-fw.mot"},
                                    &o, &error),
            OptionsParse::Ok)
      << error;
  EXPECT_EQ(o.host, "10.0.0.1");
  EXPECT_EQ(o.port, 0u);  // passed on: the operation answers it with message 104
  EXPECT_EQ(o.address, std::string(""));
  EXPECT_TRUE(o.compress && o.assumeYes);
  EXPECT_EQ(o.workDirectory, "/w");
  EXPECT_EQ(o.file, "-fw.mot");

  // download: no host is allowed (message 102), no file is not.
  EXPECT_EQ(ParseOperationArguments(OperationCommand::Download, {"fw.img"}, &o, &error), OptionsParse::Ok);
  EXPECT_FALSE(o.port.has_value());
  EXPECT_FALSE(o.address.has_value());
  struct Bad {
    OperationCommand command;
    std::vector<std::string> args;
    const char* says;
  } bad[] = {
      {OperationCommand::Download, {"--host", "h"}, "missing FILE"},
      {OperationCommand::Download, {"--port", "65536", "f"}, "bad port"},
      {OperationCommand::Download, {"--port", "-1", "f"}, "bad port"},
      {OperationCommand::Download, {"--address", "1", "f"}, "unknown option"},
      {OperationCommand::Download, {"a", "b"}, "more than one file"},
      {OperationCommand::Download, {"--timeout", "0", "f"}, "bad time-out"},
      {OperationCommand::Module, {"--address", "20000", "m.mot"}, "missing --host"},
      {OperationCommand::Module, {"--host", "h", "m.mot"}, "missing --address"},
      {OperationCommand::Module, {"--host", "h", "--address", "1", "--compress", "m"}, "unknown option"},
      {OperationCommand::Module, {"--host"}, "needs a value"},
  };
  for (const Bad& b : bad) {
    error.clear();
    EXPECT_EQ(ParseOperationArguments(b.command, b.args, &o, &error), OptionsParse::Usage) << b.says;
    EXPECT_THAT(error, HasSubstr(b.says));
  }
  EXPECT_EQ(ParseOperationArguments(OperationCommand::Module, {"--help"}, &o, &error), OptionsParse::Help);
}

TEST(CommandLineSettingsTest, FileStoreKeepsTextsExactlyAndNeverWritesPresets) {
  TempFolder dir;
  const std::string path = dir / "settings.ini";
  {
    MemorySettingsStore store;
    std::string error;
    ASSERT_TRUE(store.Open(path, &error)) << error;  // a missing file is an empty store
    store.Preset(kSettingsSection, setting_key::kKorvane, "1");
    store.SetSettingText(kSettingsSection, setting_key::kBaseAddress, " 10000\\x\nﾎｽﾄ");
    store.SetSettingInt(kSettingsSection, setting_key::kCompress, 1);
    EXPECT_EQ(store.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0), 1);
  }
  MemorySettingsStore again;
  std::string error;
  ASSERT_TRUE(again.Open(path, &error)) << error;
  EXPECT_EQ(again.GetSettingText(kSettingsSection, setting_key::kBaseAddress, ""), " 10000\\x\nﾎｽﾄ");
  EXPECT_EQ(again.GetSettingInt(kSettingsSection, setting_key::kCompress, 0), 1);
  EXPECT_EQ(again.GetSettingInt(kSettingsSection, setting_key::kKorvane, 5), 5);
  EXPECT_EQ(again.GetSettingInt(kSettingsSection, setting_key::kBaseAddress, 9), 9);  // not a number

  WriteText(dir / "broken.ini", "[Previous Settings]\nno equals sign\n");
  MemorySettingsStore broken;
  EXPECT_FALSE(broken.Open(dir / "broken.ini", &error));
  EXPECT_THAT(error, HasSubstr("line 2"));
}

TEST(CommandLineOperatorTest, BaseAddressFromTheOptionOrTheTerminal) {
  FakeOperator terminal;
  auto ask = [&](const char* input, std::optional<std::string> option) {
    std::string text = input;
    std::FILE* in = fmemopen(text.data(), text.size(), "r");
    char* errText = nullptr;
    std::size_t errSize = 0;
    std::FILE* err = open_memstream(&errText, &errSize);
    CommandLineOperator op(terminal, ControlValues{}, "f", option, text.empty() ? nullptr : in, err);
    std::optional<std::string> answer = op.AskBaseAddress("8000");
    std::fclose(err);
    std::free(errText);
    std::fclose(in);
    return answer;
  };
  EXPECT_EQ(ask("", std::string("10000")), std::string("10000"));  // the option asks nothing
  EXPECT_EQ(ask("1F000\n", std::nullopt), std::string("1F000"));
  EXPECT_EQ(ask("\n", std::nullopt), std::string("8000"));  // Return keeps the preset
  EXPECT_EQ(ask("", std::nullopt), std::nullopt);           // end of input cancels
}

TEST(CommandLineReportTest, EveryEndOfARunIsReportedWithItsReason) {
  FakeDeviceLink link;
  FakeOperator terminal;
  CommandLineOperator op(terminal, ControlValues{"127.0.0.1", 2222, false}, "", std::nullopt, nullptr, nullptr);
  LogPane log;
  MemorySettingsStore settings;
  DownloadOperations ops(link, op, log, settings);
  auto report = [&](const PreparationResult& prepared) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* err = open_memstream(&text, &size);
    const int code = CompleteCommandRun(
        ops, prepared, [&](int) { link.Run(); return LoopWait::NoConnection; }, 0, op, "download", err);
    std::fclose(err);
    std::string out(text, size);
    std::free(text);
    return std::make_pair(code, out);
  };
  // A silent end of the window.
  auto [code, err] = report(ops.OnDownload());  // the chooser answers "": cancelled
  EXPECT_EQ(code, 1);
  EXPECT_EQ(err, "mervix-cli download: no file was chosen\n");

  // A run refused by the device.
  TempFolder dir;
  WriteBytes(dir / "fw.img", MakeImage(2048, 1, 0));
  CommandLineOperator op2(terminal, ControlValues{"127.0.0.1", 2222, false}, dir / "fw.img", std::nullopt, nullptr,
                          nullptr);
  DownloadOperations ops2(link, op2, log, settings);
  link.ThenFrame(StatusFrame(2));
  link.ThenFrame(NakFrame(0x0020));
  terminal.answers = {Answer::Ok};
  const PreparationResult started = ops2.OnDownload();
  ASSERT_TRUE(started.started()) << started.reason;
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* errFile = open_memstream(&text, &size);
  code = CompleteCommandRun(
      ops2, started, [&](int) { link.Run(); return LoopWait::Notified; }, 0, op2, "download", errFile);
  std::fclose(errFile);
  const std::string refused(text, size);
  std::free(text);
  EXPECT_EQ(code, 1);
  EXPECT_EQ(refused, "mervix-cli download: the run failed: NAK(Download size error)\n");
}

}  // namespace
}  // namespace mervix
