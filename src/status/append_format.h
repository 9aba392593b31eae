// printf-style appending for the reply and report texts of the status service.
#pragma once

#include <string>

namespace kestrune {

// Appends the formatted text to `text`.
void AppendFormat(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kestrune
