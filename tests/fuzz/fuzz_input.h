#pragma once
// Splitting one fuzzer input into the texts a target needs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tovarin::fuzz {

// The input cut at every byte 0x00 into pieces: a Text holds no zero byte, so
// the zero byte is the natural separator. Missing pieces are empty.
inline std::vector<std::string> pieces(const std::uint8_t* data, std::size_t size, std::size_t count) {
  std::vector<std::string> out(count);
  std::size_t piece = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      if (++piece == count) break;
      continue;
    }
    out[piece].push_back(static_cast<char>(data[i]));
  }
  return out;
}

// Byte offsets at which a character starts (a byte of 0x80 or above takes the
// byte after it along), with the end of the text as the last entry.
inline std::vector<bool> char_starts(std::string_view text) {
  std::vector<bool> starts(text.size() + 1, false);
  for (std::size_t pos = 0; pos < text.size();) {
    starts[pos] = true;
    pos += static_cast<unsigned char>(text[pos]) >= 0x80 && pos + 1 < text.size() ? 2 : 1;
  }
  starts[text.size()] = true;
  return starts;
}

}  // namespace tovarin::fuzz
