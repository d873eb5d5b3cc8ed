#pragma once
// Link extraction: the ordered addresses a page's `attribute="..."`
// assignments point at, found with a fixed regular expression (PCRE2).

#include <string_view>
#include <vector>

#include "engine/text.h"

namespace tovarin {

// The pattern with "####" standing for the attribute name.
inline constexpr std::string_view link_pattern_template =
    R"(####=["\'](http:\/\/|\.\/|\/)?\w+(\.\w+)*(\/\w+(\.\w+)?)*(\/|\?\w*=\w*(&\w*=\w*)*)?["\'])";

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
