// The device address parser behind --host and the hosts file: every form it
// takes, every text it refuses and why, and the port a text gives against
// the command's default.
#include "operations/DeviceAddress.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix::cli {
namespace {

using ::testing::HasSubstr;

constexpr std::optional<std::uint16_t> kNoPort = std::nullopt;

TEST(DeviceAddressTest, EveryFormAndThePortItGives) {
  const struct {
    const char* text;
    const char* host;
    std::optional<std::uint16_t> port;
    std::uint16_t portWithDefault;  // PortOr(2222): the text's port over --port
  } cases[] = {
      {"dev-1", "dev-1", kNoPort, 2222},
      {"10.0.0.5", "10.0.0.5", kNoPort, 2222},
      {"10.0.0.5:2300", "10.0.0.5", 2300, 2300},
      {"dev.example:1", "dev.example", 1, 1},
      {"h:65535", "h", 65535, 65535},
      {"[::1]:2222", "::1", 2222, 2222},
      {"[fe80::1%eth0]:55550", "fe80::1%eth0", 55550, 55550},
      {"[::1]", "::1", kNoPort, 2222},
      // More than one colon without brackets: all of it is the address.
      {"::1", "::1", kNoPort, 2222},
      {"fe80::1:2300", "fe80::1:2300", kNoPort, 2222},
      {"2001:db8::ff00:42:8329", "2001:db8::ff00:42:8329", kNoPort, 2222},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    DeviceAddress a;
    std::string error;
    ASSERT_TRUE(ParseDeviceAddress(c.text, &a, &error)) << error;
    EXPECT_EQ(a.host, c.host);
    EXPECT_EQ(a.port, c.port);
    EXPECT_EQ(a.PortOr(2222), c.portWithDefault);
  }
}

TEST(DeviceAddressTest, RefusalsSayWhy) {
  const struct {
    const char* text;
    const char* says;
  } cases[] = {
      {"", "the host is empty"},
      {":2222", "the host is empty"},
      {"[]", "the host is empty"},
      {"[]:2222", "the host is empty"},
      {"h:", "bad port '' (1 to 65535)"},
      {"h:0", "bad port '0' (1 to 65535)"},
      {"h:65536", "bad port '65536'"},
      {"h:22x", "bad port '22x'"},
      {"[::1]:0", "bad port '0'"},
      {"[::1]:22:33", "bad port '22:33'"},
      {"[::1", "no ']' closes the '['"},
      {"[::1]2222", "after ']' only ':PORT' may follow, not '2222'"},
      {"[::1]]", "after ']' only ':PORT' may follow"},
      {"[[::1]]:22", "a '[' inside the brackets"},
      {"::1]:22", "a bracket that does not enclose the host"},
      {"dev[1]", "a bracket that does not enclose the host"},
      {"dev 1", "a blank inside the address"},
      {"dev:22 ", "a blank inside the address"},
      {"dev\t1", "a blank inside the address"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    DeviceAddress a{"kept", 9};
    std::string error;
    EXPECT_FALSE(ParseDeviceAddress(c.text, &a, &error));
    EXPECT_THAT(error, HasSubstr(c.says));
    EXPECT_EQ(a, (DeviceAddress{"kept", 9})) << "a refused text leaves the address alone";
  }
}

// What the log and the record show as the device reads back as the same
// device, an IPv6 address's colons kept apart from the port's.
TEST(DeviceAddressTest, FormattedAddressReadsBackAsTheSameDevice) {
  const struct {
    const char* host;
    std::uint16_t port;
    const char* shown;
  } cases[] = {
      {"10.0.0.5", 2222, "10.0.0.5:2222"},
      {"dev-1", 1, "dev-1:1"},
      {"::1", 2222, "[::1]:2222"},
      {"fe80::1%eth0", 65535, "[fe80::1%eth0]:65535"},
  };
  for (const auto& c : cases) {
    const std::string shown = FormatDeviceAddress(c.host, c.port);
    EXPECT_EQ(shown, c.shown);
    DeviceAddress back;
    std::string error;
    ASSERT_TRUE(ParseDeviceAddress(shown, &back, &error)) << error;
    EXPECT_EQ(back, (DeviceAddress{c.host, c.port})) << shown;
  }
}

}  // namespace
}  // namespace mervix::cli
