#include "engine/text.h"

#include <cstring>

namespace tovarin {

Text ascii_lower(std::string_view text) {
  Text out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

std::size_t find_ignoring_case(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return 0;
  for (std::size_t pos = 0; pos < haystack.size(); pos += char_size_at(haystack, pos)) {
    if (haystack.size() - pos < needle.size()) break;
    std::size_t i = 0;
    while (i < needle.size() && ascii_lower(haystack[pos + i]) == ascii_lower(needle[i])) ++i;
    if (i == needle.size()) return pos;
  }
  return std::string_view::npos;
}

std::size_t next_char_start(std::string_view text, std::size_t pos, std::size_t target) {
  const char* data = text.data();
  while (pos < target) {
    // Skip runs of ASCII a word at a time: no byte there can be a lead byte.
    while (pos + 8 <= target) {
      std::uint64_t word;
      std::memcpy(&word, data + pos, sizeof word);
      if (word & 0x8080808080808080ULL) break;
      pos += 8;
    }
    if (pos >= target) break;
    pos += char_size_at(text, pos);
  }
  return pos;
}

LeadingNumber leading_number(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) ++pos;
  LeadingNumber number;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    number.negative = text[pos] == '-';
    ++pos;
  }
  std::size_t end = pos;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  number.digits = text.substr(pos, end - pos);
  return number;
}

}  // namespace tovarin
