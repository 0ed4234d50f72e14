// The window's firmware download operation (the "Download" button) and the
// user module commands of the popup menu: each gathers what the operator
// gives (the fields, the file chooser, the Base Address dialog), prepares the
// image with it, shows the version, then hands the image to a DownloadJob
// that runs it through the window's runner. Without Qt: the window is
// reached through an OperationsOperator.
//
//   DownloadOperations ops(op, log, settings);
//   ops.SetRunner(runner);                 // the window's or command line's RunPort
//   ops.LoadUserModuleSettings();          // at window initialisation
//   ops.OnDownload();                      // the Download button
//   ops.OnUserModuleCommand(32773);        // "User Module Download"
//
// An operation is synchronous (file chooser, dialogs, conversion,
// compression, header, version box). It ends either with a run started
// (RunStarted: the job now holds the run and ends it through the runner's
// RunEnded) or with the operation over (the Download button enabled again).
// The result says which and why.
#pragma once

#include "compress/CoderInterfaces.h"
#include "image/FirmwareConverter.h"
#include "image/UserModuleConverter.h"
#include "operations/DownloadJob.h"
#include "operations/ImagePreparation.h"
#include "operations/PreparedImage.h"
#include "operations/SettingsStore.h"
#include "resources/LogPane.h"
#include "shell/OperationsOperator.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace mervix {

// The popup menu's commands.
enum UserModuleCommandId : int {
  kCommandUserModule = 32771,          // choose the module file
  kCommandModuleAddress = 32772,       // set the User Base Address
  kCommandUserModuleDownload = 32773,  // download the module
};

class DownloadOperations {
 public:
  // All references must outlive the object. |diagnostics| receives the
  // coder's lines (memory use, block buffer fallbacks); null drops them.
  DownloadOperations(OperationsOperator& op, LogPane& log, SettingsStore& settings,
                     DiagnosticSink* diagnostics = nullptr);

  // The runner that carries out the runs; must be set before a download.
  void SetRunner(RunPort& runner) { runner_ = &runner; }

  DownloadOperations(const DownloadOperations&) = delete;
  DownloadOperations& operator=(const DownloadOperations&) = delete;

  // Where "Inter.img" and "inter.img" are written; empty (the default)
  // means the process's working directory, and the names stay bare.
  void SetWorkDirectory(const std::string& folder) { workDirectory_ = folder; }
  const std::string& WorkDirectory() const { return workDirectory_; }

  // Loads the user base address, the user module name and its extension
  // from the settings, in that order (empty when absent), as the window
  // does when it is initialised.
  void LoadUserModuleSettings();

  // The "Download" button. Refused while a run is in progress.
  PreparationResult OnDownload();
  // The same with |path| as the chosen file, the file chooser not asked (a
  // file dropped on the window). Refused while a run is in progress.
  PreparationResult OnDownloadFile(const std::string& path);

  // The Download button's preparation for several devices at once: the
  // file chooser, the Base Address dialog, Compress and the version box as
  // for one device, but no host and port of the window are read and no run
  // starts. Prepared with |image| (its SHA-256 taken) when it is ready to
  // be sent; the end shown otherwise. Refused while a run is in progress.
  PreparationResult PrepareForDevices(PreparedImage* image);

  // The popup menu's commands:
  //   32771 chooses the module file: name and extension recorded, and
  //         stored under "User Module Name" and "User Module Extension".
  //   32772 sets the User Base Address through the Base Address dialog,
  //         stored under "User Base Address" as typed.
  //   32773 downloads the module; refused while a run is in progress.
  // 32771 and 32772 stay available during a run: the run keeps the image
  // path and the address it started with.
  PreparationResult OnUserModuleCommand(int commandId);

  // A run is in progress: an operation is preparing one, or the job runs.
  bool RunInProgress() const { return preparing_ || job_.InProgress(); }

  // The operator's Stop, or (|closing|) the window closing: see DownloadJob.
  void Stop(bool closing = false) { job_.Stop(closing); }

  DownloadJob& Job() { return job_; }
  const DownloadJob& Job() const { return job_; }
  // The image the latest run was started with, the file the operator chose
  // for it, and when it started.
  const PreparedImage& LastPrepared() const { return prepared_; }
  const std::string& LastSource() const { return source_; }
  std::chrono::system_clock::time_point RunStartWall() const { return startWall_; }
  std::chrono::steady_clock::time_point RunStartSteady() const { return startSteady_; }

  // The operation fields.
  const ControlValues& Controls() const { return controls_; }
  void SetControls(const ControlValues& values) { controls_ = values; }
  bool KorvaneMode() const { return korvaneMode_; }
  std::uint32_t BaseAddressValue() const { return firmware_.baseAddress(); }
  std::uint32_t EndMark() const { return firmware_.endMark(); }
  const std::string& UserModuleName() const { return userModuleName_; }
  const std::string& UserModuleExtension() const { return userModuleExtension_; }
  const std::string& UserBaseAddress() const { return userBaseAddress_; }
  std::uint32_t LowestAddress() const { return userModule_.lowestAddress(); }
  // The conversion work areas (FirmwareImageArea, UserModuleArea), owned by
  // the converters for the life of this object.
  const std::uint8_t* FirmwareImageArea() const { return firmware_.area(); }
  const std::uint8_t* UserModuleArea() const { return userModule_.area(); }

 private:
  PreparationResult DownloadUserModule();
  // The operator's part of each preparation, around the preparation itself:
  // Prepared with |image| filled in when the image is ready to be sent.
  // |destination|: the window's host and port are refused when unusable.
  PreparationResult PrepareFirmware(PreparedImage* image, bool destination = true);
  PreparationResult PrepareUserModule(PreparedImage* image);
  PreparationResult ChooseUserModule();
  PreparationResult SetModuleAddress();
  // Shows an end that started no run (a box or none, the button enabled).
  PreparationResult Shown(const PreparationResult& end);
  // Hands the prepared image to the job: RunStarted.
  PreparationResult StartRun(const PreparedImage& image);

  OperationsOperator& op_;
  LogPane& log_;
  SettingsStore& settings_;
  DiagnosticSink* diagnostics_;
  RunPort* runner_ = nullptr;
  DownloadJob job_;
  PreparedImage prepared_;
  std::string source_;
  std::chrono::system_clock::time_point startWall_;
  std::chrono::steady_clock::time_point startSteady_;
  FirmwareConverter firmware_;
  UserModuleConverter userModule_;

  ControlValues controls_;
  bool korvaneMode_ = false;
  std::string userModuleName_;
  std::string userModuleExtension_;
  std::string userBaseAddress_;
  std::string workDirectory_;
  bool preparing_ = false;
  // The file given by OnDownloadFile for the preparation in progress.
  std::optional<std::string> givenFile_;
};

}  // namespace mervix
