#include "store/password_digest.h"

#include <algorithm>
#include <cstring>

#include "util/checksum.h"
#include "util/text.h"

namespace kestrune {

int PasswordDigest::FromPlain(std::string_view password) {
  Clear();
  if (password.empty()) return 0;
  if (password.size() > kMaxPlainLength) return -1;

  const std::size_t length = password.size();
  Bytes buffer{};
  std::uint32_t accumulator = static_cast<std::uint32_t>(length);
  std::size_t fill = 0;
  std::uint8_t key[4] = {0, 0, 0, 0};
  for (std::size_t i = 0; i < kSize; ++i) {
    std::uint8_t c;
    if (i < length) {
      c = static_cast<std::uint8_t>(password[i]);
    } else {
      // Past the password, each byte is drawn from the already mixed ones.
      c = static_cast<std::uint8_t>((buffer[fill] + key[(accumulator + 1) % 4] + 65) % 128);
      ++fill;
    }
    buffer[i] = c;
    std::uint32_t crc = Crc32(buffer.data(), i + 1);
    key[0] = static_cast<std::uint8_t>(crc >> 24);
    key[1] = static_cast<std::uint8_t>(crc >> 16);
    key[2] = static_cast<std::uint8_t>(crc >> 8);
    key[3] = static_cast<std::uint8_t>(crc);
    accumulator += c;
    if (crc != 0) {
      while (key[accumulator % 4] == 0) ++accumulator;
    }
    buffer[i] = static_cast<std::uint8_t>(key[accumulator % 4] + c);
    ++accumulator;
  }
  bytes_ = buffer;
  set_ = true;
  return 0;
}

int PasswordDigest::FromHex(std::string_view hex) {
  Clear();
  if (hex.empty()) return -1;
  if (hex.size() != kSize * 2) return -2;
  Bytes bytes{};
  for (std::size_t i = 0; i < kSize; ++i) bytes[i] = HexPairValue(hex[2 * i], hex[2 * i + 1]);
  SetFromBytes(bytes.data());
  return 0;
}

int PasswordDigest::FromRaw(const std::uint8_t* bytes) {
  Clear();
  if (bytes == nullptr) return -1;
  SetFromBytes(bytes);
  return 0;
}

void PasswordDigest::SetFromBytes(const std::uint8_t* bytes) {
  std::memcpy(bytes_.data(), bytes, kSize);
  set_ = std::any_of(bytes_.begin(), bytes_.end(), [](std::uint8_t b) { return b != 0; });
}

std::string PasswordDigest::ToHex() const {
  if (!set_) return std::string();
  std::string out(kSize * 2, '0');
  for (std::size_t i = 0; i < kSize; ++i) HexByte(bytes_[i], &out[2 * i]);
  return out;
}

bool PasswordDigest::Equals(const PasswordDigest& other) const {
  return set_ == other.set_ && bytes_ == other.bytes_;
}

bool PasswordDigest::BytesEqual(const std::uint8_t* bytes) const {
  return bytes != nullptr && std::memcmp(bytes_.data(), bytes, kSize) == 0;
}

void PasswordDigest::Clear() {
  set_ = false;
  bytes_.fill(0);
}

}  // namespace kestrune
