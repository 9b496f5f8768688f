#pragma once
// SHA-256 of a stream of bytes, for the recovery report: what a recovered file holds, hashed
// as it is written.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace brevant {

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Update(const void* data, std::size_t length);
  // `length` zero bytes, without a buffer of that size.
  void UpdateZeros(std::uint64_t length);
  // The digest of everything given; the object is spent afterwards.
  Digest Final();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// 64 lower-case hex digits.
std::string DigestHex(const Sha256::Digest& digest);

}  // namespace brevant
