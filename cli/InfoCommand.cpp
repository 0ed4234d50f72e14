// mervix-cli info: what an image file's header says, its SHA-256, and for
// S-record text what its records hold.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "image/ImageHeader.h"
#include "image/SRecordSurvey.h"
#include "operations/Sha256.h"
#include "resources/MessageTable.h"

namespace mervix::cli {
namespace {

// At most this many line numbers are listed for each kind of finding.
constexpr std::size_t kListedLines = 20;

void PrintLines(const char* what, const std::vector<std::size_t>& lines) {
  if (lines.empty()) return;
  std::printf("%s: %zu (line", what, lines.size());
  if (lines.size() > 1) std::printf("s");
  for (std::size_t i = 0; i < lines.size() && i < kListedLines; ++i) std::printf("%s %zu", i ? "," : "", lines[i]);
  if (lines.size() > kListedLines) std::printf(", ...");
  std::printf(")\n");
}

void PrintSurvey(const SRecordSurvey& s) {
  std::printf("records: %zu of %zu lines;", s.records, s.lines);
  for (int t = 0; t < 10; ++t) {
    if (s.countByType[static_cast<std::size_t>(t)] > 0) {
      std::printf(" S%d %zu", t, s.countByType[static_cast<std::size_t>(t)]);
    }
  }
  std::printf("\n");
  if (s.hasData) {
    std::printf("addresses: %X to %llX hex (%llu bytes)\n", static_cast<unsigned>(s.lowest),
                static_cast<unsigned long long>(s.highestEnd - 1),
                static_cast<unsigned long long>(s.highestEnd - s.lowest));
  }
  if (s.countByType[4] + s.countByType[5] + s.countByType[6] > 0) {
    std::printf("note: S4, S5 and S6 records are refused by the firmware conversion\n");
  }
  PrintLines("warning: checksums that do not match (conversion ignores checksums)", s.checksumMismatches);
  PrintLines("warning: records too short or with non-hex characters", s.unreadable);
}

int Run(const std::vector<std::string>& args) {
  if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-')) {
    std::fprintf(stderr, "usage: mervix-cli info FILE\n");
    return kExitUsage;
  }
  SetActiveLanguage(LanguageFromEnvironment());
  ImageHeader header;
  const HeaderReadResult read = ReadImageHeader(args[0], ImageAccess::Shared, true, header);
  if (!read.ok()) {
    std::fprintf(stderr, "mervix-cli info: %s\n", read.status.reason.c_str());
    return kExitFailure;
  }
  FileStatus hashed;
  const std::string sha256 = FileSha256(args[0], &hashed);
  if (!hashed.ok()) {
    std::fprintf(stderr, "mervix-cli info: %s\n", hashed.reason.c_str());
    return kExitFailure;
  }
  std::printf("file: %s\n", args[0].c_str());
  std::printf("length: %llu bytes\n", static_cast<unsigned long long>(read.length));
  std::printf("sha256: %s\n", sha256.c_str());
  if (HasImageTag(header)) {
    std::printf("tag: REV- present\n");
    std::printf("version: %s\n", ImageVersionText(header).c_str());
  } else {
    std::printf("tag: absent (not an image)\n");
  }
  if (StartsWithSRecordMark(header)) {
    SRecordSurvey survey;
    const FileStatus surveyed = SurveySRecords(args[0], &survey);
    if (!surveyed.ok()) {
      std::fprintf(stderr, "mervix-cli info: %s\n", surveyed.reason.c_str());
      return kExitFailure;
    }
    if (survey.records > 0) PrintSurvey(survey);
  }
  return kExitSuccess;
}

const CommandRegistration reg({"info", "info FILE",
                               "show an image's tag, version, length and SHA-256, or what S-record text holds",
                               &Run, true});

}  // namespace
}  // namespace mervix::cli
