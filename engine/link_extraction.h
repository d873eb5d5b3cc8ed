#pragma once
// Link extraction: the ordered addresses a page's `attribute="..."`
// assignments point at, found with a fixed regular expression (PCRE2).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/text.h"

namespace tovarin {

// The pattern with "####" standing for the attribute name.
inline constexpr std::string_view link_pattern_template =
    R"(####=["\'](http:\/\/|\.\/|\/)?\w+(\.\w+)*(\/\w+(\.\w+)?)*(\/|\?\w*=\w*(&\w*=\w*)*)?["\'])";

// The values of a page's links, in page order, held compactly. A target is
// made from its value only when it is visited: a page of many short links at
// a long address would otherwise hold the address once for every link.
class LinkValues {
 public:
  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view value(std::size_t i) const;
  // The target of value i on the page at `page_address`.
  Text target(std::size_t i, const Text& page_address) const;
  // Appends a value; false (and nothing appended) once the values would
  // pass 4 GiB, which no page below that size reaches.
  bool push_back(std::string_view value);

 private:
  std::string bytes_;
  std::vector<std::uint32_t> ends_;
};

// The target of a link value on the page at `page_address`: a value that
// begins with "/" is appended to the address, nothing of which is cut away;
// any other value is the target as it stands.
Text link_target(std::string_view value, const Text& page_address);

// The link values of `page_text` (see link_targets), for the crawl to make
// the targets one by one.
LinkValues link_values(const Text& page_text, const Text& attribute);

// One target per match of the link pattern in `page_text`, in page order,
// empty and repeated targets included. A value starting with "/" is appended
// to `page_address`; any other value is taken as it is. Matches start only
// where a character starts: a lead byte directly before the attribute name
// hides that link. A matching-engine error (its match limit) ends the page
// quietly with the targets found so far.
std::vector<Text> link_targets(const Text& page_text, const Text& page_address, const Text& attribute);

// The characters after the first occurrence of `left` that is followed by an
// occurrence of `right` with no line feed in between, up to the nearest such
// `right`; empty when there is none.
Text text_between(const Text& text, const Text& left, const Text& right);

}  // namespace tovarin
