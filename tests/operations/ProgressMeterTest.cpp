// Rate, time left and the status line from a run's progress reports, on a
// clock the test sets.
#include "operations/ProgressMeter.h"

#include "resources/MessageTable.h"

#include <gtest/gtest.h>

namespace mervix {
namespace {

Progress Sending(std::uint32_t block, std::uint64_t acknowledged, std::uint64_t total = 31 * 65536) {
  Progress p;
  p.phase = ProgressPhase::Sending;
  p.block = block;
  p.blocks = static_cast<std::uint32_t>((total + 65535) / 65536);
  p.bytesAcknowledged = acknowledged;
  p.bytesSent = acknowledged + 65536;
  p.total = total;
  return p;
}

TEST(ProgressMeter, RateFollowsTheLastSecondsAndTimeLeftFollowsTheRate) {
  ProgressMeter meter;
  meter.Update(Sending(1, 0), 0);
  EXPECT_FALSE(meter.BytesPerSecond()) << "no rate from one report";
  EXPECT_FALSE(meter.MillisecondsLeft());
  // 64 KB acknowledged every 100 ms: 640 KB/s.
  for (std::uint32_t k = 1; k <= 10; ++k) meter.Update(Sending(k + 1, k * 65536ull), k * 100);
  ASSERT_TRUE(meter.BytesPerSecond());
  EXPECT_NEAR(*meter.BytesPerSecond(), 655360.0, 1.0);
  // 21 blocks left at 10 blocks a second.
  EXPECT_EQ(*meter.MillisecondsLeft(), 2100);
  EXPECT_EQ(meter.Percent(), 32);  // 10 of 31 blocks
  // The device slows to a block a second; after the window has passed only
  // the new pace counts.
  for (std::uint32_t k = 11; k <= 20; ++k) meter.Update(Sending(k + 1, k * 65536ull), 1000 + (k - 10) * 1000);
  EXPECT_NEAR(*meter.BytesPerSecond(), 65536.0, 1.0);
  EXPECT_EQ(*meter.MillisecondsLeft(), 11000);
  // The image started again from its first byte: measured afresh.
  meter.Update(Sending(1, 0), 20000);
  EXPECT_FALSE(meter.BytesPerSecond());
}

TEST(ProgressMeter, StatusLineInBothLanguages) {
  ProgressMeter meter;
  Progress connecting;
  connecting.phase = ProgressPhase::Connecting;
  connecting.total = 31 * 65536;
  meter.Update(connecting, 0);
  SetActiveLanguage(Language::English);
  EXPECT_EQ(FormatProgressStatus(meter, "10.0.0.5:2222"), "Connecting to 10.0.0.5:2222");
  meter.Update(Sending(1, 0), 1000);
  meter.Update(Sending(2, 65536), 2000);
  EXPECT_EQ(FormatProgressStatus(meter, "d"),
            "Sending block 2 of 31 \xC2\xB7 64 of 1984 KB (3%) \xC2\xB7 64 KB/s \xC2\xB7 0:30 left");
  SetActiveLanguage(Language::Japanese);
  EXPECT_EQ(FormatProgressStatus(meter, "d"),
            "ﾌﾞﾛｯｸ 2/31 を送信中 \xC2\xB7 64/1984 KB (3%) \xC2\xB7 64 KB/s \xC2\xB7 残り 0:30");
  SetActiveLanguage(Language::English);
  EXPECT_EQ(FormatDuration(0), "0:00");
  EXPECT_EQ(FormatDuration(9001), "0:10");
  EXPECT_EQ(FormatDuration(3723000), "1:02:03");
}

}  // namespace
}  // namespace mervix
