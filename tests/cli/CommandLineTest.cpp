// The command line's options (send, download, module), its settings file,
// the terminal's Base Address question and the terminal operator.
#include "cli/Commands.h"
#include "cli/support/CommandLine.h"
#include "cli/support/FleetBoard.h"
#include "cli/support/FleetRun.h"
#include "cli/support/TerminalOperator.h"
#include "resources/MessageTable.h"
#include "tests/cli/CliTestSupport.h"

#include <cstdio>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix::cli {
namespace {

using ::testing::HasSubstr;
using mervix::testing::Joined;
using mervix::testing::TempPath;
using mervix::testing::TextStream;

TEST(SendArguments, AcceptedForms) {
  SendOptions o;
  std::string error;
  ASSERT_EQ(ParseSendArguments({"--host", "dev1", "image.img"}, &o, &error), OptionsParse::Ok) << error;
  EXPECT_EQ(o.device.host, "dev1");
  EXPECT_EQ(o.device.port, std::nullopt);
  EXPECT_EQ(o.port, 2222);
  EXPECT_FALSE(o.assumeYes);
  EXPECT_EQ(o.timeoutMs, -1) << "no --timeout: the default limits";
  EXPECT_EQ(o.switchPauseMs, 3000);
  EXPECT_EQ(o.retries, 0);
  EXPECT_FALSE(o.json);
  EXPECT_EQ(o.progress, ProgressMode::Auto);
  EXPECT_EQ(o.file, "image.img");

  ASSERT_EQ(ParseSendArguments({"--host", "h", "--timeout=0", "--retries", "3", "--json", "--progress", "never", "f"},
                               &o, &error),
            OptionsParse::Ok)
      << error;
  EXPECT_EQ(o.timeoutMs, 0) << "0: no reply time-out";
  EXPECT_EQ(o.retries, 3);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.progress, ProgressMode::Never);

  ASSERT_EQ(ParseSendArguments({"a.img", "--port=65535", "-y", "--host=10.0.0.1", "--timeout", "2.5",
                                "--switch-pause=0"},
                               &o, &error),
            OptionsParse::Ok)
      << error;
  EXPECT_EQ(o.port, 65535);
  EXPECT_TRUE(o.assumeYes);
  EXPECT_EQ(o.timeoutMs, 2500);
  EXPECT_EQ(o.switchPauseMs, 0);
  EXPECT_EQ(o.device.host, "10.0.0.1");
  EXPECT_EQ(o.file, "a.img");

  // "--" ends the options; the last of a repeated option counts.
  ASSERT_EQ(ParseSendArguments({"--host", "h", "--timeout", "5", "--timeout", "0.25", "--switch-pause", ".1", "--",
                                "--odd-name.img"},
                               &o, &error),
            OptionsParse::Ok)
      << error;
  EXPECT_EQ(o.file, "--odd-name.img");
  EXPECT_EQ(o.timeoutMs, 250);
  EXPECT_EQ(o.switchPauseMs, 100);
  for (const char* help : {"--help", "-h"}) {
    EXPECT_EQ(ParseSendArguments({"--host", "h", help}, &o, &error), OptionsParse::Help);
  }
}

// A --host as "host" or "host:port": its own port or none, for --port to fill.
std::vector<std::string> Texts(const std::vector<DeviceAddress>& hosts) {
  std::vector<std::string> texts;
  for (const DeviceAddress& h : hosts) texts.push_back(h.host + (h.port ? "@" + std::to_string(*h.port) : ""));
  return texts;
}

// Several devices: every --host in order, each with the port its text names
// (the last is still the single device's), a hosts file alone is enough,
// and the fleet's own options.
TEST(SendArguments, FleetOptions) {
  SendOptions o;
  std::string error;
  ASSERT_EQ(ParseSendArguments({"--host", "a:2300", "f", "--host=[::1]", "--host", "[fe80::2]:1", "--port", "9"}, &o,
                               &error),
            OptionsParse::Ok)
      << error;
  EXPECT_EQ(Texts(o.hosts), (std::vector<std::string>{"a@2300", "::1", "fe80::2@1"}));
  EXPECT_EQ(o.device.host, "fe80::2");
  EXPECT_EQ(o.device.PortOr(o.port), 1) << "the port of the text over --port";
  EXPECT_EQ(o.hosts[1].PortOr(o.port), 9);
  EXPECT_TRUE(o.Fleet());
  EXPECT_EQ(o.jobs, 16);
  ASSERT_EQ(ParseSendArguments({"--hosts", "list.txt", "--jobs", "3", "--record", "r.jsonl", "f"}, &o, &error),
            OptionsParse::Ok)
      << error;
  EXPECT_TRUE(o.Fleet());
  EXPECT_EQ(o.hostsFile, "list.txt");
  EXPECT_EQ(o.jobs, 3);
  EXPECT_EQ(o.recordFile, "r.jsonl");
  ASSERT_EQ(ParseSendArguments({"--host", "a", "f"}, &o, &error), OptionsParse::Ok) << error;
  EXPECT_FALSE(o.Fleet());

  // download and module take the same; the module needs no --host with a
  // hosts file, and an empty --host (message 102 for one device) is no device.
  OperationCommandOptions m;
  ASSERT_EQ(ParseOperationArguments(OperationCommand::Module,
                                    {"--hosts", "list.txt", "--address", "20000", "--jobs", "4", "f"}, &m, &error),
            OptionsParse::Ok)
      << error;
  EXPECT_TRUE(m.Fleet());
  EXPECT_EQ(m.jobs, 4);
  ASSERT_EQ(ParseOperationArguments(OperationCommand::Download, {"--host", "a", "--host=", "--host", "b", "f"}, &m,
                                    &error),
            OptionsParse::Ok);
  EXPECT_EQ(Texts(m.hosts), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(m.Fleet());
}

// The board: every device while they fit, else those running and those
// that did not finish first, then a count of the rest; lines cut to the
// terminal's width by columns (half-width katakana take one, kanji two).
TEST(FleetBoardTest, ShowsWhatFitsAndWhatNeedsAnEye) {
  std::vector<std::string> labels;
  for (int i = 0; i < 30; ++i) labels.push_back("dev" + std::to_string(i));
  FleetBoard board(labels);
  for (std::size_t i : {4u, 7u, 20u}) board.Started(i);
  Progress sending;
  sending.phase = ProgressPhase::Sending;
  sending.total = 200000;
  sending.blocks = 4;
  sending.block = 2;
  sending.bytesAcknowledged = 65536;
  board.Progressed(7, sending, 1000);
  board.Started(9);
  Failure refused;
  refused.origin = FailureOrigin::DeviceRefusal;
  refused.message = "NAK(Download size error)";
  board.Ended(9, RunOutcome::Failed, refused);
  board.Started(10);
  board.Ended(10, RunOutcome::Finished, Failure());

  const std::vector<std::string> small = board.Lines(8, 200);
  EXPECT_EQ(small, (std::vector<std::string>{
                       "dev4 \xC2\xB7 Connecting to dev4",
                       "dev7 \xC2\xB7 Sending block 2 of 4 \xC2\xB7 64 of 196 KB (32%)",
                       "dev20 \xC2\xB7 Connecting to dev20",
                       "dev9 \xC2\xB7 Failed: NAK(Download size error)",
                       "... and 26 more",
                       "30 devices: 1 finished, 1 not finished, 3 running, 25 waiting \xC2\xB7 0 KB/s",
                   }));
  const std::vector<std::string> tall = board.Lines(40, 12);
  ASSERT_EQ(tall.size(), 31u);
  EXPECT_EQ(tall[0], "dev0 \xC2\xB7 Wait");  // 11 of 12 columns: the last stays free
  EXPECT_EQ(tall[10], "dev10 \xC2\xB7 Dow");

  EXPECT_EQ(FitToColumns("\xEF\xBE\x83\xEF\xBE\x9E\xEF\xBE\x8A\xEF\xBE\x9E", 3),
            "\xEF\xBE\x83\xEF\xBE\x9E\xEF\xBE\x8A");                               // ﾃﾞﾊﾞ -> ﾃﾞﾊ
  EXPECT_EQ(FitToColumns("\xE5\xAE\x8C\xE4\xBA\x86", 3), "\xE5\xAE\x8C");  // 完了 -> 完
  EXPECT_EQ(FitToColumns("abc", 0), "");
}

// The hosts list: every form of a device address, ports override the
// default, comments, blanks around a line and blank lines go, a bad line is
// named by its number and why.
TEST(HostsList, ParsedLineByLine) {
  std::vector<FleetDevice> d;
  std::string error;
  ASSERT_TRUE(ParseHostsText("# line\n10.0.0.5\n\n  dev-2:2300  # bench 2\r\n\t10.0.0.7:1\n[::1]:2400\n"
                             "[fe80::1%eth0]\nfe80::2:2222\n",
                             2222, &d, &error))
      << error;
  std::vector<std::string> got;
  for (const FleetDevice& device : d) got.push_back(device.host + "@" + std::to_string(device.port));
  EXPECT_EQ(got, (std::vector<std::string>{"10.0.0.5@2222", "dev-2@2300", "10.0.0.7@1", "::1@2400",
                                           "fe80::1%eth0@2222", "fe80::2:2222@2222"}));
  const struct {
    const char* text;
    const char* says;
  } bad[] = {
      {"a\nb:0\n", "line 2: bad device 'b:0': bad port '0' (1 to 65535)"},
  };
  for (const auto& b : bad) {
    std::vector<FleetDevice> ignored;
    EXPECT_FALSE(ParseHostsText(b.text, 2222, &ignored, &error)) << b.text;
    EXPECT_THAT(error, HasSubstr(b.says)) << b.text;
  }
}

TEST(SendArguments, UsageErrorsSayWhatIsWrong) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } bad[] = {
      {{}, "missing FILE"},
      {{"image.img"}, "missing --host HOST"},
      {{"--host", "h"}, "missing FILE"},
      {{"--host"}, "option --host needs a value"},
      {{"--host=", "f"}, "the host is empty"},  // not the file taken as the host
      {{"--host", "", "f"}, "the host is empty"},
      {{"--host", "h", "--port", "0", "f"}, "bad port '0' (1 to 65535)"},
      {{"--host", "h", "--port", "65536", "f"}, "bad port"},
      {{"--host", "h", "--port", "22x", "f"}, "bad port"},
      {{"--host", "h", "--port", "-1", "f"}, "bad port"},
      {{"--host", "h", "--port", "+1", "f"}, "bad port"},
      {{"--host", "h", "--port", "", "f"}, "bad port"},
      {{"--host", "h", "--retries", "-1", "f"}, "bad retry count"},
      {{"--host", "h", "--retries", "1000", "f"}, "bad retry count"},
      {{"--host", "h", "--retries", "", "f"}, "bad retry count"},
      {{"--host", "h", "--progress", "sometimes", "f"}, "bad progress mode"},
      {{"--host", "h", "--timeout", "-3", "f"}, "bad time-out"},
      {{"--host", "h", "--timeout", "1e3", "f"}, "bad time-out"},
      {{"--host", "h", "--timeout", "abc", "f"}, "bad time-out"},
      {{"--host", "h", "--switch-pause", "-1", "f"}, "bad pause"},
      {{"--host", "h", "--switch-pause", "", "f"}, "bad pause"},
      {{"--host", "h", "--verbose", "f"}, "unknown option '--verbose'"},
      {{"--host", "h", "-fw.img"}, "unknown option"},
      {{"--host", "h", "a.img", "b.img"}, "more than one file: 'a.img' and 'b.img'"},
      {{"--host", "a", "--host", "", "f"}, "the host is empty"},
      {{"--host", "h", "--jobs", "0", "f"}, "bad job count"},
      {{"--host", "h", "--jobs", "x", "f"}, "bad job count"},
      {{"--hosts=", "f"}, "the hosts file is empty"},
      {{"--host", "h:0", "f"}, "bad host 'h:0': bad port '0' (1 to 65535)"},
      {{"--host", "a", "--host", "[::1", "f"}, "bad host '[::1': no ']'"},
  };
  for (const auto& b : bad) {
    SendOptions o;
    std::string error;
    EXPECT_EQ(ParseSendArguments(b.args, &o, &error), OptionsParse::Usage) << Joined(b.args);
    EXPECT_THAT(error, HasSubstr(b.says)) << Joined(b.args);
  }
}

TEST(OperationArguments, DownloadAndModuleOptions) {
  OperationCommandOptions o;
  std::string error;
  ASSERT_EQ(ParseOperationArguments(OperationCommand::Download,
                                    {"--host", "10.0.0.1", "--port=0", "--base-address", "", "--compress", "--yes",
                                     "--work-dir", "/w", "--korvane", "--settings=s.ini", "--timeout", "7",
                                     "--switch-pause", "0.5", "--", "-fw.mot"},
                                    &o, &error),
            OptionsParse::Ok)
      << error;
  EXPECT_EQ(o.device.host, "10.0.0.1");
  EXPECT_EQ(o.port, 0u);  // passed on: the operation answers it with message 104
  EXPECT_EQ(o.address, std::string(""));
  EXPECT_TRUE(o.compress && o.assumeYes && o.korvane);
  EXPECT_EQ(o.workDirectory, "/w");
  EXPECT_EQ(o.settingsFile, "s.ini");
  EXPECT_EQ(o.timeoutMs, 7000);
  EXPECT_EQ(o.switchPauseMs, 500);
  EXPECT_EQ(o.file, "-fw.mot");

  // download: no host is allowed (message 102), nor an empty one; an empty
  // file name is the chooser's answer, not a missing file.
  ASSERT_EQ(ParseOperationArguments(OperationCommand::Download, {"--host=", ""}, &o, &error), OptionsParse::Ok);
  EXPECT_EQ(o.device, DeviceAddress());
  EXPECT_TRUE(o.hosts.empty());
  EXPECT_EQ(o.file, "");
  EXPECT_FALSE(o.port.has_value());
  EXPECT_FALSE(o.address.has_value());

  ASSERT_EQ(ParseOperationArguments(OperationCommand::Module,
                                    {"--address", "123456789ABCDEF", "m.mot", "--host", "h", "--port", "65535"}, &o,
                                    &error),
            OptionsParse::Ok)
      << error;
  EXPECT_EQ(o.address, std::string("123456789ABCDEF"));
  EXPECT_EQ(o.port, 65535u);

  const struct {
    OperationCommand command;
    std::vector<std::string> args;
    const char* says;
  } bad[] = {
      {OperationCommand::Download, {"--host", "h"}, "missing FILE"},
      {OperationCommand::Download, {"--port", "65536", "f"}, "bad port '65536' (0 to 65535)"},
      {OperationCommand::Download, {"--port", "-1", "f"}, "bad port"},
      {OperationCommand::Download, {"--address", "1", "f"}, "unknown option"},
      {OperationCommand::Download, {"a", "b"}, "more than one file"},
      {OperationCommand::Download, {"--timeout", "-1", "f"}, "bad time-out"},
      {OperationCommand::Download, {"--settings=", "f"}, "the settings file name is empty"},
      {OperationCommand::Download, {"--work-dir", "", "f"}, "the work folder name is empty"},
      {OperationCommand::Download, {"--base-address", "0123456789ABCDEF", "f"}, "longer than 15 characters"},
      {OperationCommand::Module, {"--address", "20000", "m.mot"}, "missing --host"},
      {OperationCommand::Module, {"--host=", "--address", "20000", "m.mot"}, "missing --host"},
      {OperationCommand::Module, {"--host", "h", "m.mot"}, "missing --address"},
      {OperationCommand::Module, {"--host", "h", "--address", "1", "--compress", "m"}, "unknown option"},
      {OperationCommand::Module, {"--host", "h", "--address", "1", "--korvane", "m"}, "unknown option"},
      {OperationCommand::Module, {"--host"}, "option --host needs a value"},
      {OperationCommand::Download, {"f", "--timeout"}, "option --timeout needs a value"},
      {OperationCommand::Download, {"--host", ":2222", "f"}, "bad host ':2222': the host is empty"},
      {OperationCommand::Module, {"--host", "h:x", "--address", "1", "m"}, "bad host 'h:x': bad port 'x'"},
  };
  for (const auto& b : bad) {
    error.clear();
    EXPECT_EQ(ParseOperationArguments(b.command, b.args, &o, &error), OptionsParse::Usage) << Joined(b.args);
    EXPECT_THAT(error, HasSubstr(b.says)) << Joined(b.args);
  }
  EXPECT_EQ(ParseOperationArguments(OperationCommand::Module, {"--help"}, &o, &error), OptionsParse::Help);
}

TEST(CommandLineSettings, FileStoreKeepsTextsExactlyAndNeverWritesPresets) {
  const std::string path = TempPath("settings.ini");
  {
    OperationCommandOptions options;
    options.settingsFile = path;  // a missing file is an empty store
    options.korvane = true;
    MemorySettingsStore store;
    std::string error;
    ASSERT_TRUE(OpenCommandSettings(options, &store, &error)) << error;
    EXPECT_EQ(store.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0), 1);
    store.SetSettingText(kSettingsSection, setting_key::kBaseAddress, " 10000\\x\nﾎｽﾄ");
    store.SetSettingInt(kSettingsSection, setting_key::kCompress, 1);
  }
  MemorySettingsStore again;
  std::string error;
  ASSERT_TRUE(again.Open(path, &error)) << error;
  EXPECT_EQ(again.GetSettingText(kSettingsSection, setting_key::kBaseAddress, ""), " 10000\\x\nﾎｽﾄ");
  EXPECT_EQ(again.GetSettingInt(kSettingsSection, setting_key::kCompress, 0), 1);
  EXPECT_EQ(again.GetSettingInt(kSettingsSection, setting_key::kKorvane, 5), 5);  // the preset was not written
  EXPECT_EQ(again.GetSettingInt(kSettingsSection, setting_key::kBaseAddress, 9), 9);  // not a number
  std::remove(path.c_str());

  const std::string broken = TempPath("broken.ini");
  mervix::testing::WriteFile(broken, "[Previous Settings]\nno equals sign\n");
  OperationCommandOptions options;
  options.settingsFile = broken;
  MemorySettingsStore store;
  EXPECT_FALSE(OpenCommandSettings(options, &store, &error));
  EXPECT_THAT(error, HasSubstr("line 2"));
  std::remove(broken.c_str());
}

TEST(CommandLineTest, BaseAddressAskedOnTheTerminal) {
  TextStream err;
  const struct {
    const char* input;  // null: no input at all
    std::optional<std::string> answer;
  } cases[] = {
      {"1F000\n", std::string("1F000")},
      {"1F000\r\n", std::string("1F000")},
      {"\n", std::string("8000")},  // Return keeps the preset
      {"", std::nullopt},           // end of input cancels
      {nullptr, std::nullopt},
  };
  for (const auto& c : cases) {
    TextStream in(c.input ? c.input : "");
    EXPECT_EQ(AskBaseAddressOnTerminal("8000", c.input ? in.file() : nullptr, err.file()), c.answer)
        << (c.input ? c.input : "(none)");
  }
  EXPECT_THAT(err.Text(), HasSubstr("Please enter the base address in hexadecimal [8000]: 1F000\n"));
}

TEST(TerminalOperatorTest, AnswersFromInputAndEndOfInput) {
  SetActiveLanguage(Language::English);
  TextStream in("  YES \nwhat\nn\nOk\nx\n");
  TextStream out;
  TextStream err;
  TerminalOperator op(in.file(), out.file(), err.file(), false);
  EXPECT_EQ(op.ShowMessageBox("Retry?", ButtonSet::YesNo), Answer::Yes);
  EXPECT_EQ(op.ShowMessageBox("Retry?", ButtonSet::YesNo), Answer::No);  // "what" asks again
  EXPECT_EQ(op.ShowMessageBox("Go?", ButtonSet::OkCancel), Answer::Ok);
  EXPECT_EQ(op.ShowMessageBox("Go?", ButtonSet::OkCancel), Answer::Cancel);  // "x", then end of input
  EXPECT_EQ(op.Ask(Question::Retry, "Retry?", ButtonSet::YesNo), Answer::No);
  op.Show(112, "Plain");
  EXPECT_EQ(err.Text(),
            "Retry? [yes/no]   YES \nRetry? [yes/no] what\nRetry? [yes/no] n\nGo? [ok/cancel] Ok\n"
            "Go? [ok/cancel] x\nGo? [ok/cancel] \nRetry? [yes/no] \nPlain\n");
  op.PrintLog("127.0.0.1 Connecting...\r\n");
  op.PrintLog("");
  op.PrintLog("ﾀﾞｳﾝﾛｰﾄﾞ開始\r\nlone\rend\n");
  EXPECT_EQ(out.Text(), "127.0.0.1 Connecting...\nﾀﾞｳﾝﾛｰﾄﾞ開始\nlone\nend\n");
}

TEST(TerminalOperatorTest, YesAnswersOnlyTheConfirmation) {
  for (const Language language : {Language::English, Language::Japanese}) {
    SetActiveLanguage(language);
    TextStream err;
    TerminalOperator op(nullptr, stdout, err.file(), true);
    const std::string confirm = GetMessageText(IDS_ASK_WRITE);
    EXPECT_EQ(op.Ask(Question::Confirm, confirm, ButtonSet::OkCancel), Answer::Ok);
    EXPECT_EQ(err.Text(), confirm + " [ok/cancel] ok (--yes)\n");
    // Any other question is still asked; with no input it is No or Cancel.
    EXPECT_EQ(op.Ask(Question::Retry, GetMessageText(IDS_ASK_RETRY), ButtonSet::YesNo), Answer::No);
    EXPECT_EQ(op.ShowMessageBox(confirm, ButtonSet::OkCancel), Answer::Cancel);
  }
  SetActiveLanguage(Language::English);
}

}  // namespace
}  // namespace mervix::cli
