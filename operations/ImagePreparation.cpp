#include "operations/ImagePreparation.h"

#include "compress/CompressedImageFile.h"
#include "image/HexText.h"
#include "image/OutputNaming.h"
#include "operations/HeldImage.h"
#include "resources/FileAccess.h"
#include "resources/MessageTable.h"

#include <cstdio>

namespace mervix {
namespace {

// The size request carries the image length in 32 bits.
constexpr std::uint64_t kMaxImageLength = 0xFFFFFFFFull;

// The failure an end of preparation stands for.
Failure PreparationFailure(PreparationEnd end, std::uint16_t messageId, const std::string& message,
                           const std::string& detail) {
  Failure failure;
  failure.phase = RunPhase::Prepare;
  failure.messageId = messageId;
  failure.message = message;
  failure.detail = detail;
  switch (end) {
    case PreparationEnd::Prepared:
    case PreparationEnd::RunStarted:
    case PreparationEnd::Recorded:
      failure.origin = FailureOrigin::None;
      break;
    case PreparationEnd::RunInProgress:
    case PreparationEnd::NothingToDo:
    case PreparationEnd::UnknownCommand:
    case PreparationEnd::HostEmpty:
    case PreparationEnd::PortZero:
    case PreparationEnd::RunRefused:
      failure.origin = FailureOrigin::OperatorInput;
      break;
    case PreparationEnd::ChoiceCancelled:
    case PreparationEnd::FileChoiceCancelled:
    case PreparationEnd::BaseAddressCancelled:
      failure.origin = FailureOrigin::Cancelled;
      break;
    case PreparationEnd::ConversionFailed:
    case PreparationEnd::NoTagBeforeCompress:
    case PreparationEnd::AddressMismatch:
    case PreparationEnd::MissingTag:
      failure.origin = FailureOrigin::Conversion;
      break;
    case PreparationEnd::FileError:
    case PreparationEnd::CoderRefused:
    case PreparationEnd::EmptyImage:
    case PreparationEnd::ImageTooLarge:
      failure.origin = FailureOrigin::File;
      break;
  }
  return failure;
}

// A length the size request cannot carry: a device that acknowledged a size
// of 0 would wait for a block that can never come, and one of 4 GiB or more
// cannot be announced at all.
Failure ImageLengthProblem(const std::string& path, std::uint64_t length) {
  Failure failure;
  if (length > 0 && length <= kMaxImageLength) return failure;
  failure.origin = FailureOrigin::File;
  failure.phase = RunPhase::Prepare;
  failure.messageId = length == 0 ? IDS_ERROR_IMAGE_EMPTY : IDS_ERROR_IMAGE_TOO_LARGE;
  failure.message = FormatMessageText(failure.messageId);
  failure.detail = length == 0 ? "'" + path + "' is empty (0 bytes): nothing to download"
                               : "'" + path + "' is " + std::to_string(length) +
                                     " bytes; at most 4294967295 can be sent";
  return failure;
}

// Takes the file to send: held from here to the end of its last run, with a
// length the size request carries. Null after filling |end| with the box.
std::shared_ptr<const HeldImage> TakeImage(const std::string& path, ImageAccess access, PreparationResult* end) {
  FileStatus taken;
  std::shared_ptr<const HeldImage> held = HeldImage::Take(path, access, &taken);
  if (!held) {
    *end = BoxEnd(PreparationEnd::FileError, taken.reason, taken.reason);
    return nullptr;
  }
  const Failure refused = ImageLengthProblem(path, held->Length());
  if (refused.failed()) {
    *end = BoxEnd(refused.messageId == IDS_ERROR_IMAGE_EMPTY ? PreparationEnd::EmptyImage
                                                             : PreparationEnd::ImageTooLarge,
                  refused.message, refused.detail, refused.messageId, refused.detail);
    return nullptr;
  }
  return held;
}

// The prepared end: |held| is the image, |header| its tag and version.
PreparationResult Ready(const std::string& path, std::shared_ptr<const HeldImage> held, const ImageHeader& header) {
  PreparationResult result{PreparationEnd::Prepared, true, "prepared"};
  result.image.path = path;
  result.image.length = static_cast<std::uint32_t>(held->Length());
  result.image.header = header;
  result.image.sha256 = held->Sha256();
  result.image.held = std::move(held);
  return result;
}

}  // namespace

PreparationResult SilentEnd(PreparationEnd end, const std::string& reason) {
  PreparationResult result{end, true, reason};
  result.failure = PreparationFailure(end, 0, "", reason);
  return result;
}

PreparationResult BoxEnd(PreparationEnd end, const std::string& boxText, const std::string& reason,
                         std::uint16_t messageId, const std::string& detail) {
  PreparationResult result{end, false, reason.empty() ? boxText : reason};
  result.failure = PreparationFailure(end, messageId, boxText, result.reason);
  result.boxDetail = detail;
  return result;
}

bool NeedsBaseAddress(const std::string& file) { return HasSRecordExtension(file); }

std::string WorkFilePath(const std::string& folder, const char* name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

PreparationResult PrepareFirmwareImage(const FirmwareRequest& request, FirmwareConverter& converter,
                                       DiagnosticSink* diagnostics) {
  std::string imagePath = request.file;
  // In a compressed run the tag and the version come from the converted
  // image's own header: "Inter.img" begins with coded data, not a header.
  bool compressedRun = false;
  ImageHeader header;

  if (NeedsBaseAddress(request.file)) {
    // The image beside the S-record file, in lower case, ".img". A failure
    // shows the fixed box with the failing record (line, result and reason)
    // or the file that could not be opened, read or written under it.
    converter.SetBaseAddress(request.baseAddress);
    const ConversionResult converted =
        converter.ConvertFirmwareSRecords(request.file, FirmwareImagePathFor(request.file));
    if (!converted.ok()) {
      return BoxEnd(PreparationEnd::ConversionFailed, fixed_text::kCouldNotConvert,
                    "could not convert: " + converted.reason, 0, converted.reason);
    }
    imagePath = converted.outputPath;

    if (request.compress) {
      // The converted image's own header, tested before compressing.
      const HeaderReadResult read = ReadImageHeader(imagePath, request.access, false, header);
      if (!read.ok()) return BoxEnd(PreparationEnd::FileError, read.status.reason, read.status.reason);
      if (!HasImageTag(header)) {
        return SilentEnd(PreparationEnd::NoTagBeforeCompress,
                         "the converted image '" + imagePath + "' has no \"REV-\" tag at offset 8");
      }
      // In the Korvane mode the converted image goes uncompressed.
      if (!request.korvane) {
        // A coder without memory ends silently; a file that cannot be
        // opened, read or written is reported. A short "Inter.img" is never
        // sent.
        const std::string target = WorkFilePath(request.workFolder, kCompressedImageName);
        const CompressedImageResult written =
            WriteCompressedImageFile(imagePath, target, diagnostics != nullptr ? diagnostics : &SilentDiagnostics());
        if (!written.ok) {
          return written.coderRefused ? SilentEnd(PreparationEnd::CoderRefused, written.reason)
                                      : BoxEnd(PreparationEnd::FileError, written.reason, written.reason);
        }
        imagePath = target;
        compressedRun = true;
      }
    }
  }

  // The file to send, held from here: a compressed run takes only its
  // length ("Inter.img" with its trailer), any other its header too.
  PreparationResult refused;
  std::shared_ptr<const HeldImage> held = TakeImage(imagePath, request.access, &refused);
  if (!held) return refused;
  if (!compressedRun) header = held->Header();
  if (!HasImageTag(header)) {
    PreparationResult untagged =
        BoxEnd(PreparationEnd::MissingTag, FormatMessageText(IDS_ERROR_FILE_FORMAT),
               "'" + imagePath + "' has no \"REV-\" tag at offset 8 (message 107)", IDS_ERROR_FILE_FORMAT);
    untagged.image.path = imagePath;
    return untagged;
  }
  PreparationResult ready = Ready(imagePath, std::move(held), header);
  ready.image.compressed = compressedRun;
  return ready;
}

PreparationResult PrepareUserModuleImage(const UserModuleRequest& request, UserModuleConverter& converter) {
  converter.ResetBounds();
  // The probe: S-record text starts with 'S'.
  ImageHeader probe;
  const HeaderReadResult probed = ReadImageHeader(request.file, ImageAccess::Shared, false, probe);
  if (!probed.ok()) {
    PreparationResult unread = BoxEnd(PreparationEnd::FileError, probed.status.reason, probed.status.reason);
    unread.modulePath = request.file;
    return unread;
  }

  std::string imagePath = request.file;
  if (StartsWithSRecordMark(probe)) {
    const ConversionResult converted =
        converter.ConvertUserModuleSRecords(request.file, WorkFilePath(request.workFolder, kUserModuleImageName));
    if (!converted.ok()) {
      // A file that cannot be used is reported, and the name kept so the
      // operator can try again; a record that does not parse ends silently
      // with the name emptied, as the result of the failed conversion.
      if (!converted.file.ok()) {
        PreparationResult unusable = BoxEnd(PreparationEnd::FileError, converted.file.reason, converted.file.reason);
        unusable.modulePath = request.file;
        return unusable;
      }
      return SilentEnd(PreparationEnd::ConversionFailed, "could not convert the user module: " + converted.reason);
    }
    imagePath = converted.outputPath;
    if (request.address != converter.lowestAddress()) {
      char text[96];
      std::snprintf(text, sizeof text, "the module starts at %X hex, not at the user base address %X hex",
                    static_cast<unsigned>(converter.lowestAddress()), static_cast<unsigned>(request.address));
      PreparationResult elsewhere = SilentEnd(PreparationEnd::AddressMismatch, text);
      elsewhere.modulePath = imagePath;
      return elsewhere;
    }
  }

  PreparationResult refused;
  std::shared_ptr<const HeldImage> held = TakeImage(imagePath, request.access, &refused);
  if (!held) {
    refused.modulePath = imagePath;
    return refused;
  }
  if (!HasImageTag(held->Header())) {
    PreparationResult untagged =
        SilentEnd(PreparationEnd::MissingTag, "'" + imagePath + "' has no \"REV-\" tag at offset 8");
    untagged.modulePath = imagePath;
    return untagged;
  }
  const ImageHeader header = held->Header();
  PreparationResult ready = Ready(imagePath, std::move(held), header);
  ready.image.userModule = true;
  ready.image.sectorAddress = request.address;
  ready.modulePath = imagePath;
  return ready;
}

Failure PrepareImageAsItIs(const std::string& path, PreparedImage* image, ImageAccess access) {
  *image = PreparedImage();
  Failure failure;
  failure.origin = FailureOrigin::File;
  failure.phase = RunPhase::Prepare;
  // Held from here, with the access the runs use, to the end of the last run.
  InputFile probe;
  const FileStatus opened = probe.Open(path, access, "image");
  if (!opened.ok()) {
    failure.messageId = IDS_ERROR_IMAGE_OPEN;
    failure.message = FormatMessageText(IDS_ERROR_IMAGE_OPEN);
    failure.detail = opened.reason;
    return failure;
  }
  const std::uint64_t length = probe.Length();
  probe.Close();
  // Refused before the whole file is read: a length no size request carries.
  const Failure refused = ImageLengthProblem(path, length);
  if (refused.failed()) return refused;
  FileStatus taken;
  std::shared_ptr<const HeldImage> held = HeldImage::Take(path, access, &taken);
  if (!held) {
    failure.messageId = taken.problem == FileProblem::ReadFailed ? IDS_ERROR_IMAGE_READ : IDS_ERROR_IMAGE_OPEN;
    failure.message = FormatMessageText(failure.messageId);
    failure.detail = taken.reason;
    return failure;
  }
  const Failure changed = ImageLengthProblem(path, held->Length());
  if (changed.failed()) return changed;
  image->path = path;
  image->length = static_cast<std::uint32_t>(held->Length());
  image->header = held->Header();  // its version, when it has one, for records and plans
  image->sha256 = held->Sha256();
  image->held = held;
  return Failure();
}

// ---------------------------------------------------------------------------
// The words of the flows

const char* ModeLine(bool korvane, bool compress) {
  if (korvane) return fixed_text::kKorvaneMode;
  return compress ? fixed_text::kNormalModeActive : fixed_text::kNormalModeInactive;
}

std::optional<PreparationResult> RefuseDestination(const std::string& host, std::uint32_t port) {
  if (host.empty()) {
    return BoxEnd(PreparationEnd::HostEmpty, FormatMessageText(IDS_ERROR_HOST), "the host name is empty",
                  IDS_ERROR_HOST);
  }
  if (port == 0 || port > 65535) {
    return BoxEnd(PreparationEnd::PortZero, FormatMessageText(IDS_ERROR_PORT),
                  "bad port number " + std::to_string(port), IDS_ERROR_PORT);
  }
  return std::nullopt;
}

void ShowPreparationEnd(const PreparationResult& end, Operator& op, LogPane& log) {
  if (end.silent) {
    op.SetDownloadEnabled(true);
    return;
  }
  const std::string& boxText = end.failure.message;
  if (end.boxDetail.empty()) {
    op.ShowMessageBox(boxText, ButtonSet::Ok);
  } else {
    op.ShowDetailedMessageBox(boxText, end.boxDetail, ButtonSet::Ok);
  }
  op.SetDownloadEnabled(true);
  // The operator's own slips (no host, port 0) are plain from the box.
  if (end.end == PreparationEnd::HostEmpty || end.end == PreparationEnd::PortZero) return;
  const std::string& cause = end.boxDetail.empty() ? end.reason : end.boxDetail;
  log.AppendLogLine(cause.empty() || cause == boxText ? boxText : boxText + ": " + cause);
}

bool ShowFirmwarePreparation(const PreparationResult& prepared, Operator& op, LogPane& log) {
  if (!prepared.image.path.empty()) log.AppendLogLine(FormatMessageText(IDS_INFO_DOWNLOADING, prepared.image.path));
  if (prepared.prepared()) {
    const std::string version = ImageVersionText(prepared.image.header);
    op.ShowMessageBox(version, ButtonSet::Ok);
    log.AppendLogLine(version);
    return true;
  }
  if (prepared.end == PreparationEnd::MissingTag) {
    // The Japanese line is written whatever the language.
    op.ShowMessageBox(prepared.failure.message, ButtonSet::Ok);
    op.SetDownloadEnabled(true);
    log.AppendLogLine(fixed_text::kDownloadFailed);
    return false;
  }
  ShowPreparationEnd(prepared, op, log);
  return false;
}

}  // namespace mervix
