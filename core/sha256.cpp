#include "core/sha256.h"

#include <openssl/evp.h>

#include <algorithm>
#include <stdexcept>

namespace brevant {

struct Sha256::State {
  EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->ctx = EVP_MD_CTX_new();
  if (!state_->ctx || EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(state_->ctx);
    throw std::runtime_error("SHA-256 is not available");
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(state_->ctx); }

void Sha256::Update(const void* data, std::size_t length) {
  if (length > 0) EVP_DigestUpdate(state_->ctx, data, length);
}

void Sha256::UpdateZeros(std::uint64_t length) {
  static const std::uint8_t kZeros[64 * 1024] = {};
  while (length > 0) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof kZeros));
    EVP_DigestUpdate(state_->ctx, kZeros, piece);
    length -= piece;
  }
}

Sha256::Digest Sha256::Final() {
  Digest digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->ctx, digest.data(), &length);
  return digest;
}

std::string DigestHex(const Sha256::Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (std::uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace brevant
