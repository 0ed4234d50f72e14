#include "operations/DownloadOperations.h"

#include "compress/CompressedImageFile.h"
#include "image/FileAccess.h"
#include "image/HexText.h"
#include "image/OutputNaming.h"
#include "resources/MessageTable.h"

#include <cerrno>
#include <cstdio>
#include <vector>

namespace mervix {
namespace {

// The size request carries the image length in 32 bits.
constexpr std::uint64_t kMaxImageLength = 0xFFFFFFFFull;

// Pieces in which the converted image is read for the coder; every byte is
// still handed over one at a time, in file order.
constexpr std::size_t kCompressReadPiece = 64 * 1024;

// The extension of a chosen file: the text after the last dot of its name,
// without the dot; empty when the name has none. Dots in folder names do not
// count.
std::string ExtensionOf(const std::string& path) {
#ifdef _WIN32
  const std::size_t nameStart = path.find_last_of("/\\:");
#else
  const std::size_t nameStart = path.find_last_of('/');
#endif
  const std::size_t from = nameStart == std::string::npos ? 0 : nameStart + 1;
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || dot < from) return std::string();
  return path.substr(dot + 1);
}

}  // namespace

DownloadOperations::DownloadOperations(DeviceLink& link, OperationsOperator& op, LogPane& log,
                                       SettingsStore& settings, DiagnosticSink* diagnostics)
    : op_(op),
      log_(log),
      settings_(settings),
      diagnostics_(diagnostics != nullptr ? diagnostics : &SilentDiagnostics()),
      indicator_(op),
      session_(link, indicator_, log),
      compressor_(nullptr, diagnostics_) {}

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

bool DownloadOperations::RunInProgress() const {
  return preparing_ || session_.HasConnection() || !indicator_.enabled;
}

// ---------------------------------------------------------------------------
// Common ends

void DownloadOperations::ShowBox(const std::string& text) { indicator_.ShowMessageBox(text, ButtonSet::Ok); }

PreparationResult DownloadOperations::EndWithBox(PreparationEnd end, const std::string& boxText,
                                                 const std::string& reason) {
  ShowBox(boxText);
  indicator_.SetDownloadEnabled(true);
  return PreparationResult{end, false, reason.empty() ? boxText : reason};
}

std::optional<PreparationResult> DownloadOperations::RefuseHostOrPort() {
  if (controls_.host.empty()) {
    return EndWithBox(PreparationEnd::HostEmpty, FormatMessageText(IDS_ERROR_HOST), "the host name is empty");
  }
  if (controls_.port == 0 || controls_.port > 65535) {
    return EndWithBox(PreparationEnd::PortZero, FormatMessageText(IDS_ERROR_PORT),
                      "bad port number " + std::to_string(controls_.port));
  }
  return std::nullopt;
}

PreparationResult DownloadOperations::EndSilently(PreparationEnd end, const std::string& reason) {
  indicator_.SetDownloadEnabled(true);
  return PreparationResult{end, true, reason};
}

bool DownloadOperations::CheckImageLength(const std::string& path, std::uint64_t length, PreparationResult* end) {
  // A device that acknowledged a size of 0 would wait for a block that can
  // never come, and one of 4 GiB or more cannot be announced at all.
  if (length == 0) {
    *end = EndWithBox(PreparationEnd::EmptyImage, std::string(operations_text::kEmptyImage) + "\n" + path,
                      "'" + path + "' is empty (0 bytes): nothing to download");
    return false;
  }
  if (length > kMaxImageLength) {
    *end = EndWithBox(PreparationEnd::ImageTooLarge, std::string(operations_text::kImageTooLarge) + "\n" + path,
                      "'" + path + "' is " + std::to_string(length) + " bytes; at most 4294967295 can be sent");
    return false;
  }
  return true;
}

PreparationResult DownloadOperations::StartSession(const std::string& imagePath, std::uint32_t length) {
  session_.SetImage(imagePath, length);
  if (!session_.ConnectDevice(controls_.host, static_cast<std::uint16_t>(controls_.port))) {
    return EndWithBox(PreparationEnd::ConnectFailed, FormatMessageText(IDS_ERROR_CONNECT),
                      "no connection to " + controls_.host + ":" + std::to_string(controls_.port));
  }
  // A StatusQuery that cannot be sent ends the run inside the session
  // (with its own box); the result still says the run was started, and the
  // session's outcome tells the rest.
  session_.SendStatusQuery();
  return PreparationResult{PreparationEnd::RunStarted, true, "run started"};
}

// ---------------------------------------------------------------------------
// The firmware download operation

PreparationResult DownloadOperations::OnDownload() {
  // The button is disabled during a run; a request that gets here anyway
  // (a nested event loop, a second front end) must not take over the run.
  if (RunInProgress()) {
    return PreparationResult{PreparationEnd::RunInProgress, true, "a run is in progress"};
  }
  PreparingScope preparing(preparing_);

  // 1. The window's values; a firmware run never sends the SectorRequest.
  op_.ReadControls(controls_);
  session_.SetUserModuleFlag(false);
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
  indicator_.SetDownloadEnabled(false);
  // 5, 6.
  if (std::optional<PreparationResult> refused = RefuseHostOrPort()) return *refused;
  // 7.
  const std::optional<std::string> chosen = op_.ChooseFileToOpen();
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
    // 8.4 A record that does not parse gets the fixed box; a file that
    // cannot be opened, read or written gets the reason as well.
    if (!converted.ok()) {
      std::string box = fixed_text::kCouldNotConvert;
      if (!converted.file.ok()) box += "\n" + converted.file.reason;
      return EndWithBox(PreparationEnd::ConversionFailed, box, "could not convert: " + converted.reason);
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
  ImageHeader sent;
  const HeaderReadResult read = ReadImageHeader(imagePath, ImageAccess::Exclusive, true, sent);
  if (!read.ok()) return EndWithBox(PreparationEnd::FileError, read.status.reason, read.status.reason);
  if (!compressedRun) header_ = sent;
  PreparationResult refused;
  if (!CheckImageLength(imagePath, read.length, &refused)) return refused;

  // 11.
  log_.AppendLogLine(FormatMessageText(IDS_INFO_DOWNLOADING, imagePath));

  // 12. The version, then the connection.
  if (HasImageTag(header_)) {
    const std::string version = ImageVersionText(header_);
    ShowBox(version);
    log_.AppendLogLine(version);
    return StartSession(imagePath, static_cast<std::uint32_t>(read.length));
  }
  // 13. The Japanese line is written whatever the language.
  ShowBox(FormatMessageText(IDS_ERROR_FILE_FORMAT));
  indicator_.SetDownloadEnabled(true);
  log_.AppendLogLine(fixed_text::kDownloadFailed);
  return PreparationResult{PreparationEnd::MissingTag, false,
                           "'" + imagePath + "' has no \"REV-\" tag at offset 8 (message 107)"};
}

bool DownloadOperations::CompressImage(const std::string& source, const std::string& target, PreparationResult* end) {
  // The converted image, opened for reading. Read through the descriptor so
  // that a read error is told apart from the end of the file.
  InputFile input;
  FileStatus opened = input.Open(source, ImageAccess::Shared, "image");
  if (!opened.ok()) {
    *end = EndWithBox(PreparationEnd::FileError, opened.reason, opened.reason);
    return false;
  }
  // Where names differ only in case on the file system, "Inter.img" can be
  // the converted image itself; creating it would empty the source.
  if (IsSameFile(input.fd(), target)) {
    const std::string reason = "cannot compress '" + source + "' into '" + target + "': it is the same file";
    *end = EndWithBox(PreparationEnd::FileError, reason, reason);
    return false;
  }
  errno = 0;
  std::FILE* out = std::fopen(target.c_str(), "wb");
  if (out == nullptr) {
    const std::string reason = FileErrorReason("cannot create", target, errno);
    *end = EndWithBox(PreparationEnd::FileError, reason, reason);
    return false;
  }

  FileOutputStream stream(out);
  if (compressor_.Start(&stream, kLh5DictionaryBits, 1) == 0) {
    std::fclose(out);
    *end = EndSilently(PreparationEnd::CoderRefused, "the coder could not get its memory");
    return false;
  }
  // Every byte of the image, in order, one call each.
  std::vector<std::uint8_t> piece(kCompressReadPiece);
  std::uint64_t offset = 0;
  int readError = 0;
  for (;;) {
    const long got = input.ReadAt(offset, piece.data(), piece.size());
    if (got < 0) {
      readError = errno;
      break;
    }
    if (got == 0) break;
    for (long i = 0; i < got; ++i) compressor_.PutByte(piece[static_cast<std::size_t>(i)]);
    offset += static_cast<std::uint64_t>(got);
  }
  compressor_.Finish(nullptr);
  input.Close();
  // The coder does not examine its writes; the stream does. A short
  // "Inter.img" must never be sent as if it were the image.
  const bool writeFailed = std::ferror(out) != 0;
  errno = 0;
  const bool closeFailed = std::fclose(out) != 0;
  const int writeError = errno;
  if (readError != 0) {
    const std::string reason = FileErrorReason("cannot read image", source, readError);
    *end = EndWithBox(PreparationEnd::FileError, reason, reason);
    return false;
  }
  if (writeFailed || closeFailed) {
    const std::string reason = FileErrorReason("cannot write", target, writeError != 0 ? writeError : EIO);
    *end = EndWithBox(PreparationEnd::FileError, reason, reason);
    return false;
  }

  // The trailer, appended at the end of the file.
  errno = 0;
  std::FILE* again = std::fopen(target.c_str(), "ab");
  if (again == nullptr) {
    const std::string reason = FileErrorReason("cannot open", target, errno);
    *end = EndWithBox(PreparationEnd::FileError, reason, reason);
    return false;
  }
  const bool written =
      std::fwrite(kCompressedImageTrailer, 1, kCompressedImageTrailerSize, again) == kCompressedImageTrailerSize;
  errno = 0;
  if (std::fclose(again) != 0 || !written) {
    const std::string reason = FileErrorReason("cannot write", target, errno != 0 ? errno : EIO);
    *end = EndWithBox(PreparationEnd::FileError, reason, reason);
    return false;
  }
  return true;
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
      return PreparationResult{PreparationEnd::UnknownCommand, true,
                               "unknown command " + std::to_string(commandId)};
  }
}

PreparationResult DownloadOperations::ChooseUserModule() {
  const std::optional<std::string> chosen = op_.ChooseFileToOpen();
  if (!chosen || chosen->empty()) return PreparationResult{PreparationEnd::ChoiceCancelled, true, "no file chosen"};
  userModuleName_ = *chosen;
  userModuleExtension_ = ExtensionOf(*chosen);
  settings_.SetSettingText(kSettingsSection, setting_key::kUserModuleName, userModuleName_);
  settings_.SetSettingText(kSettingsSection, setting_key::kUserModuleExtension, userModuleExtension_);
  return PreparationResult{PreparationEnd::Recorded, true, "user module " + userModuleName_};
}

PreparationResult DownloadOperations::SetModuleAddress() {
  const std::optional<std::string> typed = op_.AskBaseAddress(userBaseAddress_);
  if (!typed) return PreparationResult{PreparationEnd::ChoiceCancelled, true, "the address dialog was cancelled"};
  settings_.SetSettingText(kSettingsSection, setting_key::kUserBaseAddress, *typed);
  userBaseAddress_ = *typed;
  return PreparationResult{PreparationEnd::Recorded, true, "user base address " + userBaseAddress_};
}

PreparationResult DownloadOperations::DownloadUserModule() {
  // A second run would take over the socket and the state of this one.
  if (RunInProgress()) {
    return PreparationResult{PreparationEnd::RunInProgress, true, "a run is in progress"};
  }
  // 1. Nothing at all without a module and an address.
  if (userModuleName_.empty() || userBaseAddress_.empty()) {
    return PreparationResult{PreparationEnd::NothingToDo, true,
                             userModuleName_.empty() ? "no user module has been chosen"
                                                     : "no user base address has been set"};
  }
  PreparingScope preparing(preparing_);
  // 2 - 4.
  op_.ReadControls(controls_);
  log_.ClearLog();
  indicator_.SetDownloadEnabled(false);
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
  ImageHeader header;
  const HeaderReadResult read = ReadImageHeader(imagePath, ImageAccess::Shared, true, header);
  if (!read.ok()) return EndWithBox(PreparationEnd::FileError, read.status.reason, read.status.reason);
  PreparationResult refused;
  if (!CheckImageLength(imagePath, read.length, &refused)) return refused;
  // 12.
  if (!HasImageTag(header)) {
    return EndSilently(PreparationEnd::MissingTag, "'" + imagePath + "' has no \"REV-\" tag at offset 8");
  }
  // 13. The run keeps its own copy of the address: a "Module Address"
  // command during the run changes the next run, not this one.
  session_.SetUserModuleFlag(true);
  session_.SetUserBaseAddress(userBaseAddress_);
  // 14.
  return StartSession(imagePath, static_cast<std::uint32_t>(read.length));
}

}  // namespace mervix
