#include "resources/LogPane.h"
#include "resources/MessageTable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace mervix {
namespace {

class MessageTableTest : public ::testing::Test {
 protected:
  void TearDown() override { SetActiveLanguage(Language::English); }
};

TEST_F(MessageTableTest, EveryIdentifierFrom101To134HasNameAndBothTexts) {
  for (std::uint16_t id = kFirstMessageId; id <= kLastMessageId; ++id) {
    SCOPED_TRACE(id);
    EXPECT_EQ(MessageName(id).rfind("IDS_", 0), 0u);
    EXPECT_FALSE(GetMessageText(id, Language::English).empty());
    EXPECT_FALSE(GetMessageText(id, Language::Japanese).empty());
  }
  EXPECT_EQ(MessageName(128), "IDS_ERROR_TOOMANY");
  EXPECT_EQ(GetMessageText(100, Language::English), "");
  EXPECT_EQ(GetMessageText(135, Language::Japanese), "");
  EXPECT_EQ(FormatMessageText(0, std::string("x")), "");
}

TEST_F(MessageTableTest, TextsAreExactlyAsWrittenInBothLanguages) {
  EXPECT_EQ(GetMessageText(IDS_ERROR_HOST, Language::Japanese), "ﾎｽﾄ名またはIPｱﾄﾞﾚｽを\n入力してください");
  EXPECT_EQ(GetMessageText(IDS_INFO_DOWNLOADING, Language::English), "Downloading %1 ");
  EXPECT_EQ(GetMessageText(IDS_ASK_WRITE, Language::English), "Permanent write! Continue?");
  EXPECT_EQ(GetMessageText(IDS_ASK_WRITE, Language::Japanese), "ﾌｧｰﾑｳｪｱを更新します。よろしいですか?");
  EXPECT_EQ(GetMessageText(IDS_INFO_CANCELLED, Language::Japanese), "ﾀﾞｳﾝﾛｰﾄﾞがｷｬﾝｾﾙされました");
  EXPECT_EQ(GetMessageText(IDS_ABOUT_ITEM, Language::English), "&About mervix...");
  EXPECT_EQ(GetMessageText(IDS_INFO_FINISHED, Language::English),
            GetMessageText(IDS_INFO_FINISHED_LOG, Language::English));
  // Half-width katakana stay half-width: U+FF80 (ﾀ) is EF BE 80 in UTF-8.
  EXPECT_EQ(std::string(fixed_text::kDownloadFailed).substr(0, 3), "\xEF\xBE\x80");
}

TEST_F(MessageTableTest, ProtocolErrorAndRefusalTextsReadTheSameInBothLanguages) {
  for (std::uint16_t id = 115; id <= 129; ++id) {
    if (id == IDS_INFO_VERSION_END) continue;
    SCOPED_TRACE(id);
    EXPECT_EQ(GetMessageText(id, Language::English), GetMessageText(id, Language::Japanese));
  }
  EXPECT_EQ(GetMessageText(IDS_ERROR_TOOMANY, Language::English), "128:IDS_ERROR_TOOMANY");
}

TEST_F(MessageTableTest, PlaceholderRules) {
  // With an argument: the path between "Downloading " and the trailing blank.
  EXPECT_EQ(FormatMessageText(IDS_INFO_DOWNLOADING, Language::English, std::string("/tmp/fw.img")),
            "Downloading /tmp/fw.img ");
  // Without: the placeholder vanishes and both blanks stay.
  EXPECT_EQ(FormatMessageText(IDS_INFO_DOWNLOADING, Language::English, std::nullopt), "Downloading  ");
  EXPECT_EQ(FormatMessageText(IDS_INFO_DOWNLOADING, Language::Japanese, std::string("Inter.img")),
            "ﾌｧｲﾙ Inter.img をﾀﾞｳﾝﾛｰﾄﾞします。");
  // Other markers.
  EXPECT_EQ(SubstituteArguments("a%1b%1c", std::string("X")), "aXbXc");
  EXPECT_EQ(SubstituteArguments("%2 %9 %A %Z", std::string("X")), "? ? ? ?");
  EXPECT_EQ(SubstituteArguments("100% %a %0 %% %", std::string("X")), "100% %a %0 %% %");
  EXPECT_EQ(SubstituteArguments("%1 and %2", std::string("0"), std::string("65535")), "0 and 65535");
  // An argument is inserted as it is, never scanned again.
  EXPECT_EQ(SubstituteArguments("[%1]", std::string("%1%2")), "[%1%2]");
}

TEST_F(MessageTableTest, MultiByteCharactersAreNeverSplitOrTakenForMarkers) {
  // "%" right after a multi-byte character, and a multi-byte character after "%".
  EXPECT_EQ(SubstituteArguments("ﾌｧｲﾙ%1です", std::string("x")), "ﾌｧｲﾙxです");
  EXPECT_EQ(SubstituteArguments("%ﾀ%1", std::string("x")), "%ﾀx");
  // A truncated sequence at the end is copied as it stands.
  const std::string truncated = std::string("ab\xEF\xBE");
  EXPECT_EQ(SubstituteArguments(truncated, std::string("x")), truncated);
  // A sequence whose continuation byte could read as a marker digit in another
  // encoding is still copied unchanged.
  EXPECT_EQ(SubstituteArguments("\xE3\x81\x82%1", std::string("1")), "\xE3\x81\x82" "1");
}

TEST_F(MessageTableTest, PromptsAreEnglishInBothLanguages) {
  SetActiveLanguage(Language::Japanese);
  EXPECT_EQ(SubstituteArguments(GetMessageText(kPromptIntegerRange), std::string("0"), std::string("65535")),
            "Please enter an integer between 0 and 65535.");
  EXPECT_EQ(FormatMessageText(kPromptTextTooLong, std::string("48")), "Please enter no more than 48 characters.");
  EXPECT_EQ(GetMessageText(kPromptPositiveInteger), "Please enter a positive integer.");
}

TEST_F(MessageTableTest, CompositeLinesInBothLanguages) {
  EXPECT_EQ(FormatVersionText(1, 5), "Firmware version 1.05 .");
  EXPECT_EQ(FormatVersionText(1, 0), "Firmware version 1.00 .");
  EXPECT_EQ(FormatVersionText(0x80, 255), "Firmware version 128.255 .");
  EXPECT_EQ(FormatVersionText(1, 100), "Firmware version 1.100 .");
  EXPECT_EQ(FormatKilobytesLine(2048), "2048KBytes downloaded\r\n");
  EXPECT_EQ(FormatConnectedLine("10.0.0.1"), "10.0.0.1 Connecting...\r\n");
  SetActiveLanguage(Language::Japanese);
  EXPECT_EQ(FormatVersionText(2, 0), "ﾌｧｰﾑｳｪｱのﾊﾞｰｼﾞｮﾝは 2.00 です。");
  EXPECT_EQ(FormatKilobytesLine(64), "64Kﾊﾞｲﾄ送信\r\n");
  EXPECT_EQ(FormatConnectedLine("dev"), "dev に接続中...\r\n");
}

TEST_F(MessageTableTest, LanguageRuleFollowsTheLocale) {
  EXPECT_EQ(LanguageForLocaleName("ja_JP.UTF-8"), Language::Japanese);
  EXPECT_EQ(LanguageForLocaleName("ja"), Language::Japanese);
  EXPECT_EQ(LanguageForLocaleName("ja-JP"), Language::Japanese);
  EXPECT_EQ(LanguageForLocaleName("en_US.UTF-8"), Language::English);
  EXPECT_EQ(LanguageForLocaleName("jv_ID"), Language::English);
  EXPECT_EQ(LanguageForLocaleName("C"), Language::English);
  EXPECT_EQ(LanguageForLocaleName(""), Language::English);

  unsetenv("LANGUAGE");
  unsetenv("LC_MESSAGES");
  setenv("LC_ALL", "", 1);
  setenv("LANG", "ja_JP.UTF-8", 1);
  EXPECT_EQ(LanguageFromEnvironment(), Language::Japanese);
  setenv("LC_ALL", "en_GB.UTF-8", 1);
  EXPECT_EQ(LanguageFromEnvironment(), Language::English);
  unsetenv("LC_ALL");
  unsetenv("LANG");
  EXPECT_EQ(LanguageFromEnvironment(), Language::English);
}

TEST(LogPaneTest, LinesEndWithCrLfAndEveryChangeRefreshes) {
  std::vector<std::string> shown;
  LogPane log([&](const std::string& whole, const std::string&) { shown.push_back(whole); });
  log.AppendRaw("Normal mode - compression inactive\r\n");
  log.AppendLogLine("Download start");
  log.AppendRaw(FormatKilobytesLine(3));
  EXPECT_EQ(log.Text(), "Normal mode - compression inactive\r\nDownload start\r\n3KBytes downloaded\r\n");
  EXPECT_EQ(log.LineBuffer(), "3KBytes downloaded\r\n");
  log.ClearLog();
  EXPECT_EQ(log.Text(), "");
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[1], "Normal mode - compression inactive\r\nDownload start\r\n");
  EXPECT_EQ(shown[3], "");
}

}  // namespace
}  // namespace mervix
