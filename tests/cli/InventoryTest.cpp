// The inventory as spreadsheets export it, and every row it refuses with
// its line number before anything is sent.
#include "operations/Inventory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix::cli {
namespace {

using ::testing::HasSubstr;

TEST(InventoryTest, ASpreadsheetExportIsReadWithEveryColumn) {
  const std::string text =
      "\xEF\xBB\xBF"
      "Host, Name ,group,image,sha256,base_address,site,\"serial no\"\r\n"
      "10.0.0.5,leaf-1,leaves,fw.mot,3F2A" + std::string(60, '0') + ",20000,north,\"A-1, rev \"\"b\"\"\"\r\n"
      "\r\n"
      ",,,,,,,\r\n"
      "[fd00::7]:2300,gateway,core,,,,\"line one\nline two\",\r\n"
      "dev-3,,,,,,,";
  std::vector<InventoryRow> rows;
  std::string error;
  ASSERT_TRUE(ParseInventoryText(text, 2222, &rows, &error)) << error;
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].line, 2);
  EXPECT_EQ(rows[0].address.host, "10.0.0.5");
  EXPECT_EQ(rows[0].PortOr(2222), 2222);
  EXPECT_EQ(rows[0].name, "leaf-1");
  EXPECT_EQ(rows[0].group, "leaves");
  EXPECT_EQ(rows[0].image, "fw.mot");
  EXPECT_EQ(rows[0].sha256, "3f2a" + std::string(60, '0'));
  EXPECT_EQ(rows[0].baseAddress, "20000");
  EXPECT_EQ(rows[0].extra, (std::vector<std::pair<std::string, std::string>>{{"site", "north"},
                                                                            {"serial no", "A-1, rev \"b\""}}));
  EXPECT_EQ(rows[1].line, 5);
  EXPECT_EQ(rows[1].address.host, "fd00::7");
  EXPECT_EQ(rows[1].PortOr(2222), 2300);
  EXPECT_EQ(rows[1].extra[0].second, "line one\nline two");
  EXPECT_EQ(rows[2].line, 7) << "a quoted line end counts as a line";
  EXPECT_EQ(rows[2].address.host, "dev-3");
}

TEST(InventoryTest, ABadRowIsRefusedWithItsLineAndReason) {
  const std::string hash(64, 'a');
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"", "the inventory is empty"},
      {"name,site\nx,y\n", "line 1: the header has no \"host\" column"},
      {"host,Host\na,b\n", "line 1: the column \"Host\" is given twice"},
      {"host\n", "the inventory has no device"},
      {"host,name\n10.0.0.1,a\n10.0.0.2\n", "line 3: 1 fields where the header has 2"},
      {"host,name\n10.0.0.1,\"a\n", "line 2: a quote is never closed"},
      {"host,name\n10.0.0.1,\"a\"b\n", "line 2: text after a closing quote"},
      {"host\n\n[::1\n", "line 3: bad host '[::1'"},
      {"host,port\n10.0.0.1,70000\n", "line 2: bad port '70000' (1 to 65535)"},
      {"host,port\n10.0.0.1:2300,2301\n", "line 2: the host names port 2300 and the port column 2301"},
      {"host,sha256\n10.0.0.1,abc\n", "line 2: bad sha256 'abc'"},
      {"host,base_address\n10.0.0.1,0x2000\n", "line 2: bad base_address '0x2000'"},
      {"host,module_address\n10.0.0.1,1234567890123456\n", "line 2: bad module_address"},
      {"host\n10.0.0.1\n10.0.0.1:2222\n", "line 3: the device 10.0.0.1:2222 is already on line 2"},
      {"host,name\n10.0.0.1,a\n10.0.0.2,a\n", "line 3: the name 'a' is already on line 2"},
  };
  for (const auto& c : cases) {
    std::vector<InventoryRow> rows;
    std::string error;
    EXPECT_FALSE(ParseInventoryText(c.text, 2222, &rows, &error)) << c.text;
    EXPECT_THAT(error, HasSubstr(c.error)) << c.text;
    EXPECT_TRUE(rows.empty()) << "nothing of a bad inventory is used";
  }
  std::vector<InventoryRow> rows;
  std::string error;
  EXPECT_TRUE(ParseInventoryText("host,sha256\n10.0.0.1," + hash + "\n", 2222, &rows, &error)) << error;
}

}  // namespace
}  // namespace mervix::cli
