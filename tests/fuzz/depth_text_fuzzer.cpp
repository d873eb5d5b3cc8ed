// depth_value over arbitrary texts, compared with a plain reading: full-width
// characters folded, white space, one sign, digits wrapping in 32 bits.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/crawl_engine.h"

namespace {

std::int32_t reference_depth(const std::string& text) {
  std::string folded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80 || i + 1 == text.size()) {
      folded += text[i];
      continue;
    }
    const auto trail = static_cast<unsigned char>(text[i + 1]);
    if (lead == 0xA3 && trail >= 0xA1 && trail <= 0xFE) {
      folded += static_cast<char>(trail - 0x80);
    } else if (lead == 0xA1 && trail == 0xA1) {
      folded += ' ';
    } else if (lead == 0xA1 && trail == 0xAB) {
      folded += '~';
    } else if (lead == 0xA1 && (trail == 0xEE || trail == 0xEF)) {
      folded += '*';
    } else {
      folded += text.substr(i, 2);
    }
    ++i;
  }
  std::size_t pos = folded.find_first_not_of(" \t\n\v\f\r");
  if (pos == std::string::npos) return 0;
  std::int64_t sign = 1;
  if (folded[pos] == '+' || folded[pos] == '-') sign = folded[pos++] == '-' ? -1 : 1;
  std::uint64_t value = 0;  // modulo 2^32 all along
  for (; pos < folded.size() && folded[pos] >= '0' && folded[pos] <= '9'; ++pos)
    value = (value * 10 + static_cast<std::uint64_t>(folded[pos] - '0')) % (std::uint64_t{1} << 32);
  const std::uint64_t wrapped = sign < 0 ? ((std::uint64_t{1} << 32) - value) % (std::uint64_t{1} << 32) : value;
  return wrapped >= (std::uint64_t{1} << 31) ? static_cast<std::int32_t>(static_cast<std::int64_t>(wrapped) - (std::int64_t{1} << 32))
                                              : static_cast<std::int32_t>(wrapped);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::int32_t got = tovarin::depth_value(text);
  const std::int32_t want = reference_depth(text);
  if (got != want) {
    std::fprintf(stderr, "depth_value %d, plain reading %d\n", got, want);
    std::abort();
  }
  return 0;
}
