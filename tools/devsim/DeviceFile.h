// The device file of a fleet (--device-file): a CSV table with one device
// per row, in device order.
//
//   name,fault,restart
//   bench-1,,
//   "bench-2, slot 7",status=close;block.1=vanish,30
//
// The first non-blank row is the header; columns are found by name (case and
// surrounding blanks do not matter) and unknown ones are ignored:
//   name     the device's name in messages (optional)
//   fault    zero or more STEP[.N]=KIND[:ARGS] faults separated by ';', as
//            --fault-device K:... would give them to that device
//   restart  seconds the device is away after a complete download, as
//            --restart-after, for this device (empty: the common value)
// Fields may be quoted ("" is a quote inside one, and a quoted field may
// span lines); the file is UTF-8 with or without a byte order mark, with
// CR LF or LF line ends; blank lines are skipped. Every data row must have
// as many fields as the header.
#pragma once

#include "tools/devsim/SimulatorOptions.h"

#include <string>
#include <vector>

namespace mervix::devsim {

struct DeviceRow {
  unsigned line = 0;  // where the row starts in the file, from 1
  DeviceSettings settings;
  std::vector<Fault> faults;
};

// Parses the whole text of a device file. False with "line L: reason" (the
// row's name added when it has one) for the first bad row or header.
bool ParseDeviceFile(const std::string& text, std::vector<DeviceRow>* rows, std::string* error);

// Reads and parses the file at |path|; the reason of a failure names it.
bool LoadDeviceFile(const std::string& path, std::vector<DeviceRow>* rows, std::string* error);

}  // namespace mervix::devsim
