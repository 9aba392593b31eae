// Text helpers shared by the stores, the protocol, the console and the status
// service. Texts are byte strings; none of these functions fails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// Removes every byte of value 32 or less from both ends.
void TrimBlanks(std::string& text);

// Empty source: false. Otherwise token = text before the first delimiter and
// source = text after it (the whole source and empty without one); true.
bool NextToken(std::string& source, char delimiter, std::string& token);

// Clears `list`, then appends every token NextToken yields; returns the count.
int SplitList(const std::string& text, char delimiter, std::vector<std::string>& list);

// When the text has `limit` bytes or more it is cut to limit - 1 bytes: true.
bool LimitLength(std::string& text, std::size_t limit);

bool HasControlChar(std::string_view text);
bool HasAnyOf(std::string_view text, std::string_view set);

// Percent escaping ("%XX") of control bytes, ',', '=', '%' and bytes >= 128.
std::string EscapeText(std::string_view text);
// Reverses EscapeText; an incomplete "%" sequence ends the text.
void UnescapeText(std::string& text);

// Reads "key: value\n" lines into `fields` (first value of a key wins) up to an
// empty line or the last line feed; returns the number of entries added.
int ParseFieldLines(std::string_view text, std::map<std::string, std::string>& fields);

// The C library's atoi rule (leading blanks, a sign, digits up to the first
// non-digit, 0 without digits), clamped to the int range instead of overflowing.
int AtoiRule(const char* text);

// "days hh:mm:ss", for example "1 01:01:01".
std::string FormatDuration(std::uint32_t seconds);

// Fills n bytes (no terminator) with printable characters drawn from rand(),
// none of them a blank or one of the separators a key text must not hold.
void RandomKeyText(std::size_t n, char* buffer);

// Two upper-case hexadecimal digits, high nibble first.
void HexByte(std::uint8_t byte, char out[2]);
// Reads two characters as a base-16 number (leading hexadecimal part only).
std::uint8_t HexPairValue(char high, char low);

// Fixed-size integer types of the wire formats.
using Net16 = std::uint16_t;
using Net32 = std::uint32_t;

// 0 when char, Net16 and Net32 have 1, 2 and 4 bytes; otherwise prints the
// first mismatch and returns -1, -2 or -3. The overload takes the sizes found.
int CheckTypeSizes();
int CheckTypeSizes(std::size_t charSize, std::size_t net16Size, std::size_t net32Size,
                   std::FILE* out);

}  // namespace kestrune
