// The survey of S-record text behind `mervix-cli info`: types, address range,
// checksum mismatches and unreadable records, checked on text built here and
// on what srec_cat writes.
#include "image/SRecordSurvey.h"

#include "TestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace mervix {
namespace {

using test::DataRecord;
using test::TempDir;
using test::WriteFile;

TEST(SRecordSurvey, CountsTypesRangeAndBadChecksums) {
  std::string bad = DataRecord(2, 0x10100, {9, 9});
  bad[bad.size() - 1] = bad[bad.size() - 1] == '0' ? '1' : '0';  // a checksum digit changed
  const std::string text = "S00600004844521B\r\n" + DataRecord(3, 0x20000, {1, 2, 3}) + "\r\n" +
                           DataRecord(1, 0x0100, {4}) + "\r\n" + bad + "\r\nnot a record\r\nS1zz\r\n" +
                           "S5030003F9\r\nS9030000FC\r\n";
  const SRecordSurvey s = SurveySRecordText(text);
  EXPECT_EQ(s.lines, 8u);
  EXPECT_EQ(s.records, 7u);
  EXPECT_EQ(s.countByType[0], 1u);
  EXPECT_EQ(s.countByType[1], 2u);
  EXPECT_EQ(s.countByType[2], 1u);
  EXPECT_EQ(s.countByType[3], 1u);
  EXPECT_EQ(s.countByType[5], 1u);
  EXPECT_EQ(s.countByType[9], 1u);
  ASSERT_TRUE(s.hasData);
  EXPECT_EQ(s.lowest, 0x100u);
  EXPECT_EQ(s.highestEnd, 0x20003u);
  EXPECT_EQ(s.checksumMismatches, (std::vector<std::size_t>{4}));
  EXPECT_EQ(s.unreadable, (std::vector<std::size_t>{6}));
}

TEST(SRecordSurvey, WhatSrecCatWritesHasRightChecksumsAndItsCountRecord) {
#ifdef _WIN32
  GTEST_SKIP() << "srec_cat is a Linux program here";
#endif
  TempDir dir;
  std::string bytes(3000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  WriteFile(dir / "in.bin", bytes);
  const std::string cmd = "srec_cat '" + (dir / "in.bin") + "' -binary -offset 0x8000 -o '" + (dir / "out.mot") +
                          "' -motorola >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << "srec_cat (package srecord) is needed";
  SRecordSurvey s;
  ASSERT_TRUE(SurveySRecords(dir / "out.mot", &s).ok());
  EXPECT_TRUE(s.checksumMismatches.empty());
  EXPECT_TRUE(s.unreadable.empty());
  EXPECT_EQ(s.lowest, 0x8000u);
  EXPECT_EQ(s.highestEnd, 0x8000u + 3000u);
  EXPECT_EQ(s.countByType[5], 1u) << "srec_cat ends with a count record";

  EXPECT_EQ(SurveySRecords(dir / "missing.mot", &s).problem, FileProblem::Missing);
}

}  // namespace
}  // namespace mervix
