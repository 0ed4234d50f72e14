// The port field's reading rules and the settings store on QSettings.
#include "ShellTestSupport.h"

#include "shell/PortField.h"
#include "shell/QtSettingsStore.h"

namespace mervix {
namespace {

using testing::RawSettings;
using testing::ShellTest;

struct PortCase {
  const char* text;
  PortReadResult result;
  std::uint32_t value;  // checked when the text has the right form
};

TEST(ReadPortTextTest, AcceptsBlanksAndPlusAroundDecimalDigits) {
  const PortCase cases[] = {
      {"80", PortReadResult::Ok, 80},         {" 80 ", PortReadResult::Ok, 80},
      {"+80", PortReadResult::Ok, 80},        {"\t80\t", PortReadResult::Ok, 80},
      {"0", PortReadResult::Ok, 0},           {" 0 ", PortReadResult::Ok, 0},
      {"00080", PortReadResult::Ok, 80},      {"65535", PortReadResult::Ok, 65535},
      {"65536", PortReadResult::OutOfRange, 65536}, {"70000", PortReadResult::OutOfRange, 70000},
  };
  for (const PortCase& c : cases) {
    std::uint32_t value = 12345;
    EXPECT_EQ(ReadPortText(c.text, &value), c.result) << '"' << c.text << '"';
    EXPECT_EQ(value, c.value) << '"' << c.text << '"';
  }
}

TEST(ReadPortTextTest, RefusesEverythingElseAsNotAPositiveInteger) {
  for (const char* text : {"", " ", "-1", "- 1", "8a0", "80x", "x80", "+", "++80", "8 0", "0x50", "1e3", "+0",
                           "80.0"}) {
    std::uint32_t value = 12345;
    EXPECT_EQ(ReadPortText(text, &value), PortReadResult::NotPositiveInteger) << '"' << text << '"';
    EXPECT_EQ(value, 12345u) << "the field keeps its value: \"" << text << '"';
  }
}

TEST(ReadPortTextTest, HugeNumbersSaturateAndFailTheRangeInsteadOfWrapping) {
  std::uint32_t value = 0;
  // 4294967376 would wrap to 80 in 32 bits.
  EXPECT_EQ(ReadPortText("4294967376", &value), PortReadResult::OutOfRange);
  EXPECT_EQ(value, 4294967295u);
  EXPECT_EQ(ReadPortText("99999999999999999999999", &value), PortReadResult::OutOfRange);
  EXPECT_EQ(value, 4294967295u);
}

TEST(ReadPortTextTest, OnlyTheFirst31CharactersAreRead) {
  std::uint32_t value = 0;
  // Junk from the 32nd character on is never seen.
  const std::string tail = std::string("80") + std::string(29, ' ') + "junk";
  EXPECT_EQ(ReadPortText(tail, &value), PortReadResult::Ok);
  EXPECT_EQ(value, 80u);
  // Junk within the first 31 is.
  const std::string inside = std::string("80") + std::string(28, ' ') + "j";
  EXPECT_EQ(ReadPortText(inside, &value), PortReadResult::NotPositiveInteger);
}

using QtSettingsStoreTest = ShellTest;

TEST_F(QtSettingsStoreTest, AbsentKeysGiveTheDefaults) {
  QtSettingsStore store;
  EXPECT_EQ(store.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0), 0);
  EXPECT_EQ(store.GetSettingInt(kSettingsSection, setting_key::kCompress, 42), 42);
  EXPECT_EQ(store.GetSettingText(kSettingsSection, setting_key::kUserModuleName, ""), "");
  EXPECT_EQ(store.GetSettingText(kSettingsSection, setting_key::kBaseAddress, "dflt"), "dflt");
}

TEST_F(QtSettingsStoreTest, ValuesLandUnderBrevlundMervixPreviousSettings) {
  QtSettingsStore store;
  EXPECT_TRUE(store.SetSettingInt(kSettingsSection, setting_key::kCompress, 1));
  EXPECT_TRUE(store.SetSettingText(kSettingsSection, setting_key::kUserModuleName, "/mod/ﾓｼﾞｭｰﾙ app.mot"));
  EXPECT_TRUE(store.SetSettingText(kSettingsSection, setting_key::kUserBaseAddress, " zz 0x10"));

  // Another reader of the same store sees them at once: nothing is deferred.
  auto raw = RawSettings();
  EXPECT_EQ(raw->fileName().contains(QStringLiteral("Brevlund")), true) << raw->fileName().toStdString();
  raw->beginGroup(QStringLiteral("Previous Settings"));
  EXPECT_EQ(raw->value(QStringLiteral("Compress")).toInt(), 1);
  EXPECT_EQ(raw->value(QStringLiteral("User Module Name")).toString().toStdString(), "/mod/ﾓｼﾞｭｰﾙ app.mot");
  raw->endGroup();

  QtSettingsStore again(QStringLiteral("Brevlund"), QStringLiteral("mervix"));
  EXPECT_EQ(again.GetSettingInt(kSettingsSection, setting_key::kCompress, 0), 1);
  // Texts come back exactly as stored: not trimmed, not validated.
  EXPECT_EQ(again.GetSettingText(kSettingsSection, setting_key::kUserBaseAddress, ""), " zz 0x10");
  EXPECT_EQ(again.GetSettingText(kSettingsSection, setting_key::kUserModuleName, ""), "/mod/ﾓｼﾞｭｰﾙ app.mot");
}

TEST_F(QtSettingsStoreTest, AnIntegerKeyHoldingNoNumberReadsAsTheDefault) {
  auto raw = RawSettings();
  raw->setValue(QStringLiteral("Previous Settings/Korvane"), QStringLiteral("seven"));
  raw->setValue(QStringLiteral("Previous Settings/Compress"), QStringLiteral("99999999999"));
  raw->sync();
  QtSettingsStore store;
  EXPECT_EQ(store.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0), 0);
  EXPECT_EQ(store.GetSettingInt(kSettingsSection, setting_key::kCompress, 0), 0);
}

}  // namespace
}  // namespace mervix
