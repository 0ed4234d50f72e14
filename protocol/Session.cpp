#include "protocol/Session.h"

#include "protocol/Frames.h"
#include "protocol/HexAddress.h"
#include "resources/MessageTable.h"

#include <cerrno>
#include <cstring>

namespace mervix {
namespace {

// Drain reads of ShutdownConnection take at most this many bytes at a time.
constexpr std::size_t kDrainPieceSize = 50;

std::string DescribeErrno(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

}  // namespace

ProtocolSession::ProtocolSession(DeviceLink& link, Operator& op, LogPane& log)
    : link_(link), operator_(op), log_(log) {}

ProtocolSession::~ProtocolSession() {
  // The owner has normally called ShutdownConnection; whatever is left is
  // released without further messages.
  CloseImageFile();
  if (connection_) {
    connection_->Close();
    connection_.reset();
  }
}

void ProtocolSession::SetImage(const std::string& path, std::uint32_t length) {
  imagePath_ = path;
  imageLength_ = length;
}

// ---------------------------------------------------------------------------
// Connecting

bool ProtocolSession::ConnectDevice(const std::string& host, std::uint16_t port) {
  // Called by an operation, this starts a run. A stale connection of an
  // earlier run cannot be left behind: release it first.
  CloseImageFile();
  if (connection_) CloseConnection();
  outcome_ = RunOutcome::None;
  // A run starts with no acknowledgement awaited. Without this an Ack to the
  // first StatusQuery would be taken for the acknowledgement of whatever the
  // previous run awaited last (even as the end of its image).
  state_ = Idle;
  endOfImage_ = false;
  host_ = host;
  port_ = port;
  if (ConnectOnce(host, port)) return true;
  if (outcome_ != RunOutcome::Closed) outcome_ = RunOutcome::Failed;
  return false;
}

bool ProtocolSession::ConnectOnce(const std::string& host, std::uint16_t port) {
  lastConnectError_.clear();
  connection_ = link_.CreateConnection(*this);
  if (!connection_) {
    lastConnectError_ = "cannot create a socket";
    ShowMessage(IDS_ERROR_SOCKET);
    return false;
  }
  for (;;) {
    std::string reason;
    if (connection_->Connect(host, port, &reason)) {
      lastConnectError_.clear();
      break;
    }
    lastConnectError_ = reason.empty() ? "connection failed" : reason;
    const Answer answer = operator_.ShowMessageBox(FormatMessageText(IDS_ASK_RETRY), ButtonSet::YesNo);
    // The window may have been closed while the question was open.
    if (answer != Answer::Yes || !connection_) {
      connection_.reset();
      return false;
    }
  }
  log_.AppendRaw(FormatConnectedLine(host));
  return true;
}

void ProtocolSession::SendStatusQuery() {
  if (!connection_) return;
  const ProtocolFrame frame = BuildStatusQuery();
  SendBytes(frame.data(), frame.size());
}

// ---------------------------------------------------------------------------
// Receiving

void ProtocolSession::OnSocketReceive() {
  // A front end should never nest notifications, but a modal box shown by a
  // handler may run an event loop that delivers one anyway. Remember it and
  // serve it once the handler has returned, so no arrival is left unread.
  if (inHandler_) {
    notificationPending_ = true;
    return;
  }
  inHandler_ = true;
  do {
    notificationPending_ = false;
    if (connection_) ReceiveFrame();
  } while (notificationPending_ && connection_);
  notificationPending_ = false;
  inHandler_ = false;
}

void ProtocolSession::ReceiveFrame() {
  // TCP is a byte stream: one frame may arrive in several pieces, so the
  // bytes are collected in the response buffer across notifications. Each
  // read asks only for what the frame still lacks, never beyond its 8 bytes.
  while (responseFill_ < kFrameSize) {
    const long got = connection_->Receive(responseBuffer_ + responseFill_, kFrameSize - responseFill_);
    if (got == kReceiveNothingYet) return;  // the rest has not arrived yet
    if (got <= 0) {
      // The peer closed before a whole frame (also while a response was
      // awaited with nothing received), or the read failed.
      AbortRun(IDS_ERROR_TOOMANY);
      return;
    }
    responseFill_ += static_cast<std::size_t>(got);
  }
  // Lock-step allows exactly one frame per request: anything already behind
  // it is a protocol error.
  if (connection_->Available() > 0) {
    AbortRun(IDS_ERROR_TOOMANY);
    return;
  }
  HandleFrame();
}

void ProtocolSession::HandleFrame() {
  ProtocolFrame frame;
  std::memcpy(frame.data(), responseBuffer_, kFrameSize);
  responseFill_ = 0;
  const ResponseClass response = ClassifyResponse(frame);
  switch (response.kind) {
    case ResponseKind::Ack:
      switch (state_) {
        case SwitchRequested:
          ReconnectAfterSwitch();
          return;
        case SizeRequested:
          state_ = SendingBlocks;
          if (!OpenImageFile()) return;
          SendNextBlock();
          return;
        case SendingBlocks:
          if (endOfImage_) {
            FinishRun();
            return;
          }
          log_.AppendLogLine(FormatMessageText(IDS_INFO_BLOCK_SENT));
          SendNextBlock();
          return;
        case Idle:
        case SectorRequested:
          // No acknowledgement is awaited in these steps.
          ShowMessage(IDS_WARN_RETCODE);
          EndRun(RunOutcome::Failed);
          CloseConnection();
          CloseImageFile();
          return;
      }
      return;
    case ResponseKind::StatusReply:
      if (response.status == 1) {
        SendSwitchRequest();
      } else if (response.status == 2 && userModuleFlag_) {
        SendSectorRequest();
      } else {
        SendSizeRequest();
      }
      return;
    case ResponseKind::BadStatus:
    case ResponseKind::Nak:
    case ResponseKind::BadCode:
      AbortRun(response.messageId);
      return;
  }
}

void ProtocolSession::ReconnectAfterSwitch() {
  // The device switches into download mode after acknowledging; it takes a
  // new connection after a pause. The wait blocks without serving events.
  CloseConnection();
  link_.Wait(kModeSwitchWaitMs);
  if (ConnectOnce(host_, port_)) {
    // DownloadState stays SwitchRequested until the next request sets it.
    SendStatusQuery();
    return;
  }
  // Closing the window while "Retry?" was open has ended the run already.
  if (outcome_ == RunOutcome::Closed) return;
  ShowMessage(IDS_ERROR_CONNECT);
  EndRun(RunOutcome::Failed);
}

// ---------------------------------------------------------------------------
// Requests

void ProtocolSession::SendSwitchRequest() {
  state_ = SwitchRequested;
  log_.AppendLogLine(FormatMessageText(IDS_INFO_MODE_SWITCH));
  const ProtocolFrame frame = BuildSwitchRequest();
  SendBytes(frame.data(), frame.size());
}

void ProtocolSession::SendSectorRequest() {
  // At most the first 15 characters of the text are converted.
  const std::uint32_t address = UserBaseAddressFromText(userBaseAddress_);
  state_ = SectorRequested;
  log_.AppendRaw(fixed_text::kSpecialSector);
  const ProtocolFrame frame = BuildSectorRequest(address);
  SendBytes(frame.data(), frame.size());
}

void ProtocolSession::SendSizeRequest() {
  // An empty image has no block whose acknowledgement could end the run: a
  // device that accepted the size would leave the run waiting for ever.
  if (imageLength_ == 0) {
    FailWithText(session_text::kEmptyImage);
    return;
  }
  const ProtocolFrame frame = BuildSizeRequest(imageLength_);
  const Answer answer = operator_.ShowMessageBox(FormatMessageText(IDS_ASK_WRITE), ButtonSet::OkCancel);
  if (!connection_) return;  // the window was closed while the question was open
  if (answer == Answer::Ok) {
    state_ = SizeRequested;
    log_.AppendLogLine(FormatMessageText(IDS_INFO_START));
    endOfImage_ = false;
    SendBytes(frame.data(), frame.size());
    return;
  }
  // Nothing is sent; the device sees the connection close.
  userModuleFlag_ = false;
  outcome_ = RunOutcome::Cancelled;
  operator_.SetDownloadEnabled(true);
  CloseConnection();
  log_.AppendLogLine(FormatMessageText(IDS_INFO_CANCELLED));
}

bool ProtocolSession::OpenImageFile() {
  CloseImageFile();
  errno = 0;
  // Read-only: a missing file is reported, never created empty.
  imageFile_ = std::fopen(imagePath_.c_str(), "rb");
  if (!imageFile_) {
    FailWithText("Cannot open image file " + imagePath_ + ": " + DescribeErrno(errno));
    return false;
  }
  bytesSent_ = 0;
  return true;
}

void ProtocolSession::SendNextBlock() {
  // One block: up to 64 pieces of at most 1,024 bytes through the one
  // transfer buffer, written back to back. The block ends early at the end of
  // the image, which sets the end-of-image flag; the counter then keeps the
  // number of full pieces before the last one. Exactly the announced length
  // is sent: a file that ends sooner, or cannot be read, ends the run rather
  // than leave the device waiting for bytes that will not come.
  blockCounter_ = 0;
  for (;;) {
    std::memset(transferBuffer_, 0, sizeof transferBuffer_);
    const std::uint64_t left = imageLength_ - bytesSent_;
    const std::size_t want = left < sizeof transferBuffer_ ? static_cast<std::size_t>(left) : sizeof transferBuffer_;
    errno = 0;
    const std::size_t got = want > 0 ? std::fread(transferBuffer_, 1, want, imageFile_) : 0;
    if (got < want) {
      if (std::ferror(imageFile_)) {
        FailWithText("Cannot read image file " + imagePath_ + ": " + DescribeErrno(errno));
      } else {
        FailWithText("Image file " + imagePath_ + " ends before the announced " + std::to_string(imageLength_) +
                     " bytes");
      }
      return;
    }
    if (got > 0 && !SendBytes(transferBuffer_, got)) return;
    bytesSent_ += got;
    if (bytesSent_ >= imageLength_) {
      endOfImage_ = true;
      return;
    }
    ++blockCounter_;
    if (blockCounter_ >= kPiecesPerBlock) return;
  }
}

bool ProtocolSession::SendBytes(const std::uint8_t* data, std::size_t size) {
  if (connection_ && connection_->Send(data, size)) return true;
  // No response can come to a request that did not go out.
  FailWithText(session_text::kSendError);
  return false;
}

// ---------------------------------------------------------------------------
// Ends of a run

void ProtocolSession::FinishRun() {
  // The count is the whole image in kilobytes, rounded up (1,500 bytes give
  // 2), which is what an operator reads the line as.
  const long kilobytes = static_cast<long>((static_cast<std::uint64_t>(imageLength_) + 1023) / 1024);
  log_.AppendRaw(FormatKilobytesLine(kilobytes));
  CloseConnection();
  CloseImageFile();
  ShowMessage(IDS_INFO_FINISHED);
  log_.AppendLogLine(FormatMessageText(IDS_INFO_FINISHED_LOG));
  EndRun(RunOutcome::Finished);
}

void ProtocolSession::AbortRun(std::uint16_t messageId) {
  // The box comes first, while the connection is still open.
  ShowMessage(messageId);
  if (messageId == IDS_NAK_DIAL) {
    operator_.ShowMessageBox(fixed_text::kDialError, ButtonSet::Ok);
  }
  CloseConnection();
  CloseImageFile();
  EndRun(RunOutcome::Failed);
}

void ProtocolSession::FailWithText(const std::string& text) {
  operator_.ShowMessageBox(text, ButtonSet::Ok);
  CloseConnection();
  CloseImageFile();
  EndRun(RunOutcome::Failed);
}

void ProtocolSession::AbandonRun() {
  if (!connection_) return;
  CloseConnection();
  CloseImageFile();
  EndRun(RunOutcome::Failed);
}

void ProtocolSession::ShutdownConnection() {
  if (!connection_) return;
  // Half-close so the device sees the end, then discard what it still sends
  // until it closes too, a read fails, or the time limit is spent: a silent
  // device must not keep the window from closing.
  connection_->ShutdownSend();
  std::uint8_t discard[kDrainPieceSize];
  const std::int64_t deadline = link_.MonotonicMs() + kShutdownDrainLimitMs;
  for (;;) {
    const std::int64_t left = deadline - link_.MonotonicMs();
    if (left <= 0) break;
    const long got = connection_->ReceiveWithin(discard, sizeof discard, static_cast<int>(left));
    if (got <= 0) break;  // closed, failed or timed out
  }
  CloseConnection();
  CloseImageFile();
  EndRun(RunOutcome::Closed);
}

void ProtocolSession::CloseConnection() {
  responseFill_ = 0;
  if (!connection_) return;
  // Released at once and never touched again; a front end whose socket is
  // still inside its own notification defers the deletion itself.
  connection_->Close();
  connection_.reset();
}

void ProtocolSession::CloseImageFile() {
  if (imageFile_) {
    std::fclose(imageFile_);
    imageFile_ = nullptr;
  }
}

void ProtocolSession::ShowMessage(std::uint16_t messageId) {
  operator_.ShowMessageBox(FormatMessageText(messageId), ButtonSet::Ok);
}

void ProtocolSession::EndRun(RunOutcome outcome) {
  // A run that the window's closing ended while one of its boxes was open
  // stays ended that way.
  if (outcome_ != RunOutcome::Closed) outcome_ = outcome;
  operator_.SetDownloadEnabled(true);
}

}  // namespace mervix
