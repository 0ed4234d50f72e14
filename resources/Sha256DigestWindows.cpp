#include "resources/Sha256Digest.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdlib>

namespace mervix {

struct Sha256Digest::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

namespace {

// A digest that cannot even start is a broken installation, not an input:
// nothing it would say could be trusted.
void Check(NTSTATUS status) {
  if (!BCRYPT_SUCCESS(status)) std::abort();
}

}  // namespace

Sha256Digest::Sha256Digest() : state_(std::make_unique<State>()) {
  Check(BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
  Reset();
}

Sha256Digest::~Sha256Digest() = default;
Sha256Digest::Sha256Digest(Sha256Digest&&) noexcept = default;
Sha256Digest& Sha256Digest::operator=(Sha256Digest&&) noexcept = default;

void Sha256Digest::Reset() {
  if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
  state_->hash = nullptr;
  // The system keeps the hash object's memory itself.
  Check(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

void Sha256Digest::Update(const std::uint8_t* data, std::size_t size) {
  // ULONG pieces: a buffer over 4 GB goes in several.
  while (size > 0) {
    const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    Check(BCryptHashData(state_->hash, const_cast<PUCHAR>(data), piece, 0));
    data += piece;
    size -= piece;
  }
}

std::array<std::uint8_t, 32> Sha256Digest::Finish() {
  std::array<std::uint8_t, 32> digest{};
  Check(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
  return digest;
}

}  // namespace mervix
