// address_key and content_key over arbitrary texts, compared with a plain
// 64-bit computation; every text shorter than 131,072 bytes keys into 1 to
// 100,000. Long inputs are made by repeating the input, so that the wrap of
// the 32-bit sum is reached too.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/crawl_engine.h"

namespace {

std::int32_t reference_address_key(const std::string& address) {
  std::int64_t sum = 0;
  for (char c : address) {
    const std::int64_t v = static_cast<signed char>(c);
    sum += v * v;
  }
  const std::uint32_t low = static_cast<std::uint32_t>(static_cast<std::uint64_t>(sum));
  const std::int64_t s = low >= (std::uint32_t{1} << 31) ? static_cast<std::int64_t>(low) - (std::int64_t{1} << 32)
                                                         : static_cast<std::int64_t>(low);
  return static_cast<std::int32_t>(s % 100000 + 1);  // truncating, sign of s
}

void fail(const char* what, std::size_t size) {
  std::fprintf(stderr, "%s (text of %zu bytes)\n", what, size);
  std::abort();
}

void check(const std::string& text) {
  const std::int32_t key = tovarin::address_key(text);
  if (key != reference_address_key(text)) fail("address_key differs from the 64-bit sum", text.size());
  if (text.size() < 131072 && (key < 1 || key > 100000)) fail("short address keyed outside 1 to 100,000", text.size());
  if (key < -99998 || key > 100000) fail("address key outside -99,998 to 100,000", text.size());
  if (tovarin::content_key(text) != static_cast<std::int32_t>(text.size() % 100000 + 1))
    fail("content_key is not the length modulo 100,000 plus 1", text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check(text);
  // The first byte, if any, picks a repetition count that carries the text
  // past 131,072 bytes and the sum past 2^31.
  if (size > 1) {
    const std::size_t repeats = 1 + (std::size_t{data[0]} << 8) / size % 4096;
    std::string long_text;
    long_text.reserve(repeats * size);
    for (std::size_t i = 0; i < repeats; ++i) long_text += text;
    check(long_text);
  }
  return 0;
}
