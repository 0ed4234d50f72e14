// The simulator's device file, parsed without a process.
#include "tools/devsim/DeviceFile.h"

#include <gtest/gtest.h>

namespace mervix::devsim {
namespace {

// A BOM, CR LF, a header in any case with an unknown column, quotes with ""
// inside and across a line end, blank lines, and faults with blanks and an
// empty piece: every row lands as the device of its number.
TEST(DeviceFileTest, GoodFileGivesOneDevicePerRow) {
  const std::string text =
      "\xEF\xBB\xBF Name ,FAULT,restart,notes\r\n"
      "\"a, \"\"b\"\"\",status=close; block.1=vanish:10 ;,1.5,x\r\n"
      "\r\n"
      "  \r\n"
      "c,,,\"two\r\nlines\"\r\n"
      "d,,0,\n";
  std::vector<DeviceRow> rows;
  std::string error;
  ASSERT_TRUE(ParseDeviceFile(text, &rows, &error)) << error;
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].settings.name, "a, \"b\"");
  ASSERT_EQ(rows[0].faults.size(), 2u);
  EXPECT_EQ(rows[0].faults[0].text, "status=close");
  EXPECT_EQ(rows[0].faults[1].step, FaultStep::Block);
  EXPECT_EQ(rows[0].faults[1].value, 10u);
  EXPECT_EQ(rows[0].settings.restartMs, 1500);
  EXPECT_EQ(rows[1].settings.name, "c");
  EXPECT_TRUE(rows[1].faults.empty());
  EXPECT_FALSE(rows[1].settings.restartMs.has_value());
  EXPECT_EQ(rows[2].settings.restartMs, 0);
  EXPECT_EQ((std::vector<unsigned>{rows[0].line, rows[1].line, rows[2].line}), (std::vector<unsigned>{2, 5, 7}));
}

// Each kind of bad file is refused with the line of the row and the reason.
TEST(DeviceFileTest, BadRowsNameTheirLine) {
  const struct {
    const char* text;
    const char* reason;
  } cases[] = {
      {"name,fault\nx,\ny,status=bogus\n", "line 3 (y): fault 'status=bogus': unknown kind 'bogus'"},
      {"fault\nblock=close\n", "line 2: fault 'block=close': block needs a block number"},
      {"name,restart\na,1\nb,soon\n", "line 3 (b): restart 'soon': expected seconds"},
      {"restart\n86400.001\n", "line 2: restart '86400.001'"},
      {"restart\n1.2345\n", "line 2: restart '1.2345'"},
      {"restart\n1e3\n", "line 2: restart '1e3'"},
      {"name,restart\r\na,1,2\r\n", "line 2 (a): 3 fields, the header has 2"},
      {"name,restart\na\n", "line 2 (a): 1 fields, the header has 2"},
      {"name,fault\n\"a\nb\",\nc,x\n", "line 4 (c): fault 'x'"},
      {"name\nok\n\"open\n\n", "line 3: a quoted field is not closed"},
      {"name\n\"a\"b\n", "line 2: text after the closing quote"},
      {"name\na\"b\n", "line 2: a quote inside an unquoted field"},
      {"name,NAME\nx,y\n", "line 1: the header names the column 'name' twice"},
      {"name\n\xC3\x28\n", "line 2: not UTF-8 text"},
      {"name\n\n", "no devices"},
      {"\r\n \n", "no header row"},
  };
  for (const auto& c : cases) {
    std::vector<DeviceRow> rows;
    std::string error;
    EXPECT_FALSE(ParseDeviceFile(c.text, &rows, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.reason, 0), 0u) << "got: " << error;
  }
}

}  // namespace
}  // namespace mervix::devsim
