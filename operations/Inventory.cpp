#include "operations/Inventory.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace mervix {
namespace {

constexpr std::size_t kAddressTextLimit = 15;

struct CsvRecord {
  int line = 0;
  std::vector<std::string> fields;
};

// Splits the text into records of fields (RFC 4180: a quoted field may hold
// commas, line ends and "" for a quote). False with the line of an
// unclosed quote or of text after a closing quote.
bool SplitCsv(const std::string& text, std::vector<CsvRecord>* records, std::string* error) {
  std::size_t i = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  int line = 1;
  CsvRecord record{line, {}};
  std::string field;
  bool quoted = false;      // inside quotes
  bool wasQuoted = false;   // the field began with a quote, now closed
  auto endField = [&] {
    record.fields.push_back(field);
    field.clear();
    wasQuoted = false;
  };
  auto endRecord = [&] {
    endField();
    records->push_back(record);
    record = CsvRecord{line, {}};
  };
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          field.push_back('"');
          ++i;
        } else {
          quoted = false;
          wasQuoted = true;
        }
      } else {
        if (c == '\n') ++line;
        field.push_back(c);
      }
      continue;
    }
    if (c == ',') {
      endField();
    } else if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      ++line;
      endRecord();
    } else if (c == '"' && field.find_first_not_of(" \t") == std::string::npos && !wasQuoted) {
      field.clear();
      quoted = true;
    } else if (wasQuoted && c != ' ' && c != '\t') {
      *error = "line " + std::to_string(line) + ": text after a closing quote";
      return false;
    } else if (!wasQuoted) {
      field.push_back(c);
    }
  }
  if (quoted) {
    *error = "line " + std::to_string(record.line) + ": a quote is never closed";
    return false;
  }
  if (!field.empty() || !record.fields.empty() || wasQuoted) endRecord();
  return true;
}

std::string Trim(const std::string& s) {
  const std::size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool IsHex(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

enum class Column { Host, Name, Port, Image, BaseAddress, ModuleAddress, Sha256, Group, Other };

Column ColumnOf(const std::string& name) {
  static const std::map<std::string, Column> kColumns = {
      {"host", Column::Host},   {"name", Column::Name},
      {"port", Column::Port},   {"image", Column::Image},
      {"base_address", Column::BaseAddress}, {"module_address", Column::ModuleAddress},
      {"sha256", Column::Sha256}, {"group", Column::Group}};
  const auto it = kColumns.find(name);
  return it == kColumns.end() ? Column::Other : it->second;
}

// Reads one field into |row|; the reason when it cannot be used.
std::string ReadField(Column column, const std::string& header, const std::string& value, InventoryRow* row) {
  switch (column) {
    case Column::Host: {
      std::string why;
      if (value.empty()) return "the host is empty";
      if (!ParseDeviceAddress(value, &row->address, &why)) return "bad host '" + value + "': " + why;
      return "";
    }
    case Column::Port: {
      if (value.empty()) return "";
      if (value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos ||
          std::stoul(value) == 0 || std::stoul(value) > 65535) {
        return "bad port '" + value + "' (1 to 65535)";
      }
      row->port = static_cast<std::uint16_t>(std::stoul(value));
      return "";
    }
    case Column::BaseAddress:
    case Column::ModuleAddress: {
      if (!value.empty() && (!IsHex(value) || value.size() > kAddressTextLimit)) {
        return "bad " + header + " '" + value + "' (1 to 15 hexadecimal digits, no prefix)";
      }
      (column == Column::BaseAddress ? row->baseAddress : row->moduleAddress) = value;
      return "";
    }
    case Column::Sha256:
      if (!value.empty() && (value.size() != 64 || !IsHex(value))) {
        return "bad sha256 '" + value + "' (64 hexadecimal digits)";
      }
      row->sha256 = Lower(value);
      return "";
    case Column::Name:
      row->name = value;
      return "";
    case Column::Image:
      row->image = value;
      return "";
    case Column::Group:
      row->group = value;
      return "";
    case Column::Other:
      row->extra.emplace_back(header, value);
      return "";
  }
  return "";
}

}  // namespace

bool ParseInventoryText(const std::string& text, std::uint16_t defaultPort, std::vector<InventoryRow>* rows,
                        std::string* error) {
  std::vector<CsvRecord> records;
  if (!SplitCsv(text, &records, error)) return false;
  auto blank = [](const CsvRecord& r) {
    return std::all_of(r.fields.begin(), r.fields.end(), [](const std::string& f) { return Trim(f).empty(); });
  };
  records.erase(std::remove_if(records.begin(), records.end(), blank), records.end());
  if (records.empty()) {
    *error = "the inventory is empty: a header row with a \"host\" column is needed";
    return false;
  }
  std::vector<std::string> headers;
  std::vector<Column> columns;
  std::set<Column> seen;
  for (const std::string& field : records.front().fields) {
    headers.push_back(Trim(field));
    const Column column = ColumnOf(Lower(headers.back()));
    if (column != Column::Other && !seen.insert(column).second) {
      *error = "line " + std::to_string(records.front().line) + ": the column \"" + headers.back() + "\" is given twice";
      return false;
    }
    columns.push_back(column);
  }
  if (seen.count(Column::Host) == 0) {
    *error = "line " + std::to_string(records.front().line) + ": the header has no \"host\" column";
    return false;
  }

  std::vector<InventoryRow> parsed;
  std::map<std::string, int> devices;  // host:port -> line
  std::map<std::string, int> names;
  for (std::size_t r = 1; r < records.size(); ++r) {
    const CsvRecord& record = records[r];
    const std::string at = "line " + std::to_string(record.line) + ": ";
    if (record.fields.size() != columns.size()) {
      *error = at + std::to_string(record.fields.size()) + " fields where the header has " +
               std::to_string(columns.size());
      return false;
    }
    InventoryRow row;
    row.line = record.line;
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const std::string why = ReadField(columns[c], headers[c], Trim(record.fields[c]), &row);
      if (!why.empty()) {
        *error = at + why;
        return false;
      }
    }
    if (row.address.port && row.port && *row.address.port != *row.port) {
      *error = at + "the host names port " + std::to_string(*row.address.port) + " and the port column " +
               std::to_string(*row.port);
      return false;
    }
    // A device twice would be written twice in one roll-out.
    const std::string device = FormatDeviceAddress(row.address.host, row.PortOr(defaultPort));
    if (!devices.emplace(device, row.line).second) {
      *error = at + "the device " + device + " is already on line " + std::to_string(devices[device]);
      return false;
    }
    if (!row.name.empty() && !names.emplace(row.name, row.line).second) {
      *error = at + "the name '" + row.name + "' is already on line " + std::to_string(names[row.name]);
      return false;
    }
    parsed.push_back(std::move(row));
  }
  if (parsed.empty()) {
    *error = "the inventory has no device";
    return false;
  }
  *rows = std::move(parsed);
  return true;
}

}  // namespace mervix
