// link_targets and text_between over arbitrary pages and delimiters.
//
// Input: page text, 0x00, left delimiter, 0x00, right delimiter, 0x00, text
// for text_between. link_targets runs on the page; text_between runs on the
// last text and is compared with a plain character-by-character reading of
// its rule.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/link_extraction.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using tovarin::Text;

bool is_word(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether `needle` stands at `at` in `text` as whole characters.
bool whole_at(const Text& text, const std::vector<bool>& starts, std::size_t at, const Text& needle) {
  return at + needle.size() <= text.size() && starts[at] && starts[at + needle.size()] &&
         text.compare(at, needle.size(), needle) == 0;
}

// The characters after the first occurrence of `left` after which `right`
// begins with no line feed in between, up to the nearest such `right`.
Text reference_text_between(const Text& text, const Text& left, const Text& right) {
  if (text.empty()) return {};
  const std::vector<bool> starts = tovarin::fuzz::char_starts(text);
  for (std::size_t a = 0; a + left.size() <= text.size(); ++a) {
    if (!whole_at(text, starts, a, left)) continue;
    const std::size_t p = a + left.size();
    for (std::size_t q = p; q <= text.size(); ++q) {
      if (whole_at(text, starts, q, right)) return text.substr(p, q - p);
      if (q < text.size() && starts[q] && text[q] == '\n') break;
    }
  }
  return {};
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> in = tovarin::fuzz::pieces(data, size, 4);
  const Text page_address = "http://site/dir";

  const std::vector<Text> targets = tovarin::link_targets(in[0], page_address, "href");
  std::size_t assignments = 0;
  for (std::size_t at = in[0].find("href="); at != std::string::npos; at = in[0].find("href=", at + 1)) ++assignments;
  check(targets.size() <= assignments, "at most one target per href=");
  for (const Text& target : targets) {
    // A value is ASCII of the link shape: word characters and . / ? = & :
    for (char c : target) check(is_word(c) || std::strchr("./?=&:", c) != nullptr, "target characters");
    if (target.rfind(page_address, 0) != 0) check(target.empty() || target[0] != '/', "root value is joined");
  }

  const Text between = tovarin::text_between(in[3], in[1], in[2]);
  check(between == reference_text_between(in[3], in[1], in[2]), "text_between equals its plain reading");
  check(between.size() <= in[3].size(), "text_between is part of the text");
  return 0;
}
