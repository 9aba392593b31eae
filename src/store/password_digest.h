// Passwords are only ever held, sent and compared as 32-byte digests; files
// keep them as 64 hexadecimal digits.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune {

class PasswordDigest {
 public:
  static constexpr std::size_t kSize = 32;
  static constexpr std::size_t kMaxPlainLength = 31;
  using Bytes = std::array<std::uint8_t, kSize>;

  // 0 (unset for an empty text); -1 for more than 31 bytes (left unset).
  int FromPlain(std::string_view password);
  // 0; -1 for an empty text, -2 unless exactly 64 characters (left unset).
  // All-zero bytes leave the digest unset.
  int FromHex(std::string_view hex);
  // 0 with the digest set from the bytes (unset when all zero); -1 for nullptr.
  int FromRaw(const std::uint8_t* bytes);
  // 64 upper-case digits, or empty when unset.
  std::string ToHex() const;
  bool Equals(const PasswordDigest& other) const;
  // Compares the bytes only; the set flag is not looked at.
  bool BytesEqual(const std::uint8_t* bytes) const;
  const Bytes& CopyBytes() const { return bytes_; }
  void Clear();
  bool IsSet() const { return set_; }

 private:
  void SetFromBytes(const std::uint8_t* bytes);

  bool set_ = false;
  Bytes bytes_{};
};

}  // namespace kestrune
