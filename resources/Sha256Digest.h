// SHA-256 from a well-kept implementation: OpenSSL's libcrypto on Linux,
// the system's CNG (bcrypt) on Windows. One small interface, so that the
// layers above reach neither.
//
//   Sha256Digest digest;
//   digest.Update(data, size);  ...
//   const std::array<std::uint8_t, 32> sum = digest.Finish();   // then Reset()
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace mervix {

class Sha256Digest {
 public:
  Sha256Digest();
  ~Sha256Digest();
  Sha256Digest(Sha256Digest&& other) noexcept;
  Sha256Digest& operator=(Sha256Digest&& other) noexcept;
  Sha256Digest(const Sha256Digest&) = delete;
  Sha256Digest& operator=(const Sha256Digest&) = delete;

  // Starts again with no bytes.
  void Reset();
  void Update(const std::uint8_t* data, std::size_t size);
  // The digest of everything given since the last Reset; Reset before the
  // object is used again.
  std::array<std::uint8_t, 32> Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// 64 lower-case hex digits.
std::string Sha256Hex(const std::array<std::uint8_t, 32>& digest);

}  // namespace mervix
