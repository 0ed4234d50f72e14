// mervix-cli convert and info, run as the built program: exit codes, what
// lands on disk and what is said on standard error.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "tests/support/Programs.h"
#include "TestFiles.h"

namespace mervix {
namespace {

using test::DataRecord;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class Cli : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.ok()); }

  // Runs mervix-cli in the temporary folder; returns its exit code.
  int Run(const std::string& args) {
    const std::string cmd = "cd '" + dir.path() + "' && LANG=C LC_ALL=C '" + ::mervix::testing::CliPath() + "' " + args +
                            " >'" + (dir / "stdout.txt") + "' 2>'" + (dir / "stderr.txt") + "'";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Out() { return Text(dir / "stdout.txt"); }
  std::string Err() { return Text(dir / "stderr.txt"); }
  static std::string Text(const std::string& path) {
    const std::vector<std::uint8_t> b = ReadFile(path);
    return std::string(b.begin(), b.end());
  }

  TempDir dir;
};

TEST_F(Cli, ConvertWritesTheImageBesideTheInputByTheNamingRule) {
  std::string header = "\x01\x02\x03\x04\x05\x06\x07\x08REV-";
  header += '\x02';
  header += '\x07';
  const std::vector<std::uint8_t> bytes(header.begin(), header.end());
  WriteFile(dir / "Router.MOT", "S0030000FC\r\n" + DataRecord(2, 0x10000, bytes) + "\r\nS804010000FA\r\n");
  ASSERT_EQ(Run("convert --base-address 10000 Router.MOT"), 0) << Err();
  EXPECT_EQ(ReadFile(dir / "router.img"), bytes);
  EXPECT_NE(Out().find("router.img"), std::string::npos) << Out();

  ASSERT_EQ(Run("info router.img"), 0) << Err();
  EXPECT_NE(Out().find("Firmware version 2.07 ."), std::string::npos) << Out();
  EXPECT_NE(Out().find("14 bytes"), std::string::npos) << Out();
  // The SHA-256 of the file, as the system's tool computes it.
  ASSERT_EQ(std::system(("cd '" + dir.path() + "' && sha256sum router.img > sum.txt").c_str()), 0);
  EXPECT_NE(Out().find("sha256: " + Text(dir / "sum.txt").substr(0, 64)), std::string::npos) << Out();

  // The S-record file itself: its records, range and a checksum warning.
  std::string record = DataRecord(2, 0x10000, bytes);
  record.back() = record.back() == '0' ? '1' : '0';
  WriteFile(dir / "bad.mot", "S0030000FC\r\n" + record + "\r\nS804010000FA\r\n");
  ASSERT_EQ(Run("info bad.mot"), 0) << Err();
  EXPECT_NE(Out().find("records: 3 of 3 lines; S0 1 S2 1 S8 1"), std::string::npos) << Out();
  EXPECT_NE(Out().find("addresses: 10000 to 1000D hex (14 bytes)"), std::string::npos) << Out();
  EXPECT_NE(Out().find("checksums that do not match (conversion ignores checksums): 1 (line 2)"), std::string::npos)
      << Out();
}

TEST_F(Cli, AFailedConversionExitsWithOneAndNamesTheLineAndResult) {
  WriteFile(dir / "bad.mot", DataRecord(1, 0, {1}) + "\n" + DataRecord(1, 1, {2}) + "\nS5030002FA\n");
  EXPECT_EQ(Run("convert --base-address 0 bad.mot out.img"), 1);
  EXPECT_NE(Err().find("line 3: result -2"), std::string::npos) << Err();
  EXPECT_TRUE(ReadFile(dir / "out.img").empty());

  EXPECT_EQ(Run("convert --module missing.mot"), 1);
  EXPECT_NE(Err().find("missing.mot"), std::string::npos) << Err();
  EXPECT_FALSE(test::Exists(dir / "missing.mot"));
  EXPECT_FALSE(test::Exists(dir / "inter.img"));

  EXPECT_EQ(Run("info missing.img"), 1);
  EXPECT_NE(Err().find("No such file"), std::string::npos) << Err();
}

TEST_F(Cli, ModuleConversionWritesInterImgAndPrintsTheLowestAddress) {
  WriteFile(dir / "mod.txt", DataRecord(3, 0x20010, {5, 6}) + "\n" + DataRecord(3, 0x20000, {1, 2, 3}) + "\n");
  ASSERT_EQ(Run("convert --module mod.txt"), 0) << Err();
  std::vector<std::uint8_t> expected = {1, 2, 3};
  expected.resize(0x10, 0xFF);
  expected.push_back(5);
  expected.push_back(6);
  EXPECT_EQ(ReadFile(dir / "inter.img"), expected);
  EXPECT_NE(Out().find("lowest address 20000"), std::string::npos) << Out();
}

TEST_F(Cli, UsageErrorsExitWithTwo) {
  WriteFile(dir / "fw.mot", DataRecord(1, 0, {1}) + "\n");
  EXPECT_EQ(Run("convert fw.mot"), 2);
  EXPECT_EQ(Run("convert --module --base-address 0 fw.mot"), 2);
  EXPECT_EQ(Run("convert --base-address"), 2);
  EXPECT_EQ(Run("convert --base-address 0x100 fw.mot"), 2);
  EXPECT_NE(Err().find("0x100"), std::string::npos) << Err();
  EXPECT_EQ(Run("convert --base-address 0 a.mot b.img c.img"), 2);
  EXPECT_EQ(Run("convert --bogus fw.mot"), 2);
  EXPECT_EQ(Run("info"), 2);
  // Help is an answer, not a usage error.
  for (const char* command : {"convert", "info", "compress", "decompress"}) {
    EXPECT_EQ(Run(std::string(command) + " --help"), 0) << command;
    EXPECT_EQ(Out().rfind(std::string("usage: mervix-cli ") + command, 0), 0u) << Out();
  }
  EXPECT_FALSE(test::Exists(dir / "fw.img")) << "a refused command line converts nothing";
}

}  // namespace
}  // namespace mervix
