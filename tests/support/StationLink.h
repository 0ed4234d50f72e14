// What the station tests share: two network namespaces of the test's own
// joined by a veth pair (the station on one end, the simulated units on the
// other), and the check of the simulator's count of units that each unit
// was written once.
//
//   StationLink link("mvx-st", "10.77.0");       // station 10.77.0.1, board 10.77.0.2
//   if (!link.Make(&why)) GTEST_SKIP() << why;
//   SpawnWithOutput(link.InBoard({devsim, ..., "--unit-link", link.BoardLink()}), ...);
#pragma once

#include "tests/support/DevsimProcess.h"
#ifndef _WIN32
#include "tests/support/ChildProcess.h"

#include <unistd.h>
#endif

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace mervix::testing {

// Network namespaces are Linux's own; the checks after the class are for
// every system.
#ifndef _WIN32
class StationLink {
 public:
  // |tag| (at most 6 characters) names the namespaces and links; |subnet|
  // is the first three octets of a /24 of the test's own.
  StationLink(const std::string& tag, const std::string& subnet)
      : ip_(IpProgram()),
        id_(std::to_string(::getpid() % 100000)),
        station_(tag + "s-" + id_),
        board_(tag + "b-" + id_),
        stationLink_(tag + "s0"),
        boardLink_(tag + "b0"),
        subnet_(subnet) {}
  ~StationLink() {
    if (!made_) return;
    RunProcess({ip_, "netns", "del", station_}, std::nullopt, {}, 10000);
    RunProcess({ip_, "netns", "del", board_}, std::nullopt, {}, 10000);
  }
  StationLink(const StationLink&) = delete;
  StationLink& operator=(const StationLink&) = delete;

  // Makes both namespaces and the pair; false with why not (not root, no
  // ip program, the kernel refused).
  bool Make(std::string* whyNot) {
    if (::geteuid() != 0) return Fail(whyNot, "network namespaces of the test's own need root");
    if (ip_.empty()) return Fail(whyNot, "no ip program to make the namespaces");
    made_ = true;
    const std::vector<std::vector<std::string>> setup = {
        {ip_, "netns", "add", station_},
        {ip_, "netns", "add", board_},
        {ip_, "link", "add", stationLink_, "netns", station_, "type", "veth", "peer", "name", boardLink_, "netns",
         board_},
        {ip_, "-n", station_, "addr", "add", StationAddress() + "/24", "dev", stationLink_},
        {ip_, "-n", board_, "addr", "add", BoardAddress() + "/24", "dev", boardLink_},
        {ip_, "-n", station_, "link", "set", stationLink_, "up"},
        {ip_, "-n", station_, "link", "set", "lo", "up"},
        {ip_, "-n", board_, "link", "set", "lo", "up"},
    };
    for (const std::vector<std::string>& command : setup) {
      const ProcessResult p = RunProcess(command, std::nullopt, {}, 10000);
      if (p.exitCode != 0) {
        return Fail(whyNot, "cannot make the namespaces: " + command[1] + " " + command[2] + ": " + p.err);
      }
    }
    return true;
  }

  std::string StationAddress() const { return subnet_ + ".1"; }
  std::string BoardAddress() const { return subnet_ + ".2"; }
  // The board's end of the pair, for the simulator's --unit-link.
  const std::string& BoardLink() const { return boardLink_; }
  // |argv| run inside the station's or the board's namespace.
  std::vector<std::string> InStation(std::vector<std::string> argv) const { return In(station_, std::move(argv)); }
  std::vector<std::string> InBoard(std::vector<std::string> argv) const { return In(board_, std::move(argv)); }

 private:
  static std::string IpProgram() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
      if (::access(path, X_OK) == 0) return path;
    }
    return std::string();
  }
  static bool Fail(std::string* whyNot, const std::string& why) {
    *whyNot = why;
    return false;
  }
  std::vector<std::string> In(const std::string& space, std::vector<std::string> argv) const {
    argv.insert(argv.begin(), {ip_, "netns", "exec", space});
    return argv;
  }

  std::string ip_, id_, station_, board_, stationLink_, boardLink_, subnet_;
  bool made_ = false;
};
#endif

// Each of three units as the simulator counted it: written once, the
// passed ones with the image, unit 2 refused.
inline void ExpectEachUnitWrittenOnce(const DevsimRecord& sim, const std::string& sha256) {
  EXPECT_EQ(sim.Number("units_arrived"), 3);
  for (int unit = 1; unit <= 3; ++unit) {
    SCOPED_TRACE(unit);
    const std::string key = "unit." + std::to_string(unit) + ".";
    EXPECT_EQ(sim.Number(key + "downloads_started"), 1);
    EXPECT_EQ(sim.Number(key + "downloads_completed"), unit == 2 ? 0 : 1);
    EXPECT_EQ(sim.Text(key + "sha256"), unit == 2 ? "" : sha256);
  }
}

// The records of three units from |command| (unit 2 refused), each with
// the image's SHA-256 and, with |macs|, the simulator's MAC address for it.
inline void ExpectPassFailPass(const std::vector<nlohmann::json>& records, const std::string& command,
                               const std::string& sha256, bool macs) {
  ASSERT_EQ(records.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i]["command"], command);
    EXPECT_EQ(records[i]["unit"], i + 1);
    EXPECT_EQ(records[i]["cause"], i == 1 ? "refused" : "finished");
    EXPECT_EQ(records[i]["sha256"], sha256);
    if (macs) {
      EXPECT_EQ(records[i]["mac"], "02:00:00:00:00:0" + std::to_string(i + 1));
    }
  }
}

// The simulator's record file, parsed.
inline DevsimRecord ReadDevsimRecord(const std::string& path) {
  DevsimRecord record;
  EXPECT_TRUE(DevsimRecord::Parse(DevsimProcess::ReadFile(path), &record)) << path;
  return record;
}

}  // namespace mervix::testing
