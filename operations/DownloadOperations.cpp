#include "operations/DownloadOperations.h"

#include "compress/CompressedImageFile.h"
#include "image/HexText.h"
#include "image/OutputNaming.h"
#include "operations/HeldImage.h"
#include "operations/Sha256.h"
#include "resources/FileAccess.h"
#include "resources/MessageTable.h"
#include "resources/PathText.h"

#include <cstdio>
#include <vector>

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

// An end that changes nothing and shows nothing.
PreparationResult Refused(PreparationEnd end, const std::string& reason) {
  PreparationResult result{end, true, reason, {}};
  result.failure = PreparationFailure(end, 0, "", reason);
  return result;
}

}  // namespace

DownloadOperations::DownloadOperations(OperationsOperator& op, LogPane& log, SettingsStore& settings,
                                       DiagnosticSink* diagnostics)
    : op_(op),
      log_(log),
      settings_(settings),
      diagnostics_(diagnostics != nullptr ? diagnostics : &SilentDiagnostics()),
      job_(log) {}

std::string DownloadOperations::WorkPath(const char* name) const {
  if (workDirectory_.empty()) return name;
  if (workDirectory_.back() == '/') return workDirectory_ + name;
  return workDirectory_ + "/" + name;
}

void DownloadOperations::LoadUserModuleSettings() {
  userBaseAddress_ = settings_.GetSettingText(kSettingsSection, setting_key::kUserBaseAddress, "");
  userModuleName_ = settings_.GetSettingText(kSettingsSection, setting_key::kUserModuleName, "");
  userModuleExtension_ = settings_.GetSettingText(kSettingsSection, setting_key::kUserModuleExtension, "");
}

// ---------------------------------------------------------------------------
// Common ends

void DownloadOperations::ShowBox(const std::string& text) { op_.ShowMessageBox(text, ButtonSet::Ok); }

PreparationResult DownloadOperations::EndWithBox(PreparationEnd end, const std::string& boxText,
                                                 const std::string& reason, std::uint16_t messageId,
                                                 const std::string& detail) {
  if (detail.empty()) {
    ShowBox(boxText);
  } else {
    op_.ShowDetailedMessageBox(boxText, detail, ButtonSet::Ok);
  }
  op_.SetDownloadEnabled(true);
  // The operator's own mistakes (no host, port 0) are plain from the box;
  // every other end names its cause in the log.
  if (end != PreparationEnd::HostEmpty && end != PreparationEnd::PortZero) {
    const std::string cause = detail.empty() ? reason : detail;
    log_.AppendLogLine(cause.empty() || cause == boxText ? boxText : boxText + ": " + cause);
  }
  PreparationResult result{end, false, reason.empty() ? boxText : reason, {}};
  result.failure = PreparationFailure(end, messageId, boxText, result.reason);
  return result;
}

std::optional<PreparationResult> DownloadOperations::RefuseHostOrPort() {
  if (controls_.host.empty()) {
    return EndWithBox(PreparationEnd::HostEmpty, FormatMessageText(IDS_ERROR_HOST), "the host name is empty",
                      IDS_ERROR_HOST);
  }
  if (controls_.port == 0 || controls_.port > 65535) {
    return EndWithBox(PreparationEnd::PortZero, FormatMessageText(IDS_ERROR_PORT),
                      "bad port number " + std::to_string(controls_.port), IDS_ERROR_PORT);
  }
  return std::nullopt;
}

PreparationResult DownloadOperations::EndSilently(PreparationEnd end, const std::string& reason) {
  op_.SetDownloadEnabled(true);
  PreparationResult result{end, true, reason, {}};
  result.failure = PreparationFailure(end, 0, "", reason);
  return result;
}

bool DownloadOperations::CheckImageLength(const std::string& path, std::uint64_t length, PreparationResult* end) {
  const Failure refused = ImageLengthProblem(path, length);
  if (!refused.failed()) return true;
  *end = EndWithBox(refused.messageId == IDS_ERROR_IMAGE_EMPTY ? PreparationEnd::EmptyImage
                                                               : PreparationEnd::ImageTooLarge,
                    refused.message, refused.detail, refused.messageId, refused.detail);
  return false;
}

PreparationResult DownloadOperations::StartRun(const PreparedImage& image) {
  prepared_ = image;
  // The fingerprint of the bytes to send, so a record can say which image
  // went to the device: taken with the file when it is held.
  if (prepared_.sha256.empty()) {
    FileStatus hashed;
    prepared_.sha256 = FileSha256(image.path, &hashed);
    if (!hashed.ok()) return EndWithBox(PreparationEnd::FileError, hashed.reason, hashed.reason);
  }
  bool started = false;
  if (launcher_) {
    started = launcher_(prepared_);
  } else {
    // The connection, the device's replies and every end of the run follow
    // through the runner; the job ends the run with RunEnded.
    started = runner_ != nullptr &&
              job_.Start(prepared_, controls_.host, static_cast<std::uint16_t>(controls_.port), *runner_);
  }
  // The runs hold the file now; this copy only remembers what was prepared.
  prepared_.held.reset();
  if (!started) {
    return EndSilently(PreparationEnd::RunRefused, launcher_ ? "the run could not be started"
                                                             : "the run could not be started: a run is in progress");
  }
  return PreparationResult{PreparationEnd::RunStarted, true, "run started", {}};
}

// ---------------------------------------------------------------------------
// The firmware download operation

PreparationResult DownloadOperations::OnDownload() {
  // The button is disabled during a run; a request that gets here anyway
  // (a nested event loop, a second front end) must not take over the run.
  if (RunInProgress()) return Refused(PreparationEnd::RunInProgress, "a run is in progress");
  preparing_ = true;
  PreparedImage image;
  PreparationResult result = PrepareFirmware(&image);
  preparing_ = false;
  return result.started() ? StartRun(image) : result;
}

PreparationResult DownloadOperations::OnDownloadFile(const std::string& path) {
  if (RunInProgress()) return Refused(PreparationEnd::RunInProgress, "a run is in progress");
  givenFile_ = path;
  PreparationResult result = OnDownload();
  givenFile_.reset();
  return result;
}

PreparationResult DownloadOperations::PrepareFirmware(PreparedImage* image) {
  // 1. The window's values; a firmware run never sends the SectorRequest.
  op_.ReadControls(controls_);
  // 2.
  log_.ClearLog();
  // 3. The mode, read again at every run.
  korvaneMode_ = settings_.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0) != 0;
  if (korvaneMode_) {
    log_.AppendRaw(fixed_text::kKorvaneMode);
  } else {
    log_.AppendRaw(controls_.compress ? fixed_text::kNormalModeActive : fixed_text::kNormalModeInactive);
  }
  // 4.
  op_.SetDownloadEnabled(false);
  // 5, 6.
  if (std::optional<PreparationResult> refused = RefuseHostOrPort()) return *refused;
  // 7.
  const std::optional<std::string> chosen = givenFile_ ? givenFile_ : op_.ChooseFileToOpen();
  if (!chosen || chosen->empty()) {
    return EndSilently(PreparationEnd::FileChoiceCancelled, "no file was chosen");
  }

  std::string imagePath = *chosen;
  // In a compressed run the tag and the version come from the converted
  // image's own header: "Inter.img" begins with coded data, not a header.
  bool compressedRun = false;

  if (HasSRecordExtension(*chosen)) {
    // 8.1 The Base Address dialog, preset with the stored text.
    const std::string preset = settings_.GetSettingText(kSettingsSection, setting_key::kBaseAddress, "");
    const std::optional<std::string> typed = op_.AskBaseAddress(preset);
    if (!typed) return EndSilently(PreparationEnd::BaseAddressCancelled, "the Base Address dialog was cancelled");
    // 8.2 Only the first 15 characters count; the text is stored as typed.
    firmware_.SetBaseAddress(ParseAddressText(*typed));
    settings_.SetSettingText(kSettingsSection, setting_key::kBaseAddress, *typed);
    // 8.3 The image beside the S-record file, in lower case, ".img".
    const ConversionResult converted =
        firmware_.ConvertFirmwareSRecords(*chosen, FirmwareImagePathFor(*chosen));
    // 8.4 The fixed box; under its text the failing record (line, result
    // and reason) or the file that could not be opened, read or written.
    if (!converted.ok()) {
      return EndWithBox(PreparationEnd::ConversionFailed, fixed_text::kCouldNotConvert,
                        "could not convert: " + converted.reason, 0, converted.reason);
    }
    imagePath = converted.outputPath;

    if (controls_.compress) {
      // 8.5.1 The converted image's own header, tested before compressing.
      const HeaderReadResult read = ReadImageHeader(imagePath, ImageAccess::Exclusive, false, header_);
      if (!read.ok()) return EndWithBox(PreparationEnd::FileError, read.status.reason, read.status.reason);
      if (!HasImageTag(header_)) {
        return EndSilently(PreparationEnd::NoTagBeforeCompress,
                           "the converted image '" + imagePath + "' has no \"REV-\" tag at offset 8");
      }
      // 8.5.2 In the Korvane mode the converted image goes uncompressed.
      if (!korvaneMode_) {
        // 8.5.3 - 8.5.6
        const std::string target = WorkPath(kCompressedImageName);
        PreparationResult failed;
        if (!CompressImage(imagePath, target, &failed)) return failed;
        imagePath = target;
        compressedRun = true;
      }
    }
  }

  // 10. The header and the length of the file to send. A compressed run
  // takes only the length here ("Inter.img" with its trailer).
  // From here the file is held open, with the access the run uses, and
  // its bytes are the ones whose version is shown and that are sent.
  FileStatus taken;
  std::shared_ptr<const HeldImage> held = HeldImage::Take(imagePath, ImageAccess::Exclusive, &taken);
  if (!held) return EndWithBox(PreparationEnd::FileError, taken.reason, taken.reason);
  if (!compressedRun) header_ = held->Header();
  PreparationResult refused;
  if (!CheckImageLength(imagePath, held->Length(), &refused)) return refused;

  // 11.
  log_.AppendLogLine(FormatMessageText(IDS_INFO_DOWNLOADING, imagePath));

  // 12. The version, then the run.
  if (HasImageTag(header_)) {
    const std::string version = ImageVersionText(header_);
    ShowBox(version);
    log_.AppendLogLine(version);
    image->path = imagePath;
    image->length = static_cast<std::uint32_t>(held->Length());
    image->header = header_;
    image->sha256 = held->Sha256();
    image->held = held;
    image->compressed = compressedRun;
    image->userModule = false;
    return PreparationResult{PreparationEnd::RunStarted, true, "prepared", {}};
  }
  // 13. The Japanese line is written whatever the language.
  ShowBox(FormatMessageText(IDS_ERROR_FILE_FORMAT));
  op_.SetDownloadEnabled(true);
  log_.AppendLogLine(fixed_text::kDownloadFailed);
  PreparationResult result{PreparationEnd::MissingTag, false,
                           "'" + imagePath + "' has no \"REV-\" tag at offset 8 (message 107)", {}};
  result.failure = PreparationFailure(result.end, IDS_ERROR_FILE_FORMAT, FormatMessageText(IDS_ERROR_FILE_FORMAT),
                                      result.reason);
  return result;
}

bool DownloadOperations::CompressImage(const std::string& source, const std::string& target, PreparationResult* end) {
  const CompressedImageResult written = WriteCompressedImageFile(source, target, diagnostics_);
  if (written.ok) return true;
  // A coder without memory ends silently; a file that cannot be opened,
  // read or written is reported. A short "Inter.img" is never sent.
  *end = written.coderRefused ? EndSilently(PreparationEnd::CoderRefused, written.reason)
                              : EndWithBox(PreparationEnd::FileError, written.reason, written.reason);
  return false;
}

// ---------------------------------------------------------------------------
// The popup menu's commands

PreparationResult DownloadOperations::OnUserModuleCommand(int commandId) {
  switch (commandId) {
    case kCommandUserModule:
      return ChooseUserModule();
    case kCommandModuleAddress:
      return SetModuleAddress();
    case kCommandUserModuleDownload:
      return DownloadUserModule();
    default:
      return Refused(PreparationEnd::UnknownCommand, "unknown command " + std::to_string(commandId));
  }
}

PreparationResult DownloadOperations::ChooseUserModule() {
  const std::optional<std::string> chosen = op_.ChooseFileToOpen();
  if (!chosen || chosen->empty()) return Refused(PreparationEnd::ChoiceCancelled, "no file chosen");
  userModuleName_ = *chosen;
  userModuleExtension_ = std::string(ExtensionOf(*chosen));
  settings_.SetSettingText(kSettingsSection, setting_key::kUserModuleName, userModuleName_);
  settings_.SetSettingText(kSettingsSection, setting_key::kUserModuleExtension, userModuleExtension_);
  return PreparationResult{PreparationEnd::Recorded, true, "user module " + userModuleName_, {}};
}

PreparationResult DownloadOperations::SetModuleAddress() {
  const std::optional<std::string> typed = op_.AskBaseAddress(userBaseAddress_);
  if (!typed) return Refused(PreparationEnd::ChoiceCancelled, "the address dialog was cancelled");
  settings_.SetSettingText(kSettingsSection, setting_key::kUserBaseAddress, *typed);
  userBaseAddress_ = *typed;
  return PreparationResult{PreparationEnd::Recorded, true, "user base address " + userBaseAddress_, {}};
}

PreparationResult DownloadOperations::DownloadUserModule() {
  // A second run would take over the connection and the state of this one.
  if (RunInProgress()) return Refused(PreparationEnd::RunInProgress, "a run is in progress");
  // 1. Nothing at all without a module and an address.
  if (userModuleName_.empty() || userBaseAddress_.empty()) {
    return Refused(PreparationEnd::NothingToDo, userModuleName_.empty() ? "no user module has been chosen"
                                                                         : "no user base address has been set");
  }
  preparing_ = true;
  PreparedImage image;
  PreparationResult result = PrepareUserModule(&image);
  preparing_ = false;
  return result.started() ? StartRun(image) : result;
}

PreparationResult DownloadOperations::PrepareUserModule(PreparedImage* image) {
  // 2 - 4.
  op_.ReadControls(controls_);
  log_.ClearLog();
  op_.SetDownloadEnabled(false);
  // 5, 6.
  if (std::optional<PreparationResult> refused = RefuseHostOrPort()) return *refused;
  // 7.
  userModule_.ResetBounds();
  // 8. The probe: S-record text starts with 'S'.
  ImageHeader probe;
  const HeaderReadResult probed = ReadImageHeader(userModuleName_, ImageAccess::Shared, false, probe);
  if (!probed.ok()) return EndWithBox(PreparationEnd::FileError, probed.status.reason, probed.status.reason);

  // 9.
  if (StartsWithSRecordMark(probe)) {
    const ConversionResult converted =
        userModule_.ConvertUserModuleSRecords(userModuleName_, WorkPath(kUserModuleImageName));
    if (!converted.ok()) {
      // A file that cannot be used is reported, and the name kept so the
      // operator can try again; a record that does not parse ends silently
      // with the name emptied, as the result of the failed conversion.
      if (!converted.file.ok()) {
        return EndWithBox(PreparationEnd::FileError, converted.file.reason, converted.file.reason);
      }
      const std::string reason = "could not convert the user module: " + converted.reason;
      userModuleName_.clear();
      return EndSilently(PreparationEnd::ConversionFailed, reason);
    }
    // The field only: the stored setting keeps the chosen path.
    userModuleName_ = converted.outputPath;
    const std::uint32_t wanted = ParseAddressText(userBaseAddress_);
    if (wanted != userModule_.lowestAddress()) {
      char text[96];
      std::snprintf(text, sizeof text, "the module starts at %X hex, not at the user base address %X hex",
                    static_cast<unsigned>(userModule_.lowestAddress()), static_cast<unsigned>(wanted));
      return EndSilently(PreparationEnd::AddressMismatch, text);
    }
  }
  // 10, 11.
  const std::string imagePath = userModuleName_;
  FileStatus taken;
  std::shared_ptr<const HeldImage> held = HeldImage::Take(imagePath, ImageAccess::Exclusive, &taken);
  if (!held) return EndWithBox(PreparationEnd::FileError, taken.reason, taken.reason);
  const ImageHeader& header = held->Header();
  PreparationResult refused;
  if (!CheckImageLength(imagePath, held->Length(), &refused)) return refused;
  // 12.
  if (!HasImageTag(header)) {
    return EndSilently(PreparationEnd::MissingTag, "'" + imagePath + "' has no \"REV-\" tag at offset 8");
  }
  // 13. The run keeps its own copy of the address: a "Module Address"
  // command during the run changes the next run, not this one.
  image->path = imagePath;
  image->length = static_cast<std::uint32_t>(held->Length());
  image->header = header;
  image->sha256 = held->Sha256();
  image->held = held;
  image->userModule = true;
  image->sectorAddress = ParseAddressText(userBaseAddress_);
  // 14.
  return PreparationResult{PreparationEnd::RunStarted, true, "prepared", {}};
}

Failure PrepareImageAsItIs(const std::string& path, PreparedImage* image) {
  *image = PreparedImage();
  Failure failure;
  failure.origin = FailureOrigin::File;
  failure.phase = RunPhase::Prepare;
  // Held from here, with the access the runs use, to the end of the last run.
  InputFile probe;
  const FileStatus opened = probe.Open(path, ImageAccess::Exclusive, "image");
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
  std::shared_ptr<const HeldImage> held = HeldImage::Take(path, ImageAccess::Exclusive, &taken);
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
  image->sha256 = held->Sha256();
  image->held = held;
  return Failure();
}

}  // namespace mervix
