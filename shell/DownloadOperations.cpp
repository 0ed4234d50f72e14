#include "shell/DownloadOperations.h"

#include "image/HexText.h"
#include "operations/Sha256.h"
#include "resources/FileAccess.h"
#include "resources/MessageTable.h"
#include "resources/PathText.h"

namespace mervix {

DownloadOperations::DownloadOperations(OperationsOperator& op, LogPane& log, SettingsStore& settings,
                                       DiagnosticSink* diagnostics)
    : op_(op), log_(log), settings_(settings), diagnostics_(diagnostics), job_(log) {}

void DownloadOperations::LoadUserModuleSettings() {
  userBaseAddress_ = settings_.GetSettingText(kSettingsSection, setting_key::kUserBaseAddress, "");
  userModuleName_ = settings_.GetSettingText(kSettingsSection, setting_key::kUserModuleName, "");
  userModuleExtension_ = settings_.GetSettingText(kSettingsSection, setting_key::kUserModuleExtension, "");
}

PreparationResult DownloadOperations::Shown(const PreparationResult& end) {
  ShowPreparationEnd(end, op_, log_);
  return end;
}

PreparationResult DownloadOperations::StartRun(const PreparedImage& image) {
  prepared_ = image;
  // The fingerprint of the bytes to send, so a record can say which image
  // went to the device: taken with the file when it is held.
  if (prepared_.sha256.empty()) {
    FileStatus hashed;
    prepared_.sha256 = FileSha256(image.path, &hashed);
    if (!hashed.ok()) return Shown(BoxEnd(PreparationEnd::FileError, hashed.reason, hashed.reason));
  }
  startWall_ = std::chrono::system_clock::now();
  startSteady_ = std::chrono::steady_clock::now();
  // The connection, the device's replies and every end of the run follow
  // through the runner; the job ends the run with RunEnded.
  const bool started = runner_ != nullptr &&
                       job_.Start(prepared_, controls_.host, static_cast<std::uint16_t>(controls_.port), *runner_);
  // The run holds the file now; this copy only remembers what was prepared.
  prepared_.held.reset();
  if (!started) {
    return Shown(SilentEnd(PreparationEnd::RunRefused, "the run could not be started: a run is in progress"));
  }
  return PreparationResult{PreparationEnd::RunStarted, true, "run started"};
}

// ---------------------------------------------------------------------------
// The firmware download operation

PreparationResult DownloadOperations::OnDownload() {
  // The button is disabled during a run; a request that gets here anyway
  // (a nested event loop, a second front end) must not take over the run.
  if (RunInProgress()) return SilentEnd(PreparationEnd::RunInProgress, "a run is in progress");
  preparing_ = true;
  PreparedImage image;
  PreparationResult result = PrepareFirmware(&image);
  preparing_ = false;
  return result.prepared() ? StartRun(image) : result;
}

PreparationResult DownloadOperations::OnDownloadFile(const std::string& path) {
  if (RunInProgress()) return SilentEnd(PreparationEnd::RunInProgress, "a run is in progress");
  givenFile_ = path;
  PreparationResult result = OnDownload();
  givenFile_.reset();
  return result;
}

PreparationResult DownloadOperations::PrepareForDevices(PreparedImage* image) {
  if (RunInProgress()) return SilentEnd(PreparationEnd::RunInProgress, "a run is in progress");
  preparing_ = true;
  PreparationResult result = PrepareFirmware(image, false);
  preparing_ = false;
  if (!result.prepared()) return result;
  if (image->sha256.empty()) {
    FileStatus hashed;
    image->sha256 = FileSha256(image->path, &hashed);
    if (!hashed.ok()) return Shown(BoxEnd(PreparationEnd::FileError, hashed.reason, hashed.reason));
  }
  // The devices' runs start later; the button is the caller's again.
  op_.SetDownloadEnabled(true);
  return result;
}

PreparationResult DownloadOperations::PrepareFirmware(PreparedImage* image, bool destination) {
  // The window's values; a firmware run never sends the SectorRequest.
  op_.ReadControls(controls_);
  log_.ClearLog();
  // The mode, read again at every run.
  korvaneMode_ = settings_.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0) != 0;
  log_.AppendRaw(ModeLine(korvaneMode_, controls_.compress));
  op_.SetDownloadEnabled(false);
  if (destination) {
    if (std::optional<PreparationResult> refused = RefuseDestination(controls_.host, controls_.port)) {
      return Shown(*refused);
    }
  }
  const std::optional<std::string> chosen = givenFile_ ? givenFile_ : op_.ChooseFileToOpen();
  if (!chosen || chosen->empty()) return Shown(SilentEnd(PreparationEnd::FileChoiceCancelled, "no file was chosen"));

  FirmwareRequest request;
  request.file = *chosen;
  request.compress = controls_.compress;
  request.korvane = korvaneMode_;
  request.workFolder = workDirectory_;
  if (NeedsBaseAddress(*chosen)) {
    // The Base Address dialog, preset with the stored text. Only the first
    // 15 characters count; the text is stored as typed.
    const std::string preset = settings_.GetSettingText(kSettingsSection, setting_key::kBaseAddress, "");
    const std::optional<std::string> typed = op_.AskBaseAddress(preset);
    if (!typed) {
      return Shown(SilentEnd(PreparationEnd::BaseAddressCancelled, "the Base Address dialog was cancelled"));
    }
    request.baseAddress = ParseAddressText(*typed);
    settings_.SetSettingText(kSettingsSection, setting_key::kBaseAddress, *typed);
  }

  source_ = *chosen;
  PreparationResult prepared = PrepareFirmwareImage(request, firmware_, diagnostics_);
  // The line naming the file, the version box and its line; or the end.
  if (!ShowFirmwarePreparation(prepared, op_, log_)) return prepared;
  *image = prepared.image;
  return prepared;
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
      return SilentEnd(PreparationEnd::UnknownCommand, "unknown command " + std::to_string(commandId));
  }
}

PreparationResult DownloadOperations::ChooseUserModule() {
  const std::optional<std::string> chosen = op_.ChooseFileToOpen();
  if (!chosen || chosen->empty()) return SilentEnd(PreparationEnd::ChoiceCancelled, "no file chosen");
  userModuleName_ = *chosen;
  userModuleExtension_ = std::string(ExtensionOf(*chosen));
  settings_.SetSettingText(kSettingsSection, setting_key::kUserModuleName, userModuleName_);
  settings_.SetSettingText(kSettingsSection, setting_key::kUserModuleExtension, userModuleExtension_);
  return PreparationResult{PreparationEnd::Recorded, true, "user module " + userModuleName_};
}

PreparationResult DownloadOperations::SetModuleAddress() {
  const std::optional<std::string> typed = op_.AskBaseAddress(userBaseAddress_);
  if (!typed) return SilentEnd(PreparationEnd::ChoiceCancelled, "the address dialog was cancelled");
  settings_.SetSettingText(kSettingsSection, setting_key::kUserBaseAddress, *typed);
  userBaseAddress_ = *typed;
  return PreparationResult{PreparationEnd::Recorded, true, "user base address " + userBaseAddress_};
}

PreparationResult DownloadOperations::DownloadUserModule() {
  // A second run would take over the connection and the state of this one.
  if (RunInProgress()) return SilentEnd(PreparationEnd::RunInProgress, "a run is in progress");
  // Nothing at all without a module and an address.
  if (userModuleName_.empty() || userBaseAddress_.empty()) {
    return SilentEnd(PreparationEnd::NothingToDo, userModuleName_.empty() ? "no user module has been chosen"
                                                                           : "no user base address has been set");
  }
  preparing_ = true;
  PreparedImage image;
  PreparationResult result = PrepareUserModule(&image);
  preparing_ = false;
  return result.prepared() ? StartRun(image) : result;
}

PreparationResult DownloadOperations::PrepareUserModule(PreparedImage* image) {
  op_.ReadControls(controls_);
  log_.ClearLog();
  op_.SetDownloadEnabled(false);
  if (std::optional<PreparationResult> refused = RefuseDestination(controls_.host, controls_.port)) {
    return Shown(*refused);
  }
  // The run keeps its own copy of the address: a "Module Address" command
  // during the run changes the next run, not this one.
  UserModuleRequest request;
  request.file = userModuleName_;
  source_ = userModuleName_;
  request.address = ParseAddressText(userBaseAddress_);
  request.workFolder = workDirectory_;
  const PreparationResult prepared = PrepareUserModuleImage(request, userModule_);
  // The field only: the stored setting keeps the chosen path.
  userModuleName_ = prepared.modulePath;
  if (!prepared.prepared()) return Shown(prepared);
  *image = prepared.image;
  return prepared;
}

}  // namespace mervix
