// The record of runs: one JSON object a line, appended to a record file and
// written through to the disk at once, in the same form from the command
// line's roll-outs and station and from the window (see
// docs/command-line.md, "The record"). Also the exit codes by cause, which
// every record carries and the command line exits with.
//
//   RecordFile file;
//   if (!file.Open(path, &error)) ...;
//   file.Append(RecordLine(run));
#pragma once

#include "operations/FleetEngine.h"
#include "operations/PreparedImage.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace mervix {

// Exit codes by the cause of the end.
inline constexpr int kExitSuccess = 0;   // the command did what was asked
inline constexpr int kExitFailure = 1;   // failed; the reason is on standard error
inline constexpr int kExitRefused = 1;   // the device refused (a NAK)
inline constexpr int kExitUsage = 2;     // the command line itself was wrong
inline constexpr int kExitConnect = 3;   // no connection could be made
inline constexpr int kExitLink = 4;      // a protocol or link failure during the run
inline constexpr int kExitStopped = 5;   // stopped or cancelled
inline constexpr int kExitTimeout = 6;   // the device gave no answer in time
inline constexpr int kExitInput = 7;     // the input file could not be read or converted
inline constexpr int kExitUnknown = 8;   // the last block was sent but its Ack never came
inline constexpr int kExitHalted = 9;    // a roll-out halted at its failure budget or failed canary: devices not started
inline constexpr int kExitNotReturned = 10;  // a device took the image but did not come back in normal mode in time

// The exit code of a cause.
int ExitCodeOfCause(RunCause cause);

// "finished", "cancelled", "failed", "stopped", "closed", "none".
const char* OutcomeName(RunOutcome outcome);

// |time| as "2026-12-10T03:04:05.678Z".
std::string UtcTimeText(std::chrono::system_clock::time_point time);

// One device's run as the record states it.
struct RecordedRun {
  std::string command;  // "download", "send", "station", "window", ...
  std::string device;   // host:port
  std::string name;     // empty: none
  std::string group;    // empty: none
  std::string source;   // the file the operator chose
  const PreparedImage* image = nullptr;
  const DeviceRecord* record = nullptr;
  // What failed, as recorded: the run's failure, or why it never started.
  Failure failure;
  int exitCode = kExitSuccess;
  // The inventory's other columns.
  std::vector<std::pair<std::string, std::string>> fields;
  // A station's unit: its number (from 1; 0: not a station's run), its
  // slot (host:port) and its MAC address (empty: not known).
  std::uint64_t unit = 0;
  std::string slot;
  std::string mac;
};

// |run| as one record line, ending in a line feed.
std::string RecordLine(const RecordedRun& run);

// A record file opened for appending.
class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Opens |path| (UTF-8) for appending, creating it; a last line cut short
  // by a crash is ended first, so that it does not swallow the next record.
  // False with |error| when it cannot be opened.
  bool Open(const std::string& path, std::string* error);
  bool IsOpen() const { return file_ != nullptr; }
  // Appends |line| and writes it through to the disk: the record outlives
  // a crash of the program. False when the system refused it.
  bool Append(const std::string& line);
  // Appends |line| and hands it to the system (it outlives a crash of the
  // program); Sync() writes what was handed over through to the disk. A
  // window appends many lines a second and syncs once per refresh.
  bool AppendUnsynced(const std::string& line);
  bool Sync();
  void Close();

 private:
  std::FILE* file_ = nullptr;
  bool unsynced_ = false;  // lines handed to the system, not yet to the disk
};

}  // namespace mervix
