#include "net/message.h"

#include <algorithm>
#include <cstring>

namespace kestrune {

namespace {

struct TypeSize {
  std::uint16_t type;
  int fixedSize;
};

constexpr TypeSize kTypeTable[] = {
    {0, 80},  {6, 10},  {51, 48},  {52, 8},  {53, 12}, {54, 12},  {55, 8},  {58, 4},
    {59, 8},  {60, 20}, {63, 4},   {66, 8},  {70, 8},  {72, 276}, {73, 84}, {74, 16},
    {75, 8},  {76, 8},  {80, 268}, {82, 20}, {83, 4},  {84, 12},  {86, 20}, {87, 104},
    {88, 16}, {89, 16}, {90, 8},   {93, 4},  {96, 4},  {97, 208}, {98, 8},  {99, 136},
};

}  // namespace

int FixedBodySize(std::uint16_t type) {
  for (const TypeSize& entry : kTypeTable) {
    if (entry.type == type) return entry.fixedSize;
  }
  return -1;
}

Message::Message(std::size_t length)
    : data_(std::make_unique<std::uint8_t[]>(kBufferSize)),
      length_(static_cast<std::uint16_t>(std::min(length, kMaxLength))) {}

void Message::Reset(std::size_t length) {
  std::memset(data_.get(), 0, kBufferSize);
  length_ = static_cast<std::uint16_t>(std::min(length, kMaxLength));
}

std::unique_ptr<Message> Message::Clone() const {
  auto copy = std::make_unique<Message>(length_);
  std::memcpy(copy->data_.get(), data_.get(), kBufferSize);
  return copy;
}

std::uint8_t Message::GetU8(std::size_t offset) const {
  return offset < kBufferSize ? data_[offset] : 0;
}

std::uint16_t Message::GetU16(std::size_t offset) const {
  return static_cast<std::uint16_t>(GetU8(offset) | (GetU8(offset + 1) << 8));
}

std::uint32_t Message::GetU32(std::size_t offset) const {
  return static_cast<std::uint32_t>(GetU16(offset)) |
         (static_cast<std::uint32_t>(GetU16(offset + 2)) << 16);
}

void Message::SetU8(std::size_t offset, std::uint8_t value) {
  if (offset < kBufferSize) data_[offset] = value;
}

void Message::SetU16(std::size_t offset, std::uint16_t value) {
  SetU8(offset, static_cast<std::uint8_t>(value & 0xFF));
  SetU8(offset + 1, static_cast<std::uint8_t>(value >> 8));
}

void Message::SetU32(std::size_t offset, std::uint32_t value) {
  SetU16(offset, static_cast<std::uint16_t>(value & 0xFFFF));
  SetU16(offset + 2, static_cast<std::uint16_t>(value >> 16));
}

void Message::SetFixedText(std::size_t offset, std::size_t width, std::string_view text) {
  if (width == 0 || offset >= kBufferSize) return;
  width = std::min(width, kBufferSize - offset);
  std::memset(data_.get() + offset, 0, width);
  std::memcpy(data_.get() + offset, text.data(), std::min(text.size(), width - 1));
}

std::string Message::GetFixedText(std::size_t offset, std::size_t width) {
  if (width == 0 || offset >= kBufferSize) return {};
  width = std::min(width, kBufferSize - offset);
  data_[offset + width - 1] = 0;
  const char* start = reinterpret_cast<const char*>(data_.get() + offset);
  return std::string(start, strnlen(start, width));
}

int Message::ReserveBytes(std::size_t n) {
  // Compared this way round so that a huge n cannot wrap past the check.
  if (n > kMaxLength - length_) return -1;
  int offset = length_;
  length_ = static_cast<std::uint16_t>(length_ + n);
  return offset;
}

bool Message::SetLength(std::size_t length) {
  if (length > kMaxLength) return false;
  length_ = static_cast<std::uint16_t>(length);
  return true;
}

std::unique_ptr<Message> CreateMessage(std::uint16_t type) {
  int fixed = FixedBodySize(type);
  if (fixed < 0) return nullptr;
  auto message = std::make_unique<Message>(Message::kHeaderSize + fixed);
  message->SetU16(0, type);
  return message;
}

const std::uint8_t* ReadBytes(const Message& message, std::size_t& cursor, std::size_t n) {
  if (cursor < Message::kHeaderSize || cursor > message.Length() || n > message.Length() - cursor) {
    return nullptr;
  }
  const std::uint8_t* bytes = message.Data() + cursor;
  cursor += n;
  return bytes;
}

namespace {

bool ReadBigU16(const Message& message, std::size_t& cursor, std::uint16_t& value) {
  const std::uint8_t* bytes = ReadBytes(message, cursor, 2);
  if (bytes == nullptr) return false;
  value = static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
  return true;
}

bool WriteBigU16(Message& message, std::uint16_t value) {
  int at = message.ReserveBytes(2);
  if (at < 0) return false;
  message.Data()[at] = static_cast<std::uint8_t>(value >> 8);
  message.Data()[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
  return true;
}

}  // namespace

bool WriteCountedString(Message& message, std::string_view text) {
  if (text.size() > Message::kMaxCountedString) return false;
  if (message.Length() + 2 + text.size() > Message::kMaxLength) return false;
  WriteBigU16(message, static_cast<std::uint16_t>(text.size()));
  int at = message.ReserveBytes(text.size());
  if (!text.empty()) std::memcpy(message.Data() + at, text.data(), text.size());
  return true;
}

bool ReadCountedString(const Message& message, std::size_t& cursor, std::size_t maximum,
                       std::string& text) {
  std::size_t at = cursor;
  std::uint16_t n = 0;
  if (!ReadBigU16(message, at, n) || n >= maximum) return false;
  const std::uint8_t* bytes = ReadBytes(message, at, n);
  if (bytes == nullptr) return false;
  text.assign(reinterpret_cast<const char*>(bytes), n);
  cursor = at;
  return true;
}

bool WriteU16List(Message& message, const std::vector<std::uint16_t>& list) {
  if (list.size() > 0xFFFF || message.Length() + 2 + 2 * list.size() > Message::kMaxLength) {
    return false;
  }
  WriteBigU16(message, static_cast<std::uint16_t>(list.size()));
  for (std::uint16_t value : list) WriteBigU16(message, value);
  return true;
}

bool ReadU16List(const Message& message, std::size_t& cursor, std::size_t capacity,
                 std::vector<std::uint16_t>& list) {
  std::size_t at = cursor;
  std::uint16_t count = 0;
  if (!ReadBigU16(message, at, count) || count > capacity) return false;
  std::vector<std::uint16_t> values(count);
  for (std::uint16_t& value : values) {
    if (!ReadBigU16(message, at, value)) return false;
  }
  list = std::move(values);
  cursor = at;
  return true;
}

bool AppendText(Message& message, std::size_t offset, std::string_view text) {
  if (text.size() >= Message::kMaxLength) return false;
  std::size_t grown = message.Length() + text.size() + 1;
  // The terminator and the zero byte after it must stay inside the message.
  if (grown > Message::kMaxLength || offset > grown || text.size() + 1 > grown - offset) {
    return false;
  }
  message.SetLength(grown);
  std::memcpy(message.Data() + offset, text.data(), text.size());
  message.Data()[offset + text.size()] = 0;
  if (offset + text.size() + 1 < Message::kBufferSize) message.Data()[offset + text.size() + 1] = 0;
  return true;
}

bool SizeExact(const Message& message, int fixedSize) {
  return message.BodySize() == fixedSize;
}

bool SizeAtLeast(const Message& message, int fixedSize) {
  return message.BodySize() >= 0 && message.BodySize() >= fixedSize;
}

bool SizeEnd(const Message& message, std::size_t cursor) {
  return cursor == message.Length();
}

bool TextValid(std::string_view text, std::size_t width) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 32) return false;
  }
  return width == 0 || text.size() < width;
}

}  // namespace kestrune
