// The console helper of the command line on Windows: only a console is a
// terminal. _isatty alone also answers yes for the NUL device, so output
// sent there would get progress lines and escape sequences.
#include "cli/support/Console.h"
#include "tests/support/TempFolder.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include <gtest/gtest.h>

namespace mervix::cli {
namespace {

TEST(Console, NeitherTheNullDeviceNorAFileNorAPipeIsATerminal) {
  testing::TempFolder dir;
  ASSERT_TRUE(dir.ok());
  std::FILE* null = std::fopen("NUL", "w");
  ASSERT_NE(null, nullptr);
  EXPECT_FALSE(IsTerminal(null));
  const TerminalExtent size = TerminalSize(null);
  EXPECT_EQ(size.rows, 24);
  EXPECT_EQ(size.columns, 80);
  std::fclose(null);

  std::FILE* file = std::fopen((dir / "record.jsonl").c_str(), "w");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(IsTerminal(file));
  std::fputs("{}\n", file);
  EXPECT_TRUE(FlushToDisk(file));
  std::fclose(file);
  EXPECT_EQ(testing::ReadBytes(dir / "record.jsonl").size(), 4u) << "written in text mode: CR LF";

  int ends[2];
  ASSERT_EQ(_pipe(ends, 256, _O_BINARY), 0);
  std::FILE* pipe = _fdopen(ends[1], "w");
  ASSERT_NE(pipe, nullptr);
  EXPECT_FALSE(IsTerminal(pipe));
  std::fclose(pipe);
  _close(ends[0]);
  EXPECT_FALSE(IsTerminal(nullptr));
}

}  // namespace
}  // namespace mervix::cli
