// The protocol session: one download run over one TCP connection at a time.
//
// A run starts when an operation has set the host, the image and the flags,
// called ConnectDevice successfully and then SendStatusQuery. From then on
// each response of the device, delivered through OnSocketReceive, drives one
// step: the mode switch with its reconnect, the sector request of a user
// module run, the operator's confirmation, the size request and the 64 KB
// blocks, until the run is finished, cancelled, refused or failed. Every end
// of a run closes the connection and the image file and enables the
// "Download" button again.
#pragma once

#include "protocol/DeviceLink.h"
#include "protocol/Operator.h"
#include "resources/LogPane.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace mervix {

// Which acknowledgement the session awaits.
enum DownloadState : std::int32_t {
  Idle = 1,
  SwitchRequested = 2,
  SectorRequested = 3,
  SizeRequested = 4,
  SendingBlocks = 5,
};

// How the most recent run ended.
enum class RunOutcome {
  None,       // no run has ended yet, or one is in progress
  Finished,   // the last block was acknowledged
  Cancelled,  // the operator did not confirm the permanent write
  Failed,     // refused by the device, a protocol or link error, or no connection
  Closed,     // ended by ShutdownConnection
};

// Fixed texts of the session, the same in both languages.
namespace session_text {
// Box shown when a frame or a piece of a block cannot be handed to the connection.
inline constexpr const char kSendError[] = "Send error";
// Box shown instead of the confirmation when the image to send has no bytes.
inline constexpr const char kEmptyImage[] = "The image file is empty: nothing to download";
}  // namespace session_text

class ProtocolSession : public ConnectionEvents {
 public:
  // Pause between the acknowledged switch request and the reconnect.
  static constexpr int kModeSwitchWaitMs = 3000;
  // Longest time ShutdownConnection drains a connection whose device stays silent.
  static constexpr int kShutdownDrainLimitMs = 3000;

  ProtocolSession(DeviceLink& link, Operator& op, LogPane& log);
  ~ProtocolSession() override;

  ProtocolSession(const ProtocolSession&) = delete;
  ProtocolSession& operator=(const ProtocolSession&) = delete;

  // Set by the starting operation before ConnectDevice.
  void SetImage(const std::string& path, std::uint32_t length);
  void SetUserModuleFlag(bool set) { userModuleFlag_ = set; }
  bool UserModuleFlag() const { return userModuleFlag_; }
  void SetUserBaseAddress(const std::string& text) { userBaseAddress_ = text; }

  // Starts a run: connects to the device, asking "Retry?" (Yes/No) while it
  // cannot be reached, and logs "<host> Connecting...". Remembers host and
  // port for the reconnect after the mode switch. The run starts with no
  // acknowledgement awaited (state Idle) and LastOutcome None. False after
  // message 129 (no socket) or a No to "Retry?": the caller shows message
  // 109 and enables the button; LastOutcome is then Failed.
  bool ConnectDevice(const std::string& host, std::uint16_t port);
  // Sends the StatusQuery that starts the exchange. A failed send ends the
  // run at once ("Send error"), so HasConnection() tells whether to wait.
  void SendStatusQuery();

  // Handles what the connection has to read: assembles one 8-byte response
  // frame and acts on it.
  void OnSocketReceive() override;

  // Reports the message (for 118 followed by "Dial-in/dial-out error") and
  // ends the run: connection and image file closed, button enabled, outcome
  // Failed. The log is not written.
  void AbortRun(std::uint16_t messageId);

  // Ends a run from outside without any message (the command line's
  // response time-out): closes the connection and the image file, enables
  // the button; the outcome is Failed. Does nothing between runs.
  void AbandonRun();

  // Called when the window closes: shuts down the sending direction, drains
  // what the device still sends (bounded in time) and closes.
  void ShutdownConnection();

  // A run is in progress while the session holds a connection.
  bool HasConnection() const { return connection_ != nullptr; }
  DownloadState State() const { return state_; }
  RunOutcome LastOutcome() const { return outcome_; }
  // Why the latest connect attempt failed, as the link said; empty after a
  // successful one. The boxes keep their fixed texts; a front end may add it.
  const std::string& LastConnectError() const { return lastConnectError_; }
  const std::string& ImagePath() const { return imagePath_; }
  std::uint32_t ImageLength() const { return imageLength_; }

 private:
  void SendSwitchRequest();
  void SendSectorRequest();
  void SendSizeRequest();
  void SendNextBlock();
  bool ConnectOnce(const std::string& host, std::uint16_t port);
  void ReceiveFrame();
  void HandleFrame();
  void ReconnectAfterSwitch();
  bool OpenImageFile();
  void FinishRun();
  void CloseConnection();
  void CloseImageFile();
  bool SendBytes(const std::uint8_t* data, std::size_t size);
  void ShowMessage(std::uint16_t messageId);
  void FailWithText(const std::string& text);
  void EndRun(RunOutcome outcome);

  DeviceLink& link_;
  Operator& operator_;
  LogPane& log_;

  std::uint8_t transferBuffer_[1024] = {};
  std::uint8_t responseBuffer_[8] = {};
  std::size_t responseFill_ = 0;
  std::unique_ptr<DeviceConnection> connection_;
  DownloadState state_ = Idle;
  std::uint32_t imageLength_ = 0;
  std::uint32_t blockCounter_ = 0;
  std::string imagePath_;
  std::FILE* imageFile_ = nullptr;
  bool endOfImage_ = false;
  std::string userBaseAddress_;
  bool userModuleFlag_ = false;
  std::string host_;
  std::uint16_t port_ = 0;
  std::string lastConnectError_;
  std::uint64_t bytesSent_ = 0;
  bool inHandler_ = false;
  bool notificationPending_ = false;
  RunOutcome outcome_ = RunOutcome::None;
};

}  // namespace mervix
