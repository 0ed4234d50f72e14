#include "tools/devsim/DeviceFile.h"

#include "resources/FileAccess.h"

#include <cctype>

namespace mervix::devsim {
namespace {

// A device per file is bounded like --devices.
constexpr std::size_t kMaxDevices = 1024;

struct CsvRecord {
  unsigned line = 0;
  std::vector<std::string> fields;
  bool blank = false;  // one unquoted field of blanks: an empty line
};

std::string Trim(const std::string& s) {
  const std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing past U+10FFFF.
bool IsUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n;
    unsigned cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n + 1;
  }
  return true;
}

// Splits the text into records. Line ends are LF or CR LF; inside quotes
// they are part of the field.
bool SplitCsv(const std::string& text, std::vector<CsvRecord>* out, std::string* error) {
  std::size_t pos = 0;
  unsigned line = 1;
  const std::size_t n = text.size();
  while (pos < n) {
    CsvRecord record;
    record.line = line;
    bool anyQuoted = false;
    for (;;) {
      std::string field;
      if (pos < n && text[pos] == '"') {
        anyQuoted = true;
        const unsigned opened = line;
        ++pos;
        for (;;) {
          if (pos >= n) {
            *error = "line " + std::to_string(opened) + ": a quoted field is not closed";
            return false;
          }
          const char c = text[pos];
          if (c == '"' && pos + 1 < n && text[pos + 1] == '"') {
            field += '"';
            pos += 2;
          } else if (c == '"') {
            ++pos;
            break;
          } else {
            if (c == '\n') ++line;
            field += c;
            ++pos;
          }
        }
        if (pos < n && text[pos] == '\r' && (pos + 1 == n || text[pos + 1] == '\n')) ++pos;
        if (pos < n && text[pos] != ',' && text[pos] != '\n') {
          *error = "line " + std::to_string(line) + ": text after the closing quote of a field";
          return false;
        }
      } else {
        while (pos < n && text[pos] != ',' && text[pos] != '\n') {
          if (text[pos] == '"') {
            *error = "line " + std::to_string(line) + ": a quote inside an unquoted field (quote the whole field)";
            return false;
          }
          field += text[pos++];
        }
        if ((pos >= n || text[pos] == '\n') && !field.empty() && field.back() == '\r') field.pop_back();
      }
      record.fields.push_back(std::move(field));
      if (pos < n && text[pos] == ',') {
        ++pos;
        continue;
      }
      if (pos < n) {  // the line end
        ++pos;
        ++line;
      }
      break;
    }
    record.blank = !anyQuoted && record.fields.size() == 1 && Trim(record.fields[0]).empty();
    out->push_back(std::move(record));
  }
  return true;
}

}  // namespace

bool ParseDeviceFile(const std::string& input, std::vector<DeviceRow>* rows, std::string* error) {
  std::string text = input;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  std::vector<CsvRecord> records;
  if (!SplitCsv(text, &records, error)) return false;

  int nameColumn = -1, faultColumn = -1, restartColumn = -1;
  std::size_t columns = 0;
  bool haveHeader = false;
  std::vector<DeviceRow> result;
  for (const CsvRecord& record : records) {
    if (record.blank) continue;
    const std::string at = "line " + std::to_string(record.line);
    for (const std::string& field : record.fields) {
      if (!IsUtf8(field)) {
        *error = at + ": not UTF-8 text";
        return false;
      }
    }
    if (!haveHeader) {
      haveHeader = true;
      columns = record.fields.size();
      for (std::size_t i = 0; i < columns; ++i) {
        std::string name = Trim(record.fields[i]);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        int* column = name == "name" ? &nameColumn : name == "fault" ? &faultColumn
                                                   : name == "restart" ? &restartColumn : nullptr;
        if (!column) continue;
        if (*column >= 0) {
          *error = at + ": the header names the column '" + name + "' twice";
          return false;
        }
        *column = static_cast<int>(i);
      }
      continue;
    }

    DeviceRow row;
    row.line = record.line;
    std::string where = at;
    if (nameColumn >= 0 && static_cast<std::size_t>(nameColumn) < record.fields.size()) {
      row.settings.name = Trim(record.fields[static_cast<std::size_t>(nameColumn)]);
      if (!row.settings.name.empty()) where += " (" + row.settings.name + ")";
    }
    if (record.fields.size() != columns) {
      *error = where + ": " + std::to_string(record.fields.size()) + " fields, the header has " +
               std::to_string(columns);
      return false;
    }
    if (result.size() == kMaxDevices) {
      *error = where + ": more than " + std::to_string(kMaxDevices) + " devices";
      return false;
    }
    if (faultColumn >= 0) {
      const std::string& faults = record.fields[static_cast<std::size_t>(faultColumn)];
      for (std::size_t from = 0; from <= faults.size();) {
        std::size_t to = faults.find(';', from);
        if (to == std::string::npos) to = faults.size();
        const std::string faultText = Trim(faults.substr(from, to - from));
        from = to + 1;
        if (faultText.empty()) continue;
        Fault f;
        std::string reason;
        if (!ParseFaultText(faultText, &f, &reason)) {
          *error = where + ": " + reason;
          return false;
        }
        row.faults.push_back(f);
      }
    }
    if (restartColumn >= 0) {
      const std::string restart = Trim(record.fields[static_cast<std::size_t>(restartColumn)]);
      int ms = 0;
      if (!restart.empty()) {
        if (!ParseSeconds(restart, &ms)) {
          *error = where + ": restart '" + restart + "': expected seconds from 0 to 86400, e.g. 30 or 0.5";
          return false;
        }
        row.settings.restartMs = ms;
      }
    }
    result.push_back(std::move(row));
  }
  if (!haveHeader) {
    *error = "no header row (e.g. name,fault,restart)";
    return false;
  }
  if (result.empty()) {
    *error = "no devices: only a header row";
    return false;
  }
  *rows = std::move(result);
  return true;
}

bool LoadDeviceFile(const std::string& path, std::vector<DeviceRow>* rows, std::string* error) {
  InputFile file;
  FileStatus status = file.Open(path, ImageAccess::Shared, "device file");
  std::string text;
  if (status.ok()) {
    // A device file is a table of a few hundred rows at most.
    constexpr std::uint64_t kLimit = 16u * 1024u * 1024u;
    if (file.Length() > kLimit) {
      *error = "'" + path + "' is larger than 16 MiB";
      return false;
    }
    text.resize(static_cast<std::size_t>(file.Length()));
    std::size_t got = 0;
    status = file.ReadAt(0, text.data(), text.size(), &got);
    text.resize(got);
  }
  if (!status.ok()) {
    *error = status.reason;
    return false;
  }
  if (!ParseDeviceFile(text, rows, error)) {
    *error = "'" + path + "' " + *error;
    return false;
  }
  return true;
}

}  // namespace mervix::devsim
