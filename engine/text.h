#pragma once
// Texts and byte sequences.
//
// A Text is a byte string in the desktop's double-byte code page (GBK, code
// page 936) that holds no zero byte. A byte of 0x80 or above begins a
// double-byte character and takes the byte after it along; every operation
// here that steps by character follows that rule, and changes letter case only
// for the ASCII letters A to Z.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tovarin {

using Text = std::string;

// An owned buffer of bytes that may hold zero bytes anywhere.
using Bytes = std::vector<unsigned char>;

constexpr bool is_lead_byte(unsigned char byte) { return byte >= 0x80; }

// Size in bytes of the character that starts at `pos` (pos < text.size()):
// 2 for a lead byte with a byte after it, else 1.
constexpr std::size_t char_size_at(std::string_view text, std::size_t pos) {
  return is_lead_byte(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size() ? 2 : 1;
}

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The text with A to Z turned into a to z; every other byte, trail bytes of
// double-byte characters included, stays as it is.
Text ascii_lower(std::string_view text);

// The byte offset of the first occurrence of `needle` in `haystack` with ASCII
// letter case ignored, trying a match only where a character of `haystack`
// starts; std::string_view::npos when there is none. An empty needle is found
// at 0.
std::size_t find_ignoring_case(std::string_view haystack, std::string_view needle);

// Advances `pos`, a character start of `text`, to the first character start
// at or after `target`. Walks ASCII eight bytes at a time.
std::size_t next_char_start(std::string_view text, std::size_t pos, std::size_t target);

// Whether byte offset `target` is a character start of `text`, walking from
// the character start `from` (from <= target).
inline bool is_char_start(std::string_view text, std::size_t from, std::size_t target) {
  return next_char_start(text, from, target) == target;
}

// The leading decimal number of a text, read as the C library reads one:
// white space (space, tab, line feed, vertical tab, form feed, carriage
// return) skipped, one optional sign, then the digits up to the first other
// byte. `digits` is empty when there are none.
struct LeadingNumber {
  bool negative = false;
  std::string_view digits;
};
LeadingNumber leading_number(std::string_view text);

}  // namespace tovarin
