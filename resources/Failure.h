// One failure type for every layer: where a run or a preparation failed,
// in which phase, the message the operator is shown and the detail behind it.
//
// It is made where the failure is found (the session machine, the image
// preparation, a runner's socket) and handed unchanged to every front end:
// the window shows the message, the command line prints Describe() and
// picks its exit status from the origin.
#pragma once

#include <cstdint>
#include <string>

namespace mervix {

// Where a failure came from.
enum class FailureOrigin {
  None,           // no failure
  OperatorInput,  // the operator's input: empty host, bad port, bad address text
  File,           // a file could not be opened, read or written
  Conversion,     // an S-record file did not convert, or the image is not one
  DeviceRefusal,  // the device answered Nak; nakFlags holds its flag word
  Protocol,       // the device answered out of turn or with a malformed frame
  Link,           // no connection, a failed send, the peer closed, a time-out
  Cancelled,      // the operator said no, or stopped the run
};

// What went wrong, as the layer that found it knows it. The operations word
// it (messageId, message) for the front ends; a preparation's failures are
// worded where they are found and carry Preparation.
enum class FailureCode {
  None,
  Preparation,       // see messageId: a preparation's own end
  ImageEmpty,        // the image has no bytes
  ImageUnavailable,  // the image could not be taken for the run
  ImageUnreadable,   // a block of the image could not be read
  NoSocket,          // no socket could be created at all
  NoConnection,      // the device could not be reached
  FrameLength,       // not exactly one 8-byte frame came in reply
  UnexpectedAck,     // an acknowledgement when none was awaited
  BadStatus,         // a status frame of no known pattern
  BadCode,           // a response code of no known kind
  Refused,           // the device refused (Nak); nakFlags holds its word
  SendFailed,        // a send did not go out
  NoResponse,        // the device fell silent past the runner's deadline
  Cancelled,         // the operator did not confirm the write
  Stopped,           // the operator stopped the run
  WindowClosed,      // the window closed during the run
  NotReturned,       // after the write the device did not answer in normal mode in time
};

// The step of a run a failure belongs to.
enum class RunPhase {
  Prepare,    // before any connection: choice, conversion, compression, header
  Connect,    // the first connection
  Status,     // the status query
  Switch,     // the switch request
  Reconnect,  // the connection after the mode switch
  Sector,     // the sector request of a user module run
  Size,       // the confirmation and the size request
  Block,      // a data block: block (1-based) of blocks
  Finished,   // after the last acknowledgement
};

struct Failure {
  FailureOrigin origin = FailureOrigin::None;
  RunPhase phase = RunPhase::Prepare;
  std::uint32_t block = 0;   // Block phase: the block in flight, from 1
  std::uint32_t blocks = 0;  // Block phase: how many blocks the image has
  FailureCode code = FailureCode::None;
  // The message table entry the operator was shown (0 when the text has no
  // entry of its own), and the text itself as shown.
  std::uint16_t messageId = 0;
  std::string message;
  // What lies behind it, for a log or a terminal: the system's error text,
  // the S-record line and result code, the Nak flag word.
  std::string detail;
  std::uint16_t nakFlags = 0;  // DeviceRefusal only

  bool failed() const { return origin != FailureOrigin::None; }
};

// "connect", "status", "switch", "reconnect", "sector", "size",
// "block 3 of 31", "prepare", "finished".
std::string PhaseName(const Failure& failure);

// "operator input", "file", "conversion", "device refusal", "protocol",
// "link", "cancelled" ("none" for no failure).
const char* OriginName(FailureOrigin origin);

// One line for a terminal: "<phase>: <message> (<detail>)", the parts that
// are empty left out.
std::string Describe(const Failure& failure);

}  // namespace mervix
