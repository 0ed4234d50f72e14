// The inventory of a roll-out: a CSV file as a spreadsheet exports it (a
// header row, fields quoted with "" for a quote inside, UTF-8 with or
// without a byte order mark, CR LF or LF), one device a row.
//
//   host,name,group,image,sha256,site
//   10.0.0.5,leaf-1,leaves,fw.mot,3f2a...,north
//   [fd00::7]:2223,gateway,core,,,
//
// Known columns: host (required: host, host:port, [IPv6]:port), name, port,
// image (this device's file), base_address (of an S-record firmware file),
// module_address (of a user module), sha256 (what this device must get),
// group. Column names are matched without regard to case or blanks around
// them. Any other column is kept, in file order, and copied into the record
// (a site, a serial number).
#pragma once

#include "operations/DeviceAddress.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mervix {

struct InventoryRow {
  int line = 0;  // where the row starts in the file, from 1
  DeviceAddress address;
  std::optional<std::uint16_t> port;  // the port column
  std::string name;
  std::string group;
  std::string image;
  std::string baseAddress;    // as typed, at most 15 hex digits
  std::string moduleAddress;  // as typed, at most 15 hex digits
  std::string sha256;         // lower case, 64 hex digits; empty when not pinned
  std::vector<std::pair<std::string, std::string>> extra;  // the other columns: name, value

  // The device's port: the host text's, else the port column's, else |fallback|.
  std::uint16_t PortOr(std::uint16_t fallback) const { return address.port.value_or(port.value_or(fallback)); }
};

// Parses the whole file's text. False with "line N: why" in |error| for the
// first row that cannot be used (a bad host, port, address, hash or field
// count, a device or name given twice) or a header without "host": nothing
// of a bad inventory is used. Rows whose fields are all empty are skipped.
bool ParseInventoryText(const std::string& text, std::uint16_t defaultPort, std::vector<InventoryRow>* rows,
                        std::string* error);

}  // namespace mervix
