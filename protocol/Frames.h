// The wire protocol spoken with the device's download service: the fixed
// 8-byte request and response frames and the layout of the data blocks.
//
// Everything here is a pure function over byte arrays: no state, no I/O.
// Every multi-byte value on the wire is big-endian. Requests start with 0x51
// ('Q'), responses with 0x52 ('R'); bytes 0..1 read as one 16-bit value form
// the frame code by which responses are classified.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mervix {

constexpr std::size_t kFrameSize = 8;
// A data block carries at most this many image bytes and is answered by one
// response frame.
constexpr std::uint32_t kBlockSize = 65536;
// Within a block the image is written in pieces of at most this many bytes.
constexpr std::uint32_t kPieceSize = 1024;
constexpr std::uint32_t kPiecesPerBlock = kBlockSize / kPieceSize;

using ProtocolFrame = std::array<std::uint8_t, kFrameSize>;

// Response codes (bytes 0..1, big-endian).
constexpr std::uint16_t kCodeAck = 0x5203;
constexpr std::uint16_t kCodeStatusReply = 0x5205;
constexpr std::uint16_t kCodeNak = 0x5206;

// 51 21 00 00 00 00 00 00: asks the device for its download status.
ProtocolFrame BuildStatusQuery();
// 51 20 'S' 'W' 'I' 'T' 'C' 'H': asks the device to enter download mode.
ProtocolFrame BuildSwitchRequest();
// 51 23 A3 A2 A1 A0 00 00: names the flash sector (target address) of a user module.
ProtocolFrame BuildSectorRequest(std::uint32_t address);
// 51 22 L3 L2 L1 L0 00 00: announces the exact length of the image that follows.
ProtocolFrame BuildSizeRequest(std::uint32_t length);

enum class ResponseKind {
  Ack,          // 0x5203, bytes 2..7 not examined
  StatusReply,  // 0x5205 matching one of the five status patterns
  BadStatus,    // 0x5205 matching none of them
  Nak,          // 0x5206, refusal with a flag word
  BadCode,      // any other code
};

struct ResponseClass {
  ResponseKind kind = ResponseKind::BadCode;
  // 1, 2 or 3 for a StatusReply; 0 otherwise.
  int status = 0;
  // The refusal flag word (bytes 2..3) of a Nak; 0 otherwise.
  std::uint16_t nakFlags = 0;
  // The message that reports the response when it ends a run: 116..124 for a
  // Nak (by the ordered flag table), 126 for BadStatus, 127 for BadCode; 0
  // for Ack and StatusReply.
  std::uint16_t messageId = 0;
};

// Classifies one whole response frame.
ResponseClass ClassifyResponse(const ProtocolFrame& frame);

// The message of a refusal flag word: the first set bit of 0x8000, 0x0020,
// 0x0010, 0x0008, 0x0004, 0x0002, 0x0001 (in that order) decides; a word with
// none of them gives 124 ("NAK(unknown code)").
std::uint16_t NakMessageId(std::uint16_t flags);

struct BlockRange {
  std::uint32_t offset;
  std::uint32_t size;
  bool operator==(const BlockRange& other) const { return offset == other.offset && size == other.size; }
};

// The data blocks of an image of |length| bytes, in sending order: block k
// covers [k * 65536, min((k + 1) * 65536, length)). A length that is a
// multiple of 65536 ends with a full block, never an empty one; a length of
// 0 has no blocks.
std::vector<BlockRange> BlockRanges(std::uint32_t length);

}  // namespace mervix
