// The firmware download operation (the "Download" button) and the user
// module commands of the popup menu: each prepares an image, then hands it
// to a DownloadJob that runs it through the front end's runner.
//
//   DownloadOperations ops(op, log, settings);
//   ops.SetRunner(runner);                 // the window's or command line's RunPort
//   ops.LoadUserModuleSettings();          // at window initialisation
//   ops.OnDownload();                      // the Download button
//   ops.OnUserModuleCommand(32773);        // "User Module Download"
//
// Preparation is synchronous (file chooser, dialogs, conversion,
// compression, header, version box). It ends either with a run started
// (RunStarted: the job now holds the run and ends it through the runner's
// RunEnded) or with the operation over (the Download button enabled again).
// The result says which and why, so the command line can report the ends
// that the window leaves silent.
#pragma once

#include "compress/CoderInterfaces.h"
#include "image/FirmwareConverter.h"
#include "image/ImageHeader.h"
#include "image/UserModuleConverter.h"
#include "operations/OperationsOperator.h"
#include "operations/SettingsStore.h"
#include "operations/DownloadJob.h"
#include "operations/PreparedImage.h"
#include "resources/Failure.h"
#include "resources/LogPane.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace mervix {

// The popup menu's commands.
enum UserModuleCommandId : int {
  kCommandUserModule = 32771,          // choose the module file
  kCommandModuleAddress = 32772,       // set the User Base Address
  kCommandUserModuleDownload = 32773,  // download the module
};

// How one call of an operation ended.
enum class PreparationEnd {
  RunStarted,            // the image is prepared and its run started: the job carries it on
  RunInProgress,         // refused: a run is in progress; nothing was done
  NothingToDo,           // 32773 without a module or an address; nothing was done
  Recorded,              // 32771 / 32772: the choice was recorded
  ChoiceCancelled,       // 32771 / 32772: cancelled; nothing changed
  UnknownCommand,        // not one of the three commands; nothing was done
  HostEmpty,             // message 102
  PortZero,              // message 104
  FileChoiceCancelled,   // the file chooser was cancelled
  BaseAddressCancelled,  // the Base Address dialog was cancelled
  ConversionFailed,      // the S-record file did not convert
  FileError,             // a file could not be opened, read or written (box with the reason)
  NoTagBeforeCompress,   // the converted image lacks "REV-"; nothing is compressed
  CoderRefused,          // the coder could not get its memory
  AddressMismatch,       // the module's lowest address is not the User Base Address
  EmptyImage,            // the image has no bytes: nothing to send
  ImageTooLarge,         // the image does not fit the 32-bit size request
  MissingTag,            // the image lacks "REV-"
  RunRefused,            // the job would not start (a run is in progress)
};

struct PreparationResult {
  PreparationEnd end = PreparationEnd::NothingToDo;
  // True when the operator saw no box about this end (the silent ends).
  bool silent = true;
  // One line saying why the operation ended, for the command line.
  std::string reason;
  // The same as a failure (origin None for RunStarted and the recorded ends).
  Failure failure;

  bool started() const { return end == PreparationEnd::RunStarted; }
};

class DownloadOperations {
 public:
  // All references must outlive the object. |diagnostics| receives the
  // coder's lines (memory use, block buffer fallbacks); null drops them.
  DownloadOperations(OperationsOperator& op, LogPane& log, SettingsStore& settings,
                     DiagnosticSink* diagnostics = nullptr);

  // The runner that carries out the runs; must be set before a download.
  void SetRunner(RunPort& runner) { runner_ = &runner; }

  // Hands each prepared image to |launch| instead of this object's job (a
  // fleet runs it on many devices): the preparation ends RunStarted when
  // |launch| takes it. An empty function gives the runs back to the job.
  using Launcher = std::function<bool(const PreparedImage& image)>;
  void SetLauncher(Launcher launch) { launcher_ = std::move(launch); }

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
  // The image the latest run was started with.
  const PreparedImage& LastPrepared() const { return prepared_; }

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
  std::uint32_t HighestEnd() const { return userModule_.highestEnd(); }
  // The header the last firmware run tested (the converted image's own
  // header in a compressed run).
  const ImageHeader& Header() const { return header_; }
  // The conversion work areas (FirmwareImageArea, UserModuleArea), owned by
  // the converters for the life of this object.
  const std::uint8_t* FirmwareImageArea() const { return firmware_.area(); }
  const std::uint8_t* UserModuleArea() const { return userModule_.area(); }

  // The path of a work file in the work directory.
  std::string WorkPath(const char* name) const;

 private:
  PreparationResult DownloadUserModule();
  // The preparations: a box or none, and RunStarted with |image| filled in
  // when the image is ready to be sent.
  PreparationResult PrepareFirmware(PreparedImage* image);
  PreparationResult PrepareUserModule(PreparedImage* image);
  PreparationResult ChooseUserModule();
  PreparationResult SetModuleAddress();

  // Compresses |source| into |target| and appends the trailer. False after
  // ending the operation (*end says how): a file that cannot be opened, read
  // or written (a box), or a coder without memory (silent).
  bool CompressImage(const std::string& source, const std::string& target, PreparationResult* end);

  // The common ends: a box (or none), the button enabled, the result. A
  // box end also writes one log line, "<box text>: <cause>", so the log
  // tells why after the box is gone; |detail| (the cause in the operator's
  // words: file and reason, the failing record) goes under the box's text.
  PreparationResult EndWithBox(PreparationEnd end, const std::string& boxText, const std::string& reason,
                               std::uint16_t messageId = 0, const std::string& detail = std::string());
  PreparationResult EndSilently(PreparationEnd end, const std::string& reason);
  // The host and port checks both operations make before touching a file:
  // message 102 for an empty host, 104 for port 0; nothing when both pass.
  std::optional<PreparationResult> RefuseHostOrPort();
  // Hands the prepared image to the job: RunStarted.
  PreparationResult StartRun(const PreparedImage& image);
  // Checks a length taken at the last header read: not 0, below 4 GiB.
  bool CheckImageLength(const std::string& path, std::uint64_t length, PreparationResult* end);
  void ShowBox(const std::string& text);

  OperationsOperator& op_;
  LogPane& log_;
  SettingsStore& settings_;
  DiagnosticSink* diagnostics_;
  RunPort* runner_ = nullptr;
  Launcher launcher_;
  DownloadJob job_;
  PreparedImage prepared_;
  FirmwareConverter firmware_;
  UserModuleConverter userModule_;

  ControlValues controls_;
  bool korvaneMode_ = false;
  std::string userModuleName_;
  std::string userModuleExtension_;
  std::string userBaseAddress_;
  ImageHeader header_;
  std::string workDirectory_;
  bool preparing_ = false;
  // The file given by OnDownloadFile for the preparation in progress.
  std::optional<std::string> givenFile_;
};

// A ready image sent as it is (`mervix-cli send`): checks that the file is
// a readable regular file of 1 to 4294967295 bytes and fingerprints it.
// Returns no failure with |image| filled in, or a File failure saying why.
Failure PrepareImageAsItIs(const std::string& path, PreparedImage* image);

}  // namespace mervix
