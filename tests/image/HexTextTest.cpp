#include "image/HexText.h"

#include <gtest/gtest.h>

#include "image/OutputNaming.h"

namespace mervix {
namespace {

TEST(ParseHexText, ReadsDigitsOfBothCasesAndStopsAtTheFirstOtherCharacter) {
  EXPECT_EQ(ParseHexText("1A2b"), 0x1A2Bu);
  EXPECT_EQ(ParseHexText("ffffffff"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseHexText("12G4"), 0x12u);
  EXPECT_EQ(ParseHexText("10000\r\n"), 0x10000u);
  // A NUL inside the view ends the number like any other non-digit.
  EXPECT_EQ(ParseHexText(std::string_view("7\0" "8", 3)), 0x7u);
}

TEST(ParseHexText, AcceptsNoPrefixSignOrBlank) {
  EXPECT_EQ(ParseHexText("0x100"), 0u);
  EXPECT_EQ(ParseHexText(" 100"), 0u);
  EXPECT_EQ(ParseHexText("+100"), 0u);
  EXPECT_EQ(ParseHexText("-1"), 0u);
  EXPECT_EQ(ParseHexText(""), 0u);
}

TEST(ParseHexText, KeepsOnlyTheLastEightDigitsOfALongRun) {
  EXPECT_EQ(ParseHexText("123456789"), 0x23456789u);
  EXPECT_EQ(ParseHexText("FFFFFFFF1"), 0xFFFFFFF1u);
  EXPECT_EQ(ParseHexText("000000000000000000000000ABCDEF01"), 0xABCDEF01u);
}

TEST(AddressText, OnlyTheFirstFifteenCharactersCount) {
  // 15 zeros then a 1: the 1 is the sixteenth character and is dropped.
  EXPECT_EQ(ParseAddressText("0000000000000001"), 0u);
  EXPECT_EQ(ParseAddressText("000000000000001"), 1u);
  EXPECT_EQ(AddressTextWorkingCopy("0123456789abcdefXYZ"), "0123456789abcde");
  EXPECT_EQ(ParseAddressText("20000"), 0x20000u);
  EXPECT_EQ(ParseAddressText("0x20000"), 0u);
}

TEST(AddressText, PlainTextIsOneToFifteenHexDigitsOfAtMostThirtyTwoBits) {
  EXPECT_TRUE(IsPlainAddressText("0"));
  EXPECT_TRUE(IsPlainAddressText("10000"));
  EXPECT_TRUE(IsPlainAddressText("0000000FFFFFFFF"));
  EXPECT_FALSE(IsPlainAddressText(""));
  EXPECT_FALSE(IsPlainAddressText("0x100"));
  EXPECT_FALSE(IsPlainAddressText("10000 "));
  EXPECT_FALSE(IsPlainAddressText("100000000"));         // nine significant digits
  EXPECT_FALSE(IsPlainAddressText("0000000000000001"));  // sixteen characters
}

TEST(FirmwareImagePath, LowersTheFileNameAndReplacesMotOnPosix) {
  EXPECT_EQ(FirmwareImagePathFor("/data/Fw/Router.MOT", PathStyle::Posix), "/data/Fw/router.img");
  EXPECT_EQ(FirmwareImagePathFor("FW.MOT", PathStyle::Posix), "fw.img");
  // A folder named motor is neither lowered nor taken for the extension.
  EXPECT_EQ(FirmwareImagePathFor("/srv/Motor.D/motor/App.Mot", PathStyle::Posix), "/srv/Motor.D/motor/app.img");
  // Only ASCII letters change; UTF-8 names pass through byte for byte.
  EXPECT_EQ(FirmwareImagePathFor("/w/\xE3\x83\x95" "Ab.mot", PathStyle::Posix), "/w/\xE3\x83\x95" "ab.img");
}

TEST(FirmwareImagePath, LowersTheWholePathOnWindows) {
  EXPECT_EQ(FirmwareImagePathFor("D:\\Fw\\Router.MOT", PathStyle::Windows), "d:\\fw\\router.img");
  EXPECT_EQ(FirmwareImagePathFor("C:\\MOTOR\\Fw.mot", PathStyle::Windows), "c:\\motor\\fw.img");
  EXPECT_EQ(FirmwareImagePathFor("C:Fw.MOT", PathStyle::Windows), "c:fw.img");
}

TEST(FirmwareImagePath, NeverNamesTheInputForOtherExtensions) {
  EXPECT_EQ(FirmwareImagePathFor("fw.srec", PathStyle::Posix), "fw.srec.img");
  EXPECT_EQ(FirmwareImagePathFor("fw.img", PathStyle::Posix), "fw.img.img");
  EXPECT_EQ(FirmwareImagePathFor("motor/fw", PathStyle::Posix), "motor/fw.img");
  EXPECT_EQ(FirmwareImagePathFor("fw.mott", PathStyle::Posix), "fw.mott.img");
}

TEST(FirmwareImagePath, RecognisesTheExtensionWithoutRegardToCase) {
  EXPECT_TRUE(HasSRecordExtension("FW.MOT", PathStyle::Posix));
  EXPECT_TRUE(HasSRecordExtension("a/b.Mot", PathStyle::Posix));
  EXPECT_FALSE(HasSRecordExtension("motor/fw.bin", PathStyle::Posix));
  EXPECT_FALSE(HasSRecordExtension("fw.mot/", PathStyle::Posix));
  EXPECT_FALSE(HasSRecordExtension("fwmot", PathStyle::Posix));
  EXPECT_TRUE(HasSRecordExtension("C:\\x.y\\FW.MOT", PathStyle::Windows));
  EXPECT_FALSE(HasSRecordExtension("C:\\x.mot\\fw", PathStyle::Windows));
}

}  // namespace
}  // namespace mervix
