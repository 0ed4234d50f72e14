#include "cli/support/Rollout.h"

#include "cli/Commands.h"
#include "operations/DeviceAddress.h"
#include "cli/support/FleetRun.h"
#include "operations/Inventory.h"
#include "cli/support/RolloutReport.h"
#include "resources/CommandLineMessages.h"
#include "resources/FileAccess.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace mervix::cli {
namespace {

bool ReadWholeFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream all;
  all << in.rdbuf();
  *text = all.str();
  return !in.bad();
}

RolloutDevice Plain(const FleetDevice& device) {
  RolloutDevice d;
  d.device = device;
  d.address = device.label;
  return d;
}

}  // namespace

int ReadRolloutDevices(const char* name, const RunOptions& options, std::uint16_t defaultPort,
                       std::vector<RolloutDevice>* devices, const CommandStreams& streams) {
  for (const DeviceAddress& host : options.hosts) {
    devices->push_back(Plain(MakeFleetDevice(host.host, host.PortOr(defaultPort))));
  }
  auto refuse = [&](int code, const std::string& why) {
    std::fprintf(streams.err, "mervix-cli %s: %s\n", name, why.c_str());
    return code;
  };
  std::string text;
  std::string error;
  if (!options.hostsFile.empty()) {
    if (!ReadWholeFile(options.hostsFile, &text)) {
      return refuse(kExitInput, "cannot read the hosts file '" + options.hostsFile + "'");
    }
    std::vector<FleetDevice> listed;
    if (!ParseHostsText(text, defaultPort, &listed, &error)) return refuse(kExitInput, options.hostsFile + ": " + error);
    for (const FleetDevice& d : listed) devices->push_back(Plain(d));
  }
  if (!options.inventoryFile.empty()) {
    if (!ReadWholeFile(options.inventoryFile, &text)) {
      return refuse(kExitInput, "cannot read the inventory '" + options.inventoryFile + "'");
    }
    std::vector<InventoryRow> rows;
    if (!ParseInventoryText(text, defaultPort, &rows, &error)) {
      return refuse(kExitInput, options.inventoryFile + ": " + error);
    }
    for (const InventoryRow& row : rows) {
      RolloutDevice d = Plain(MakeFleetDevice(row.address.host, row.PortOr(defaultPort)));
      d.device.name = row.name;
      d.device.group = row.group;
      if (!row.name.empty()) d.device.label = row.name;
      d.imageFile = row.image;
      d.addressText = row.baseAddress.empty() ? row.moduleAddress : row.baseAddress;
      d.expectedSha256 = row.sha256;
      d.fields = row.extra;
      devices->push_back(std::move(d));
    }
  }
  if (devices->empty()) return refuse(kExitUsage, "no device given");
  // A device given twice would be written twice at once.
  std::set<std::string> seen;
  for (const RolloutDevice& d : *devices) {
    if (!seen.insert(d.address).second) return refuse(kExitUsage, "the device " + d.address + " is given twice");
    if (d.device.port == 0) {
      return refuse(kExitUsage, d.device.label + ": bad port number 0: neither its address nor --port names one");
    }
  }
  return -1;
}

int PrepareRolloutImages(const char* name, const RunOptions& options, const std::string& commandFile,
                         const ImagePreparer& prepare, std::vector<RolloutDevice>* devices,
                         std::vector<PreparedImage>* images, const CommandStreams& streams) {
  std::map<std::pair<std::string, std::string>, std::size_t> prepared;
  for (RolloutDevice& d : *devices) {
    const std::string file = d.imageFile.empty() ? commandFile : d.imageFile;
    if (file.empty()) {
      std::fprintf(streams.err, "mervix-cli %s: no image for %s: no FILE and no image column\n", name,
                   d.device.label.c_str());
      return kExitUsage;
    }
    const auto key = std::make_pair(file, d.addressText);
    auto at = prepared.find(key);
    if (at == prepared.end()) {
      PreparedImage image;
      int code = kExitFailure;
      if (!prepare(file, d.addressText, &image, &code)) return code;
      images->push_back(std::move(image));
      at = prepared.emplace(key, images->size() - 1).first;
    }
    d.device.image = at->second;
    // A pinned image that differs goes to no device at all.
    const std::string& expected = d.expectedSha256.empty() ? options.expectSha256 : d.expectedSha256;
    const PreparedImage& image = (*images)[d.device.image];
    if (!expected.empty() && expected != image.sha256) {
      std::fprintf(streams.err, "mervix-cli %s: %s\n", name,
                   FormatCommandLineText(IDS_CLI_PINNED_MISMATCH, {image.path, image.sha256, expected}).c_str());
      return kExitInput;
    }
  }
  return -1;
}

bool ReadLedger(const std::string& path, bool missingIsEmpty, std::map<std::string, LedgerEntry>* ledger,
                std::FILE* err, std::string* error) {
  std::error_code ec;
  if (missingIsEmpty && !std::filesystem::exists(path, ec) && !ec) return true;
  // The same reading as the report's: the latest run of each device counts.
  InputFile input;
  RolloutRecords records;
  if (!ReadRolloutRecordFile(path, &input, &records, error)) return false;
  for (std::size_t line : records.skippedLines) {
    std::fprintf(err, "mervix-cli: %s\n", FormatCommandLineText(IDS_CLI_LEDGER_CUT, {path, std::to_string(line)}).c_str());
  }
  for (const DeviceRun& run : records.devices) {
    // A finished cause says the bytes sent were the image as well.
    (*ledger)[run.device] = LedgerEntry{run.outcome == "finished" && run.Finished(), run.sha256};
  }
  return true;
}

int SelectFromLedger(const char* name, const RunOptions& options, const std::vector<PreparedImage>& images,
                     std::vector<RolloutDevice>* devices, const CommandStreams& streams, std::vector<bool>* marked) {
  const bool resume = !options.resumeFile.empty();
  const std::string& path = resume ? options.resumeFile : options.onlyFailedFile;
  if (marked != nullptr) marked->assign(devices->size(), false);
  if (path.empty()) return -1;
  std::map<std::string, LedgerEntry> ledger;
  std::string error;
  if (!ReadLedger(path, resume, &ledger, streams.err, &error)) {
    std::fprintf(streams.err, "mervix-cli %s: %s\n", name, error.c_str());
    return kExitInput;
  }
  std::vector<RolloutDevice> kept;
  std::size_t left = 0;
  for (std::size_t i = 0; i < devices->size(); ++i) {
    RolloutDevice& d = (*devices)[i];
    const auto at = ledger.find(d.address);
    const bool done = at != ledger.end() && at->second.finished;
    const bool keep = resume ? !(done && at->second.sha256 == images[d.device.image].sha256)
                             : at != ledger.end() && !done;
    if (!keep) ++left;
    if (marked != nullptr) {
      (*marked)[i] = !keep;
    } else if (keep) {
      kept.push_back(std::move(d));
    }
  }
  if (marked == nullptr) *devices = std::move(kept);
  if (left > 0) {
    std::fprintf(streams.err, "%s\n",
                 (resume ? FormatCommandLineText(IDS_CLI_LEDGER_SKIPPED, {std::to_string(left)})
                         : FormatCommandLineText(IDS_CLI_LEDGER_NOT_FAILED, {std::to_string(left), path}))
                     .c_str());
    std::fflush(streams.err);
  }
  return -1;
}

}  // namespace mervix::cli
