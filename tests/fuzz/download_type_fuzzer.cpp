// is_download_address over arbitrary addresses, against the built-in types
// and against a type taken from the input, compared with a plain search.
//
// Input: address, 0x00, an extra type.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "engine/crawl_engine.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using tovarin::Text;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool reference_contains(const Text& address, const Text& type) {
  const std::vector<bool> starts = tovarin::fuzz::char_starts(address);
  for (std::size_t at = 0; at + type.size() <= address.size(); ++at) {
    if (!starts[at]) continue;
    bool same = true;
    for (std::size_t i = 0; i < type.size() && same; ++i) same = lower(address[at + i]) == lower(type[i]);
    if (same) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<Text> builtin = [] {
    tovarin::CrawlEngine engine;
    engine.load_download_types();
    return engine.download_types();
  }();
  const std::vector<std::string> in = tovarin::fuzz::pieces(data, size, 2);
  const Text& address = in[0];

  bool expected = false;
  for (const Text& type : builtin) expected = expected || reference_contains(address, type);
  if (tovarin::is_download_address(address, builtin) != expected) {
    std::fprintf(stderr, "built-in types: is_download_address differs from the plain search\n");
    std::abort();
  }
  if (!in[1].empty()) {
    const std::vector<Text> one{in[1]};
    if (tovarin::is_download_address(address, one) != reference_contains(address, in[1])) {
      std::fprintf(stderr, "input type: is_download_address differs from the plain search\n");
      std::abort();
    }
  }
  return 0;
}
