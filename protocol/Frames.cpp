#include "protocol/Frames.h"

namespace mervix {
namespace {

constexpr std::uint8_t kRequestClass = 0x51;

ProtocolFrame RequestWithWord(std::uint8_t kind, std::uint32_t value) {
  // Bytes 2..5 carry the value most significant byte first; 6..7 stay zero.
  return ProtocolFrame{kRequestClass,
                       kind,
                       static_cast<std::uint8_t>(value >> 24),
                       static_cast<std::uint8_t>(value >> 16),
                       static_cast<std::uint8_t>(value >> 8),
                       static_cast<std::uint8_t>(value),
                       0x00,
                       0x00};
}

// The five accepted status frames, in the order they are compared. Status 1
// and 2 are accepted in either byte of 2..3; status 3 only as 03 00.
struct StatusPattern {
  ProtocolFrame bytes;
  int status;
};
constexpr StatusPattern kStatusPatterns[] = {
    {{0x52, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}, 1},
    {{0x52, 0x05, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}, 1},
    {{0x52, 0x05, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}, 2},
    {{0x52, 0x05, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}, 2},
    {{0x52, 0x05, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00}, 3},
};

// Refusal flags in the order they are tested; the first set bit decides.
struct NakReason {
  std::uint16_t bit;
  std::uint16_t messageId;
};
constexpr NakReason kNakReasons[] = {
    {0x8000, 116},  // command error
    {0x0020, 117},  // download size error
    {0x0010, 118},  // dial-in/dial-out line in use
    {0x0008, 119},  // Telnet login in use
    {0x0004, 121},  // flash erase failed
    {0x0002, 122},  // download already in progress
    {0x0001, 123},  // flash write failed
};
constexpr std::uint16_t kNakUnknownMessage = 124;
constexpr std::uint16_t kBadStatusMessage = 126;
constexpr std::uint16_t kBadCodeMessage = 127;

}  // namespace

ProtocolFrame BuildStatusQuery() { return ProtocolFrame{kRequestClass, 0x21, 0, 0, 0, 0, 0, 0}; }

ProtocolFrame BuildSwitchRequest() { return ProtocolFrame{kRequestClass, 0x20, 'S', 'W', 'I', 'T', 'C', 'H'}; }

ProtocolFrame BuildSectorRequest(std::uint32_t address) { return RequestWithWord(0x23, address); }

ProtocolFrame BuildSizeRequest(std::uint32_t length) { return RequestWithWord(0x22, length); }

std::uint16_t NakMessageId(std::uint16_t flags) {
  for (const NakReason& reason : kNakReasons) {
    if (flags & reason.bit) return reason.messageId;
  }
  return kNakUnknownMessage;
}

ResponseClass ClassifyResponse(const ProtocolFrame& frame) {
  ResponseClass result;
  const std::uint16_t code = static_cast<std::uint16_t>((frame[0] << 8) | frame[1]);
  switch (code) {
    case kCodeAck:
      result.kind = ResponseKind::Ack;
      return result;
    case kCodeNak:
      result.kind = ResponseKind::Nak;
      result.nakFlags = static_cast<std::uint16_t>((frame[2] << 8) | frame[3]);
      result.messageId = NakMessageId(result.nakFlags);
      return result;
    case kCodeStatusReply:
      // All eight bytes are compared, so a stray non-zero byte anywhere in
      // 4..7 makes the frame a bad status.
      for (const StatusPattern& pattern : kStatusPatterns) {
        if (frame == pattern.bytes) {
          result.kind = ResponseKind::StatusReply;
          result.status = pattern.status;
          return result;
        }
      }
      result.kind = ResponseKind::BadStatus;
      result.messageId = kBadStatusMessage;
      return result;
    default:
      result.kind = ResponseKind::BadCode;
      result.messageId = kBadCodeMessage;
      return result;
  }
}

std::vector<BlockRange> BlockRanges(std::uint32_t length) {
  std::vector<BlockRange> blocks;
  blocks.reserve(length / kBlockSize + 1);
  // 64-bit offset: the last block of an image near 4 GiB would otherwise
  // wrap the loop variable past the end.
  for (std::uint64_t offset = 0; offset < length; offset += kBlockSize) {
    const std::uint64_t left = length - offset;
    blocks.push_back(BlockRange{static_cast<std::uint32_t>(offset),
                                static_cast<std::uint32_t>(left < kBlockSize ? left : kBlockSize)});
  }
  return blocks;
}

}  // namespace mervix
