// lh5 decoding. A stream is a sequence of blocks, most significant bit first:
//   16 bits  token count N
//   code-length code   (19 symbols, count width 5, a 2-bit skip after the 3rd)
//   main code lengths  (510 symbols, count width 9, written with the code above)
//   distance code      (14 classes, count width 4, no skip)
//   N tokens           main symbol; for a match also a distance class and its
//                      low bits
// A code with a single symbol is sent as a zero count and the symbol; its
// tokens then take no bits. All codes are canonical: shorter codes are
// numerically smaller, and codes of one length rise with the symbol number.
#include "compress/Lh5Decoder.h"

#include <algorithm>
#include <array>

namespace mervix {
namespace {

constexpr int kMainSymbols = 510;      // 256 literals + match lengths 3..256
constexpr int kLengthSymbols = 19;     // alphabet of the code-length code
constexpr int kDistanceClasses = 14;   // distance values 0..8191
constexpr int kMaxCodeLength = 16;
constexpr int kMinMatch = 3;

// Reads bits most significant first from a byte array; every read checks
// that the bits exist.
class BitReader {
 public:
  BitReader(const std::uint8_t* data, std::size_t size) : data_(data), totalBits_(size * 8) {}

  std::size_t RemainingBits() const { return totalBits_ - position_; }

  // Reads n (0..16) bits into *value; false when fewer than n remain.
  bool Read(int n, unsigned* value) {
    if (static_cast<std::size_t>(n) > RemainingBits()) return false;
    *value = Peek16() >> (16 - n);
    if (n == 0) *value = 0;
    position_ += static_cast<std::size_t>(n);
    return true;
  }

  // The next 16 bits, with zero bits in place of those beyond the end.
  unsigned Peek16() const {
    unsigned v = 0;
    std::size_t byte = position_ >> 3;
    // Three bytes always cover 16 bits starting at any bit offset.
    for (int k = 0; k < 3; ++k) {
      v <<= 8;
      if (byte + k < totalBits_ / 8) v |= data_[byte + k];
    }
    return (v >> (8 - (position_ & 7))) & 0xFFFF;
  }

  void Skip(int n) { position_ += static_cast<std::size_t>(n); }
  std::size_t Position() const { return position_; }

 private:
  const std::uint8_t* data_;
  std::size_t totalBits_;
  std::size_t position_ = 0;
};

// A canonical prefix code over up to kMainSymbols symbols, or a single symbol
// that takes no bits.
class PrefixCode {
 public:
  // Sets the code that always yields symbol without reading a bit.
  void SetSingle(int symbol) { single_ = symbol; }

  // Builds the code from a length per symbol (0 = unused). Fails unless the
  // lengths form a complete prefix code: an incomplete or over-subscribed set
  // is never written by the coder and would leave undecodable bit patterns.
  bool Build(const std::uint8_t* lengths, int n) {
    single_ = -1;
    count_.fill(0);
    for (int i = 0; i < n; ++i) count_[lengths[i]] += 1;
    count_[0] = 0;
    // Kraft check: 'left' is the number of unused codes of the current length.
    long left = 1;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
      left = left * 2 - count_[len];
      if (left < 0) return false;
    }
    if (left != 0) return false;
    // Symbols ordered by length, then by symbol number: the canonical order.
    std::array<int, kMaxCodeLength + 2> offset{};
    for (int len = 1; len <= kMaxCodeLength; ++len) offset[len + 1] = offset[len] + count_[len];
    for (int i = 0; i < n; ++i) {
      if (lengths[i] != 0) sorted_[offset[lengths[i]]++] = static_cast<std::uint16_t>(i);
    }
    return true;
  }

  // Decodes one symbol; false when the bits run out.
  bool Decode(BitReader* in, int* symbol) const {
    if (single_ >= 0) {
      *symbol = single_;
      return true;
    }
    const unsigned bits = in->Peek16();
    unsigned first = 0;  // first code of the current length
    int index = 0;       // index in sorted_ of that code's symbol
    for (int len = 1; len <= kMaxCodeLength; ++len) {
      const unsigned code = bits >> (16 - len);
      const unsigned count = static_cast<unsigned>(count_[len]);
      if (code - first < count) {
        if (static_cast<std::size_t>(len) > in->RemainingBits()) return false;
        in->Skip(len);
        *symbol = sorted_[index + static_cast<int>(code - first)];
        return true;
      }
      index += static_cast<int>(count);
      first = (first + count) << 1;
    }
    return false;  // unreachable for a complete code
  }

 private:
  int single_ = -1;
  std::array<int, kMaxCodeLength + 1> count_{};
  std::array<std::uint16_t, kMainSymbols> sorted_{};
};

class Decoder {
 public:
  Decoder(const std::uint8_t* data, std::size_t size, std::optional<std::size_t> expected,
          std::vector<std::uint8_t>* out, Lh5StreamInfo* info)
      : in_(data, size), expected_(expected), out_(out), info_(info) {}

  bool Run(std::string* error) {
    const bool ok = RunBlocks(error);
    if (info_ != nullptr) info_->bitsRead = in_.Position();
    return ok;
  }

 private:
  bool RunBlocks(std::string* error) {
    out_->clear();
    const std::size_t limit = expected_ ? std::min(*expected_, kMaxLh5DecodedSize) : kMaxLh5DecodedSize;
    if (expected_ && *expected_ > kMaxLh5DecodedSize) return Fail(error, "expected size exceeds the decoder's limit");
    out_->reserve(expected_ ? limit : std::min<std::size_t>(limit, 1u << 20));
    for (;;) {
      if (expected_ && out_->size() == *expected_) return true;
      if (!expected_ && in_.RemainingBits() < 8) {
        unsigned padding = 0;
        in_.Read(static_cast<int>(in_.RemainingBits()), &padding);
        if (padding != 0) return Fail(error, "non-zero padding after the last block");
        return true;
      }
      if (!DecodeBlock(limit, error)) return false;
    }
  }
  bool Fail(std::string* error, const char* reason) {
    if (error) *error = reason;
    return false;
  }

  // Reads the lengths of the code-length code or of the distance code.
  bool ReadAuxCode(int symbols, int countBits, int special, PrefixCode* code, std::string* error) {
    unsigned n = 0;
    if (!in_.Read(countBits, &n)) return Fail(error, "stream ends in a code description");
    if (n == 0) {
      unsigned s = 0;
      if (!in_.Read(countBits, &s)) return Fail(error, "stream ends in a code description");
      if (s >= static_cast<unsigned>(symbols)) return Fail(error, "single code symbol out of range");
      code->SetSingle(static_cast<int>(s));
      return true;
    }
    if (n > static_cast<unsigned>(symbols)) return Fail(error, "too many code lengths");
    std::array<std::uint8_t, kLengthSymbols> lengths{};
    int i = 0;
    while (i < static_cast<int>(n)) {
      unsigned len = 0;
      if (!in_.Read(3, &len)) return Fail(error, "stream ends in a code description");
      if (len == 7) {
        // Lengths 7..16: a run of one bits ended by a zero bit.
        unsigned bit = 1;
        for (;;) {
          if (!in_.Read(1, &bit)) return Fail(error, "stream ends in a code description");
          if (bit == 0) break;
          if (++len > kMaxCodeLength) return Fail(error, "code length above 16");
        }
      }
      lengths[i++] = static_cast<std::uint8_t>(len);
      if (i == special) {
        // Up to three zero lengths skipped; may reach past n (then harmless).
        unsigned skip = 0;
        if (!in_.Read(2, &skip)) return Fail(error, "stream ends in a code description");
        i += static_cast<int>(skip);
      }
    }
    if (!code->Build(lengths.data(), symbols)) return Fail(error, "invalid code lengths");
    return true;
  }

  bool ReadMainCode(std::string* error) {
    unsigned n = 0;
    if (!in_.Read(9, &n)) return Fail(error, "stream ends in a code description");
    if (n == 0) {
      unsigned s = 0;
      if (!in_.Read(9, &s)) return Fail(error, "stream ends in a code description");
      if (s >= static_cast<unsigned>(kMainSymbols)) return Fail(error, "single main symbol out of range");
      main_.SetSingle(static_cast<int>(s));
      return true;
    }
    if (n > static_cast<unsigned>(kMainSymbols)) return Fail(error, "too many main code lengths");
    std::array<std::uint8_t, kMainSymbols> lengths{};
    unsigned i = 0;
    while (i < n) {
      int s = 0;
      if (!lengthCode_.Decode(&in_, &s)) return Fail(error, "stream ends in a code description");
      if (s >= 3) {
        lengths[i++] = static_cast<std::uint8_t>(s - 2);
        continue;
      }
      unsigned run = 1;
      if (s == 1 || s == 2) {
        const int bits = (s == 1) ? 4 : 9;
        if (!in_.Read(bits, &run)) return Fail(error, "stream ends in a code description");
        run += (s == 1) ? 3 : 20;
      }
      if (run > n - i) return Fail(error, "zero run beyond the main code");
      i += run;  // lengths are already zero
    }
    if (!main_.Build(lengths.data(), kMainSymbols)) return Fail(error, "invalid main code lengths");
    return true;
  }

  bool DecodeBlock(std::size_t limit, std::string* error) {
    unsigned tokens = 0;
    if (!in_.Read(16, &tokens)) return Fail(error, "stream ends before a block");
    if (tokens == 0) return Fail(error, "block with no tokens");
    if (info_ != nullptr) info_->blockTokens.push_back(tokens);
    if (!ReadAuxCode(kLengthSymbols, 5, 3, &lengthCode_, error)) return false;
    if (!ReadMainCode(error)) return false;
    if (!ReadAuxCode(kDistanceClasses, 4, -1, &distance_, error)) return false;

    std::vector<std::uint8_t>& out = *out_;
    for (unsigned t = 0; t < tokens; ++t) {
      int symbol = 0;
      if (!main_.Decode(&in_, &symbol)) return Fail(error, "stream ends inside a block");
      if (symbol < 256) {
        if (out.size() >= limit) return Fail(error, "output exceeds the decoder's limit");
        out.push_back(static_cast<std::uint8_t>(symbol));
      } else {
        int cls = 0;
        if (!distance_.Decode(&in_, &cls)) return Fail(error, "stream ends inside a block");
        unsigned value = static_cast<unsigned>(cls);
        if (cls >= 2) {
          unsigned low = 0;
          if (!in_.Read(cls - 1, &low)) return Fail(error, "stream ends inside a block");
          value = (1u << (cls - 1)) | low;
        }
        const std::size_t distance = value + 1;
        if (distance > out.size()) return Fail(error, "match reaches before the start of the data");
        std::size_t length = static_cast<std::size_t>(symbol - 256 + kMinMatch);
        if (out.size() + length > limit) {
          if (!expected_) return Fail(error, "output exceeds the decoder's limit");
          length = limit - out.size();  // the expected end falls inside this match
        }
        // Byte by byte: source and destination overlap when distance < length.
        std::size_t from = out.size() - distance;
        for (std::size_t k = 0; k < length; ++k) out.push_back(out[from + k]);
      }
      if (expected_ && out.size() == *expected_) return true;
    }
    return true;
  }

  BitReader in_;
  std::optional<std::size_t> expected_;
  std::vector<std::uint8_t>* out_;
  Lh5StreamInfo* info_;
  PrefixCode lengthCode_;
  PrefixCode main_;
  PrefixCode distance_;
};

}  // namespace

bool DecodeLh5(const std::uint8_t* data, std::size_t size, std::optional<std::size_t> expectedSize,
               std::vector<std::uint8_t>* out, std::string* error) {
  return DecodeLh5(data, size, expectedSize, out, error, nullptr);
}

bool DecodeLh5(const std::uint8_t* data, std::size_t size, std::optional<std::size_t> expectedSize,
               std::vector<std::uint8_t>* out, std::string* error, Lh5StreamInfo* info) {
  if (info != nullptr) *info = Lh5StreamInfo{};
  if (out == nullptr) {
    if (error) *error = "no output vector";
    return false;
  }
  if (data == nullptr && size != 0) {
    out->clear();
    if (error) *error = "no input data";
    return false;
  }
  Decoder decoder(data, size, expectedSize, out, info);
  return decoder.Run(error);
}

}  // namespace mervix
