// One protocol message in memory and the layout rules every handler shares:
// the type table with fixed body sizes, little-endian fixed fields,
// big-endian counted strings and 16-bit lists, and the bounds-checked cursor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

enum MessageType : std::uint16_t {
  MSG_HANDSHAKE = 0,
  MSG_SERVER_TEXT = 6,
  MSG_CHANNEL_AUTH = 51,
  MSG_LOGIN_ACCEPTED = 52,
  MSG_RANK_ADMIN = 54,
  MSG_PING = 55,
  MSG_TTS = 58,
  MSG_MOVE_USER = 59,
  MSG_SESSION_INFO = 60,
  MSG_WAVE = 63,
  MSG_CHAT = 66,
  MSG_USER_SETTING = 70,
  MSG_LOGIN = 72,
  MSG_CHANNEL = 73,
  MSG_ACCOUNT_ADMIN = 74,
  MSG_SERVER_PROPS = 76,
  MSG_MOTD = 80,
  MSG_VOICE = 82,
  MSG_CHANNEL_CHANGE = 83,
  MSG_COMPLAINT = 86,
  MSG_SERVER_INFO = 87,
  MSG_PHANTOM = 88,
  MSG_REFUSAL = 89,
  MSG_USER_LIST = 93,
  MSG_CHANNEL_LIST = 96,
  MSG_BAN_LIST = 97,
  MSG_PAGE = 98,
  MSG_USER_ADMIN = 99,
};

// Fixed body size of a type, or -1 for a type outside the table.
int FixedBodySize(std::uint16_t type);

class Message {
 public:
  static constexpr std::size_t kBufferSize = 4097;
  static constexpr std::size_t kMaxLength = 4096;
  static constexpr std::size_t kHeaderSize = 4;
  static constexpr std::size_t kMaxCountedString = 1023;

  // A zero-filled buffer with `length` valid bytes (clamped to kMaxLength).
  explicit Message(std::size_t length = 0);

  std::uint16_t Length() const { return length_; }
  std::uint8_t* Data() { return data_.get(); }
  const std::uint8_t* Data() const { return data_.get(); }
  std::uint16_t Type() const { return GetU16(0); }
  // Body as the size rules see it: length minus the header (may be negative).
  int BodySize() const { return static_cast<int>(length_) - static_cast<int>(kHeaderSize); }
  std::unique_ptr<Message> Clone() const;
  // Zero-fills the buffer again for a new message of `length` bytes, so a
  // received buffer can be used for the next frame.
  void Reset(std::size_t length);

  // Fixed-field access; little-endian. Offsets past the buffer read 0 and
  // writes there are ignored, so a wrong offset cannot touch other memory.
  std::uint8_t GetU8(std::size_t offset) const;
  std::uint16_t GetU16(std::size_t offset) const;
  std::uint32_t GetU32(std::size_t offset) const;
  void SetU8(std::size_t offset, std::uint8_t value);
  void SetU16(std::size_t offset, std::uint16_t value);
  void SetU32(std::size_t offset, std::uint32_t value);
  // Copies up to width-1 bytes of `text` into a NUL-padded field.
  void SetFixedText(std::size_t offset, std::size_t width, std::string_view text);
  // Forces the last byte of the field to NUL and returns the text before the first NUL.
  std::string GetFixedText(std::size_t offset, std::size_t width);

  // Appends n zero bytes; returns the offset of the first, or -1 when the
  // length would exceed 4096.
  int ReserveBytes(std::size_t n);
  // Sets the number of valid bytes (used by the frame reader); false above 4096.
  bool SetLength(std::size_t length);

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::uint16_t length_ = 0;
};

// A message of `type` with its fixed body, or none for a type outside the table.
std::unique_ptr<Message> CreateMessage(std::uint16_t type);

// The n bytes at `cursor`, advancing it; nullptr (cursor unchanged) when
// cursor < 4 or cursor + n exceeds the length.
const std::uint8_t* ReadBytes(const Message& message, std::size_t& cursor, std::size_t n);

// Counted string: big-endian 16-bit length, then the bytes. A text longer
// than 1023 bytes is not written (false).
bool WriteCountedString(Message& message, std::string_view text);
// Fails (false) when the length is maximum or more, or the bytes run past the message.
bool ReadCountedString(const Message& message, std::size_t& cursor, std::size_t maximum,
                       std::string& text);

// Counted 16-bit list: big-endian count, then big-endian values.
bool WriteU16List(Message& message, const std::vector<std::uint16_t>& list);
// Fails when the count exceeds `capacity` or the values run past the message.
bool ReadU16List(const Message& message, std::size_t& cursor, std::size_t capacity,
                 std::vector<std::uint16_t>& list);

// Writes `text` NUL-terminated at `offset` inside the fixed body; the message
// grows by the text's length plus one and the byte after the terminator stays
// zero. False when it would not fit.
bool AppendText(Message& message, std::size_t offset, std::string_view text);

// Size checks of the handlers.
bool SizeExact(const Message& message, int fixedSize);
bool SizeAtLeast(const Message& message, int fixedSize);
bool SizeEnd(const Message& message, std::size_t cursor);

// A text is invalid with a byte below 32, or when `width` is non-zero and the
// text is `width` bytes or longer.
bool TextValid(std::string_view text, std::size_t width = 0);

}  // namespace kestrune
