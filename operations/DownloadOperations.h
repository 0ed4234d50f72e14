// The firmware download operation (the "Download" button) and the user
// module commands of the popup menu, over the protocol session.
//
// Both operations prepare the file to send, check its header and open a
// session; the session then carries the run to its end, one device response
// at a time, as the front end delivers them. The window and the command line
// drive the same object:
//
//   DownloadOperations ops(link, op, log, settings);
//   ops.LoadUserModuleSettings();          // at window initialisation
//   ops.OnDownload();                      // the Download button
//   ops.OnUserModuleCommand(32773);        // "User Module Download"
//
// Each call returns once the connection is made and the StatusQuery sent
// (a run in progress, the Download button disabled), or once the operation
// has ended (the button enabled again). The result says which and why,
// so the command line can report the ends that the window leaves silent.
#pragma once

#include "compress/CoderInterfaces.h"
#include "compress/ImageCompressor.h"
#include "image/FirmwareConverter.h"
#include "image/ImageHeader.h"
#include "image/UserModuleConverter.h"
#include "operations/OperationsOperator.h"
#include "operations/SettingsStore.h"
#include "protocol/DeviceLink.h"
#include "protocol/Session.h"
#include "resources/LogPane.h"

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

// How one call of an operation ended.
enum class PreparationEnd {
  RunStarted,            // connected and StatusQuery sent: the session carries the run
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
  ConnectFailed,         // no connection (message 109)
};

struct PreparationResult {
  PreparationEnd end = PreparationEnd::NothingToDo;
  // True when the operator saw no box about this end (the silent ends).
  bool silent = true;
  // One line saying why the operation ended, for the command line.
  std::string reason;

  bool started() const { return end == PreparationEnd::RunStarted; }
};

// Fixed texts of the operations, the same in both languages.
namespace operations_text {
// Box text when an image has no bytes; the file's path follows.
inline constexpr const char kEmptyImage[] = "The image file is empty: nothing to download";
// Box text when an image is 4 GiB or larger; the file's path follows.
inline constexpr const char kImageTooLarge[] = "The image file is too large to download";
}  // namespace operations_text

class DownloadOperations {
 public:
  // All references must outlive the object. |diagnostics| receives the
  // coder's lines (memory use, block buffer fallbacks); null drops them.
  DownloadOperations(DeviceLink& link, OperationsOperator& op, LogPane& log, SettingsStore& settings,
                     DiagnosticSink* diagnostics = nullptr);

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

  // The popup menu's commands:
  //   32771 chooses the module file: name and extension recorded, and
  //         stored under "User Module Name" and "User Module Extension".
  //   32772 sets the User Base Address through the Base Address dialog,
  //         stored under "User Base Address" as typed.
  //   32773 downloads the module; refused while a run is in progress.
  // 32771 and 32772 stay available during a run: the run keeps the image
  // path and the address it started with.
  PreparationResult OnUserModuleCommand(int commandId);

  // A run is in progress: an operation is preparing one, or the session
  // holds a connection, or the Download button is disabled.
  bool RunInProgress() const;

  // Closing the window: drains and closes an open connection.
  void ShutdownConnection() { session_.ShutdownConnection(); }

  ProtocolSession& Session() { return session_; }
  const ProtocolSession& Session() const { return session_; }

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
  bool DownloadEnabled() const { return indicator_.enabled; }
  // The conversion work areas (FirmwareImageArea, UserModuleArea), owned by
  // the converters for the life of this object.
  const std::uint8_t* FirmwareImageArea() const { return firmware_.area(); }
  const std::uint8_t* UserModuleArea() const { return userModule_.area(); }

  // The path of a work file in the work directory.
  std::string WorkPath(const char* name) const;

 private:
  // Forwards the session's boxes and run-indicator changes to the operator
  // and remembers the indicator, the one sign of a run in progress.
  class RunIndicator : public Operator {
   public:
    explicit RunIndicator(Operator& inner) : inner_(inner) {}
    Answer ShowMessageBox(const std::string& text, ButtonSet buttons) override {
      return inner_.ShowMessageBox(text, buttons);
    }
    void SetDownloadEnabled(bool on) override {
      enabled = on;
      inner_.SetDownloadEnabled(on);
    }
    bool enabled = true;

   private:
    Operator& inner_;
  };

  // Marks an operation as preparing for as long as it runs, so that a
  // command arriving from a nested event loop (a modal box) is refused.
  class PreparingScope {
   public:
    explicit PreparingScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~PreparingScope() { flag_ = false; }

   private:
    bool& flag_;
  };

  PreparationResult DownloadUserModule();
  PreparationResult ChooseUserModule();
  PreparationResult SetModuleAddress();

  // Compresses |source| into |target| and appends the trailer. False after
  // ending the operation (*end says how): a file that cannot be opened, read
  // or written (a box), or a coder without memory (silent).
  bool CompressImage(const std::string& source, const std::string& target, PreparationResult* end);

  // The common ends: a box (or none), the button enabled, the result.
  PreparationResult EndWithBox(PreparationEnd end, const std::string& boxText, const std::string& reason);
  PreparationResult EndSilently(PreparationEnd end, const std::string& reason);
  // The host and port checks both operations make before touching a file:
  // message 102 for an empty host, 104 for port 0; nothing when both pass.
  std::optional<PreparationResult> RefuseHostOrPort();
  // Connects and sends the StatusQuery, or ends with message 109.
  PreparationResult StartSession(const std::string& imagePath, std::uint32_t length);
  // Checks a length taken at the last header read: not 0, below 4 GiB.
  bool CheckImageLength(const std::string& path, std::uint64_t length, PreparationResult* end);
  void ShowBox(const std::string& text);

  OperationsOperator& op_;
  LogPane& log_;
  SettingsStore& settings_;
  DiagnosticSink* diagnostics_;
  RunIndicator indicator_;
  ProtocolSession session_;
  FirmwareConverter firmware_;
  UserModuleConverter userModule_;
  ImageCompressor compressor_;

  ControlValues controls_;
  bool korvaneMode_ = false;
  std::string userModuleName_;
  std::string userModuleExtension_;
  std::string userBaseAddress_;
  ImageHeader header_;
  std::string workDirectory_;
  bool preparing_ = false;
};

}  // namespace mervix
