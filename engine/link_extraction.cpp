#include "engine/link_extraction.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string.h>  // memmem

namespace tovarin {
namespace {

// Limits for one match attempt. A well-formed value costs the engine two or
// three steps per path segment or dotted name, so the match limit leaves room
// for values of several tens of kilobytes while keeping a hostile page from
// tying the crawl up. The depth and heap limits (the heap one in KiB) bound
// the interpreter's backtracking memory; the JIT stack, made only when the
// machine stack's 32 KiB are not enough, is large enough that the match limit
// is reached first.
constexpr std::uint32_t kMatchLimit = 100'000;
constexpr std::uint32_t kDepthLimit = 100'000;
constexpr std::uint32_t kHeapLimitKiB = 64 * 1024;
constexpr std::size_t kJitStackStart = 32 * 1024;
constexpr std::size_t kJitStackMax = 8 * 1024 * 1024;

struct CodeDeleter {
  void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
struct MatchContextDeleter {
  void operator()(pcre2_match_context* context) const { pcre2_match_context_free(context); }
};
struct JitStackDeleter {
  void operator()(pcre2_jit_stack* stack) const { pcre2_jit_stack_free(stack); }
};
struct CompileContextDeleter {
  void operator()(pcre2_compile_context* context) const { pcre2_compile_context_free(context); }
};

using CodePtr = std::unique_ptr<pcre2_code, CodeDeleter>;
using MatchDataPtr = std::unique_ptr<pcre2_match_data, MatchDataDeleter>;
using MatchContextPtr = std::unique_ptr<pcre2_match_context, MatchContextDeleter>;
using JitStackPtr = std::unique_ptr<pcre2_jit_stack, JitStackDeleter>;

Text link_pattern_for(const Text& attribute) {
  // The placeholder stands once, at the start; the attribute goes in as it is.
  constexpr std::string_view placeholder = "####";
  Text pattern(link_pattern_template);
  const std::size_t at = pattern.find(placeholder);
  if (at != Text::npos) pattern.replace(at, placeholder.size(), attribute);
  return pattern;
}

// Compiles in the plain mode: no UTF, case-sensitive, line feed as the only
// newline so that "." takes a carriage return. Null when it does not compile.
CodePtr compile_pattern(const Text& pattern, std::uint32_t options) {
  std::unique_ptr<pcre2_compile_context, CompileContextDeleter> context(pcre2_compile_context_create(nullptr));
  if (!context) return nullptr;
  pcre2_set_newline(context.get(), PCRE2_NEWLINE_LF);
  int error_code = 0;
  PCRE2_SIZE error_offset = 0;
  return CodePtr(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options, &error_code,
                               &error_offset, context.get()));
}

MatchContextPtr make_match_context() {
  MatchContextPtr context(pcre2_match_context_create(nullptr));
  if (context) {
    pcre2_set_match_limit(context.get(), kMatchLimit);
    pcre2_set_depth_limit(context.get(), kDepthLimit);
    pcre2_set_heap_limit(context.get(), kHeapLimitKiB);
  }
  return context;
}

// An attribute made only of these stands for itself inside the expression, so
// every match begins with the attribute's bytes followed by "=".
bool is_literal_attribute(const Text& attribute) {
  for (char c : attribute) {
    const bool literal = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!literal) return false;
  }
  return true;
}

// The bytes that can stand in a value of the link pattern between its two
// quotation marks: word characters and ". / : ? & =".
constexpr std::array<bool, 256> make_value_bytes() {
  std::array<bool, 256> table{};
  for (int c = 'a'; c <= 'z'; ++c) table[static_cast<std::size_t>(c)] = true;
  for (int c = 'A'; c <= 'Z'; ++c) table[static_cast<std::size_t>(c)] = true;
  for (int c = '0'; c <= '9'; ++c) table[static_cast<std::size_t>(c)] = true;
  for (char c : {'_', '.', '/', ':', '?', '&', '='}) table[static_cast<unsigned char>(c)] = true;
  return table;
}
constexpr std::array<bool, 256> kValueBytes = make_value_bytes();

constexpr bool is_quote(char c) { return c == '"' || c == '\''; }

// The "href" pattern, compiled anchored (the search finds the candidates
// itself) and JIT-compiled where the library can; made once and only read
// afterwards.
struct AnchoredPattern {
  CodePtr code;
  bool jit = false;
};

AnchoredPattern compile_anchored(const Text& attribute, bool with_jit) {
  AnchoredPattern pattern;
  pattern.code = compile_pattern(link_pattern_for(attribute), PCRE2_ANCHORED | PCRE2_NO_AUTO_CAPTURE);
  if (pattern.code && with_jit) pattern.jit = pcre2_jit_compile(pattern.code.get(), PCRE2_JIT_COMPLETE) == 0;
  return pattern;
}

const AnchoredPattern& href_pattern() {
  static const AnchoredPattern pattern = compile_anchored("href", true);
  return pattern;
}

// Every match begins with the attribute and "=", so the candidates are the
// occurrences of those bytes at character starts, and the pattern is tried
// anchored at each in page order. A match is attribute, "=", a quotation mark,
// a run of value bytes and the very next quotation mark, so a candidate whose
// run of value bytes does not end at a quotation mark cannot match and the
// engine is not asked; the subject handed to it ends at that quotation mark,
// which keeps the engine's work within that one run.
LinkValues literal_link_values(const Text& page_text, const Text& attribute, const AnchoredPattern& pattern) {
  LinkValues targets;
  MatchContextPtr context = make_match_context();
  MatchDataPtr data(pcre2_match_data_create(1, nullptr));
  JitStackPtr jit_stack;  // made on demand, for this call alone
  if (!context || !data) return targets;

  const Text needle = attribute + "=";
  const char* const text = page_text.data();
  const std::size_t size = page_text.size();
  const auto subject = reinterpret_cast<PCRE2_SPTR>(text);
  std::size_t search_from = 0;
  std::size_t char_start = 0;  // a character start at or before every candidate still to come

  while (search_from + needle.size() < size) {
    const void* hit = memmem(text + search_from, size - search_from, needle.data(), needle.size());
    if (hit == nullptr) break;
    const std::size_t candidate = static_cast<std::size_t>(static_cast<const char*>(hit) - text);
    search_from = candidate + 1;

    char_start = next_char_start(page_text, char_start, candidate);
    if (char_start != candidate) continue;  // the trail byte of a double-byte character

    const std::size_t open_quote = candidate + needle.size();
    if (open_quote >= size || !is_quote(text[open_quote])) continue;
    std::size_t close_quote = open_quote + 1;
    while (close_quote < size && kValueBytes[static_cast<unsigned char>(text[close_quote])]) ++close_quote;
    if (close_quote >= size || !is_quote(text[close_quote])) continue;

    const auto match = [&] {
      return pattern.jit ? pcre2_jit_match(pattern.code.get(), subject, close_quote + 1, candidate, 0, data.get(),
                                           context.get())
                         : pcre2_match(pattern.code.get(), subject, close_quote + 1, candidate, 0, data.get(),
                                       context.get());
    };
    int rc = match();
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT && !jit_stack) {
      // A long value: give the JIT code a stack of its own and try again.
      jit_stack.reset(pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr));
      if (!jit_stack) break;
      pcre2_jit_stack_assign(context.get(), nullptr, jit_stack.get());
      rc = match();
    }
    if (rc == PCRE2_ERROR_NOMATCH) continue;
    if (rc < 0) break;  // the engine gave up (a limit): keep what was found

    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
    const std::size_t match_end = ovector[1];
    // The value cut from the match, as text_between with the attribute, "="
    // and a double quotation mark on the left and a double quotation mark on
    // the right gives it: the run between the two quotation marks when both
    // are double ones, else nothing (the run holds no quotation mark and no
    // line feed, so no other cut exists).
    std::string_view value;
    if (text[open_quote] == '"' && text[match_end - 1] == '"') {
      value = std::string_view(text + open_quote + 1, match_end - 1 - (open_quote + 1));
    }
    if (!targets.push_back(value)) break;
    search_from = match_end;
    char_start = match_end;  // the match is ASCII, so its end is a character start
  }
  return targets;
}

// The text with every character turned into one code point, as UTF-8: an
// ASCII byte stands for itself, a double-byte character (or a lead byte alone
// at the end) becomes a code point beyond U+FFFF made from its bytes. Distinct
// characters stay distinct and none of the new ones is a word character, a
// quotation mark or a line feed, so matching in UTF mode is matching on
// characters.
std::string characters_as_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (std::size_t pos = 0; pos < text.size();) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (!is_lead_byte(byte)) {
      out.push_back(static_cast<char>(byte));
      ++pos;
      continue;
    }
    const bool pair = pos + 1 < text.size();
    const std::uint32_t code = pair ? 0x10000u + (byte << 8) + static_cast<unsigned char>(text[pos + 1]) : 0x30000u + byte;
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    pos += pair ? 2 : 1;
  }
  return out;
}

// Walks a position in the text and the matching position in its UTF-8 form
// forward together; every position handed to it is a code point start.
struct PositionMap {
  std::string_view text;
  std::string_view utf8;
  std::size_t byte = 0;
  std::size_t unit = 0;

  std::size_t byte_at(std::size_t target_unit) {
    while (unit < target_unit) {
      unit += static_cast<unsigned char>(utf8[unit]) < 0x80 ? 1 : 4;
      byte += char_size_at(text, byte);
    }
    return byte;
  }
};

// Any other attribute: the expression, with the attribute in it, is compiled
// for this call and matched in UTF mode on the characters of the page, so
// whatever the attribute holds, "." and classes take whole characters.
LinkValues general_link_values(const Text& page_text, const Text& attribute) {
  LinkValues targets;
  CodePtr code = compile_pattern(characters_as_utf8(link_pattern_for(attribute)), PCRE2_UTF);
  if (!code) return targets;
  MatchContextPtr context = make_match_context();
  MatchDataPtr data(pcre2_match_data_create_from_pattern(code.get(), nullptr));
  if (!context || !data) return targets;

  const std::string utf8 = characters_as_utf8(page_text);
  PositionMap map{page_text, utf8};
  const Text left = attribute + "=\"";
  const Text right = "\"";
  const auto subject = reinterpret_cast<PCRE2_SPTR>(utf8.data());
  std::size_t search_from = 0;

  while (search_from <= utf8.size()) {
    const int rc =
        pcre2_match(code.get(), subject, utf8.size(), search_from, PCRE2_NO_UTF_CHECK, data.get(), context.get());
    if (rc < 0) break;  // no further match, or the engine gave up: keep what was found
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
    const std::size_t start = ovector[0];
    const std::size_t end = ovector[1];
    if (end < start) break;  // \K in a lookaround of the attribute; no text to take
    const std::size_t byte_start = map.byte_at(start);
    const std::size_t byte_end = map.byte_at(end);
    if (!targets.push_back(text_between(page_text.substr(byte_start, byte_end - byte_start), left, right))) break;
    // An empty match would be found again at the same point: step one character on.
    search_from = end > start ? end : end + (end < utf8.size() && static_cast<unsigned char>(utf8[end]) >= 0x80 ? 4 : 1);
  }
  return targets;
}

// The first position at or after `from` where `needle` occurs as whole
// characters of `text`: it begins at a character start and ends at one (or at
// the end). `char_start` is a character start at or before `from`; it is moved
// forward and stays at or before the position returned. npos when there is
// none beginning at or before `last`.
std::size_t find_whole_chars(std::string_view text, std::string_view needle, std::size_t from, std::size_t last,
                             std::size_t& char_start) {
  while (from <= last && from + needle.size() <= text.size()) {
    std::size_t pos = from;
    if (!needle.empty()) {
      const void* hit = memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
      if (hit == nullptr) return std::string_view::npos;
      pos = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
      if (pos > last) return std::string_view::npos;
    }
    char_start = next_char_start(text, char_start, pos);
    if (char_start == pos && is_char_start(text, pos, pos + needle.size())) return pos;
    from = char_start == pos ? pos + 1 : char_start;
  }
  return std::string_view::npos;
}

}  // namespace

std::string_view LinkValues::value(std::size_t i) const {
  const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
  return std::string_view(bytes_).substr(begin, ends_[i] - begin);
}

Text LinkValues::target(std::size_t i, const Text& page_address) const { return link_target(value(i), page_address); }

bool LinkValues::push_back(std::string_view value) {
  if (value.size() > std::numeric_limits<std::uint32_t>::max() - bytes_.size()) return false;
  bytes_.append(value);
  ends_.push_back(static_cast<std::uint32_t>(bytes_.size()));
  return true;
}

Text link_target(std::string_view value, const Text& page_address) {
  if (!value.empty() && value.front() == '/') {
    Text target;
    target.reserve(page_address.size() + value.size());
    target.append(page_address).append(value);
    return target;
  }
  return Text(value);
}

LinkValues link_values(const Text& page_text, const Text& attribute) {
  if (attribute == "href") {
    const AnchoredPattern& pattern = href_pattern();
    if (pattern.code) return literal_link_values(page_text, attribute, pattern);
    return {};
  }
  if (is_literal_attribute(attribute)) {
    const AnchoredPattern pattern = compile_anchored(attribute, false);
    if (!pattern.code) return {};
    return literal_link_values(page_text, attribute, pattern);
  }
  return general_link_values(page_text, attribute);
}

std::vector<Text> link_targets(const Text& page_text, const Text& page_address, const Text& attribute) {
  const LinkValues values = link_values(page_text, attribute);
  std::vector<Text> targets;
  targets.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) targets.push_back(values.target(i, page_address));
  return targets;
}

Text text_between(const Text& text, const Text& left, const Text& right) {
  if (text.empty()) return {};
  const std::string_view view(text);
  const std::size_t size = view.size();
  std::size_t left_from = 0;
  std::size_t left_char = 0;   // walks the character starts for `left`
  std::size_t right_char = 0;  // walks the character starts for `right`
  std::size_t line_feed_char = 0;  // walks the character starts for line feeds
  while (left_from + left.size() <= size) {
    const std::size_t left_at = find_whole_chars(view, left, left_from, size, left_char);
    if (left_at == std::string_view::npos) return {};
    const std::size_t p = left_at + left.size();
    // `right` must begin between p and the next line feed (it may begin at
    // it); a line feed byte that trails a lead byte is part of a character.
    const std::size_t line_feed = find_whole_chars(view, "\n", p, size, line_feed_char);
    const std::size_t last = line_feed == std::string_view::npos ? size : line_feed;
    if (right_char < p) right_char = p;  // p is a character start
    const std::size_t q = find_whole_chars(view, right, p, last, right_char);
    if (q != std::string_view::npos) return Text(view.substr(p, q - p));
    if (line_feed == std::string_view::npos) return {};
    // Every later occurrence of `left` that still ends before this line feed
    // sees the same missing `right`; go on with those that end after it.
    const std::size_t next = line_feed + 1 > left.size() ? line_feed + 1 - left.size() : 0;
    left_from = std::max(left_at + 1, next);
  }
  return {};
}

}  // namespace tovarin
