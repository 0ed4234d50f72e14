#include "resources/Sha256Digest.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace mervix {

struct Sha256Digest::State {
  EVP_MD_CTX* context = nullptr;
  ~State() { EVP_MD_CTX_free(context); }
};

namespace {

// A digest that cannot even start is a broken installation, not an input:
// nothing it would say could be trusted.
void Check(int ok) {
  if (ok != 1) std::abort();
}

}  // namespace

Sha256Digest::Sha256Digest() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context == nullptr) std::abort();
  Reset();
}

Sha256Digest::~Sha256Digest() = default;
Sha256Digest::Sha256Digest(Sha256Digest&&) noexcept = default;
Sha256Digest& Sha256Digest::operator=(Sha256Digest&&) noexcept = default;

void Sha256Digest::Reset() { Check(EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr)); }

void Sha256Digest::Update(const std::uint8_t* data, std::size_t size) {
  if (size > 0) Check(EVP_DigestUpdate(state_->context, data, size));
}

std::array<std::uint8_t, 32> Sha256Digest::Finish() {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  Check(EVP_DigestFinal_ex(state_->context, digest.data(), &length));
  if (length != digest.size()) std::abort();
  return digest;
}

}  // namespace mervix
