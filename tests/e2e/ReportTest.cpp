// mervix-cli report on the record of a real roll-out: three simulated
// devices of an inventory in two groups, one refusing, written with
// --record by mervix-cli send; then a line cut short as a crash leaves it.
// The report counts the devices by cause and group, names the refusing one,
// warns about the cut line and writes the CSV and the page.
#include "tests/support/ChildProcess.h"
#include "tests/support/DevsimProcess.h"
#include "tests/support/Patterns.h"
#include "tests/support/Programs.h"

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix {
namespace {

using ::testing::HasSubstr;
using mervix::testing::DevsimFleet;
using mervix::testing::ProcessResult;
using mervix::testing::RunProcess;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

TEST(ReportTest, TheRecordOfAFleetRunReportedAsTextCsvAndHtml) {
  DevsimFleet fleet;
  std::string error;
  ASSERT_TRUE(fleet.Start(3, {"--download-mode", "--fault-device", "1:size=nak:0x0020"}, &error)) << error;
  const std::vector<std::uint16_t> ports = fleet.Ports();
  const std::string imagePath = fleet.FilePath("small.img");
  std::ofstream(imagePath, std::ios::binary) << std::string(70000, 'x');
  const std::string inventory = fleet.FilePath("inventory.csv");
  {
    std::ofstream csv(inventory, std::ios::binary);
    csv << "host,name,group,serial\r\n";
    for (std::size_t k = 0; k < ports.size(); ++k) {
      csv << "127.0.0.1:" << ports[k] << ",press-" << k << "," << (k < 2 ? "line-a" : "line-b") << ",SN-" << k << "\r\n";
    }
  }
  const std::string record = fleet.FilePath("runs.jsonl");
  const ProcessResult run = RunProcess({::mervix::testing::CliPath(), "send", "--yes", "--progress", "never",
                                        "--inventory", inventory, "--record", record, imagePath},
                                       std::nullopt, mervix::testing::kEnglishLocale, 30000);
  ASSERT_EQ(run.exitCode, 1) << run.err;
  fleet.Stop();
  // A crash in the middle of the next line.
  std::ofstream(record, std::ios::binary | std::ios::app) << "{\"device\":\"127.0.0.1:" << ports[0] << "\",\"outc";

  const std::string csvPath = fleet.FilePath("runs.csv");
  const std::string htmlPath = fleet.FilePath("runs.html");
  const std::vector<std::string> argv = {::mervix::testing::CliPath(), "report", record, "--csv", csvPath,
                                         "--html", htmlPath};
  const ProcessResult p = RunProcess(argv, std::nullopt, mervix::testing::kEnglishLocale, 30000);
  EXPECT_EQ(p.exitCode, 1) << "a device did not finish\n" << p.out << p.err;
  EXPECT_THAT(p.out, HasSubstr("3 devices: 2 finished, 1 not finished\n"));
  EXPECT_THAT(p.out, HasSubstr("  1  refused by the device (refused)\n"));
  EXPECT_THAT(p.out, HasSubstr("  line-a: 2 devices, 1 finished, 1 not finished\n"
                               "  line-b: 1 devices, 1 finished, 0 not finished\n"));
  EXPECT_THAT(p.out, HasSubstr("Not finished:\n  press-1 (127.0.0.1:" + std::to_string(ports[1]) +
                               ")  [line-a]  refused by the device: "));
  EXPECT_THAT(p.out, HasSubstr("Duration: median "));
  EXPECT_THAT(p.err, HasSubstr(record + ": line 4 skipped"));

  const std::string csv = ReadWhole(csvPath);
  EXPECT_EQ(csv.rfind("\xEF\xBB\xBF" "device,name,group,outcome,cause,exit_code,", 0), 0u) << csv;
  EXPECT_THAT(csv, HasSubstr(",failure_text,serial\r\n"));
  EXPECT_EQ(Count(csv, "\r\n"), 4u) << "the heading and one row per device";
  EXPECT_THAT(csv, HasSubstr("127.0.0.1:" + std::to_string(ports[1]) + ",press-1,line-a,failed,refused,1,"));
  EXPECT_THAT(csv, HasSubstr(",SN-1\r\n"));
  const std::string html = ReadWhole(htmlPath);
  EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_EQ(Count(html, "<tr data-i="), 3u);
  EXPECT_THAT(html, HasSubstr("Outcomes by group"));

  // In Japanese; and a record whose every device finished exits 0.
  const ProcessResult ja = RunProcess({::mervix::testing::CliPath(), "report", record}, std::nullopt,
                                      {"LANG=ja_JP.UTF-8", "-LC_ALL", "-LC_MESSAGES", "-LANGUAGE"}, 30000);
  EXPECT_EQ(ja.exitCode, 1);
  EXPECT_THAT(ja.out, HasSubstr("3 台: 完了 2, 未完了 1\n"));
  EXPECT_THAT(ja.err, HasSubstr("4 行目"));
  const std::string finishedOnly = fleet.FilePath("finished.jsonl");
  {
    std::ifstream in(record);
    std::ofstream out(finishedOnly);
    for (std::string line; std::getline(in, line);) {
      if (line.find("\"outcome\":\"finished\"") != std::string::npos) out << line << "\n";
    }
  }
  const ProcessResult all = RunProcess({::mervix::testing::CliPath(), "report", finishedOnly}, std::nullopt,
                                       mervix::testing::kEnglishLocale, 30000);
  EXPECT_EQ(all.exitCode, 0) << all.out << all.err;
  EXPECT_THAT(all.out, HasSubstr("2 devices: 2 finished, 0 not finished\n"));

  // A record that cannot be read, and an output over the record itself.
  const ProcessResult missing = RunProcess({::mervix::testing::CliPath(), "report", fleet.FilePath("none.jsonl")},
                                           std::nullopt, mervix::testing::kEnglishLocale, 30000);
  EXPECT_EQ(missing.exitCode, 7);
  EXPECT_THAT(missing.err, HasSubstr("none.jsonl"));
  const std::string before = ReadWhole(record);
  const ProcessResult over = RunProcess({::mervix::testing::CliPath(), "report", record, "--csv", record},
                                        std::nullopt, mervix::testing::kEnglishLocale, 30000);
  EXPECT_EQ(over.exitCode, 7) << over.err;
  EXPECT_EQ(ReadWhole(record), before);
}

}  // namespace
}  // namespace mervix
