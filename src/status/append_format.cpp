#include "status/append_format.h"

#include <cstdarg>
#include <cstdio>

namespace kestrune {

void AppendFormat(std::string& text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length > 0) {
    const std::size_t at = text.size();
    const auto size = static_cast<std::size_t>(length);
    text.resize(at + size + 1);
    std::vsnprintf(text.data() + at, size + 1, format, again);
    text.resize(at + size);
  }
  va_end(again);
}

}  // namespace kestrune
