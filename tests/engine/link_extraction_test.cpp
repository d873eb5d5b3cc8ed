#include "engine/link_extraction.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace tovarin {
namespace {

using Targets = std::vector<Text>;

const Text kPage = "http://site/dir";

struct LinkCase {
  const char* name;
  Text page_text;
  Targets expected;
  Text page_address = kPage;
};

// Cases are named in the test names; their bytes are in the failure message.
void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }

class LinkTargetsTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkTargetsTest, GivesOneTargetPerMatchInPageOrder) {
  const LinkCase& c = GetParam();
  EXPECT_EQ(link_targets(c.page_text, c.page_address, "href"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LinkTargetsTest,
    ::testing::Values(
        LinkCase{"NoHref", "<html><body>plain text, src=\"/a.png\"</body></html>", {}},
        LinkCase{"Absolute", "<a href=\"http://site/a/b.html\">", {"http://site/a/b.html"}},
        LinkCase{"AbsoluteWithClosingSlash", "<a href=\"http://site/a/\">", {"http://site/a/"}},
        LinkCase{"AbsoluteDottedHostAndQuery", "href=\"http://a.b.c/d.e/f?g=h&i=j\"", {"http://a.b.c/d.e/f?g=h&i=j"}},
        LinkCase{"RootRelativeJoined", "<a href=\"/x.html\">", {"http://site/dir/x.html"}},
        LinkCase{"JoinedToWholeAddressWithQuery",
                 "<a href=\"/x.html\">",
                 {"http://site/p.php?id=1/x.html"},
                 "http://site/p.php?id=1"},
        LinkCase{"JoinedToBareHost", "<a href=\"/x\">", {"http://site/x"}, "http://site"},
        LinkCase{"RelativeKeptAsIs",
                 "href=\"./x.html\" href=\"x.html\" href=\"http.html\"",
                 {"./x.html", "x.html", "http.html"}},
        LinkCase{"ClosingSlashAfterPath", "href=\"/d/\"", {"http://site/dir/d/"}},
        LinkCase{"SingleQuotesGiveEmptyTarget", "<a href='http://site/'>", {""}},
        LinkCase{"DoubleThenSingleGivesEmptyTarget", "<a href=\"http://site/'>", {""}},
        LinkCase{"SingleThenDoubleGivesEmptyTarget", "<a href='/x\">", {""}},
        LinkCase{"RepeatsKeptInPlace",
                 "<a href=\"/a\">1</a><a href=\"x\">2</a><a href=\"/a\">3</a>",
                 {"http://site/dir/a", "x", "http://site/dir/a"}},
        LinkCase{"InsideLongerName", "<div data-href=\"/x\">", {"http://site/dir/x"}},
        LinkCase{"SeveralDotsInFirstName", "href=\"/a.min.js\"", {"http://site/dir/a.min.js"}},
        LinkCase{"QueryWithEmptyValue", "href=\"/p.php?id=5&q=\"", {"http://site/dir/p.php?id=5&q="}},
        LinkCase{"AdjacentMatches", "href=\"/x\"href=\"/y\"", {"http://site/dir/x", "http://site/dir/y"}},
        // The first match ends at the double quotation mark of the second
        // assignment, so that one is not found again.
        LinkCase{"MatchesDoNotOverlap", "href='x?href=\"y\"", {""}},
        LinkCase{"CommentsScriptsAndText",
                 "<!-- href=\"/c\" --><script>var s='href=\"/s\"';</script> say href=\"t\" here",
                 {"http://site/dir/c", "http://site/dir/s", "t"}},
        LinkCase{"MixedWithRejectedValues",
                 "href=\"/a-b\" href=\"/ok\" href=\"javascript:void(0)\" href='q' href=\"z\"",
                 {"http://site/dir/ok", "", "z"}},
        LinkCase{"UnclosedAtEnd", "href=\"/ok\" href=\"/abc", {"http://site/dir/ok"}},
        LinkCase{"AttributeAtVeryEnd", "href=\"/ok\" href=", {"http://site/dir/ok"}},
        LinkCase{"CarriageReturnEndsNothing", "href=\"/a\"\r\nhref=\"/b\"\r", {"http://site/dir/a", "http://site/dir/b"}}),
    [](const auto& info) { return info.param.name; });

// Values that match no link at all, so the visit never sees a target for them.
INSTANTIATE_TEST_SUITE_P(
    NoTarget, LinkTargetsTest,
    ::testing::Values(LinkCase{"Https", "href=\"https://site/\"", {}},
                      LinkCase{"UpperCaseAttribute", "HREF=\"http://site/\"", {}},
                      LinkCase{"UpperCaseScheme", "href=\"HTTP://site/\"", {}},
                      LinkCase{"SpacesAroundEquals", "href = \"http://site/\"", {}},
                      LinkCase{"Unquoted", "href=http://site/ ", {}},
                      LinkCase{"BareSlash", "href=\"/\"", {}},
                      LinkCase{"ParentDirectory", "href=\"../x.html\"", {}},
                      LinkCase{"SchemeRelative", "href=\"//site/x\"", {}},
                      LinkCase{"Hyphen", "href=\"/a-b.html\"", {}},
                      LinkCase{"Fragment", "href=\"/x.html#top\"", {}},
                      LinkCase{"Port", "href=\"http://site:8080/\"", {}},
                      LinkCase{"EscapedAmpersand", "href=\"/p?a=1&amp;b=2\"", {}},
                      LinkCase{"QueryAfterSlash", "href=\"/dir/?a=1\"", {}},
                      LinkCase{"Javascript", "href=\"javascript:void(0)\"", {}},
                      LinkCase{"Space", "href=\"/a b\"", {}},
                      LinkCase{"NonAscii", "href=\"/\xD6\xD0\xCE\xC4.html\"", {}},
                      LinkCase{"TwoDotsInLaterSegment", "href=\"/js/a.min.js\"", {}},
                      LinkCase{"EmptyValue", "href=\"\"", {}}),
    [](const auto& info) { return info.param.name; });

// A lead byte directly before "h" takes it as its trail byte, so that link is
// not there; a complete double-byte character before it hides nothing.
INSTANTIATE_TEST_SUITE_P(
    DoubleByte, LinkTargetsTest,
    ::testing::Values(
        LinkCase{"LeadByteHidesLink", "\x81href=\"/x\"", {}},
        LinkCase{"LeadByteHidesOnlyThatLink", "\xB5\xE3\x81href=\"/x\" href=\"/y\"", {"http://site/dir/y"}},
        LinkCase{"FullCharacterHidesNothing", "\xD6\xD0href=\"/x\"", {"http://site/dir/x"}},
        LinkCase{"TwoLeadBytesFormOneCharacter", "\x81\x81href=\"/x\"", {"http://site/dir/x"}},
        LinkCase{"ChineseAroundLinks",
                 "<p>\xD6\xD0\xCE\xC4</p><a href=\"/a\">\xCA\xD7\xD2\xB3</a>\xA1\xA3<a href=\"b.html\">",
                 {"http://site/dir/a", "b.html"}},
        // A trail byte "h" elsewhere does not turn the real link that follows into a hidden one.
        LinkCase{"TrailByteLetterBeforeRealLink", "\x81h\x81href=\"/x\"href=\"/y\"", {"http://site/dir/y"}}),
    [](const auto& info) { return info.param.name; });

TEST(LinkTargetsAttributeTest, OtherAttributesAreInsertedUnescaped) {
  const Text page = "<img src=\"/i.png\"> <a href=\"/x\"> h\xD6\xD0" "ef=\"/y\"";
  EXPECT_EQ(link_targets(page, kPage, "src"), Targets{"http://site/dir/i.png"});
  // "." is a pattern character here and takes one whole character, ASCII or
  // double-byte; the left delimiter "h.ef=\"" then stands in neither match, so
  // both targets are empty.
  EXPECT_EQ(link_targets(page, kPage, "h.ef"), (Targets{"", ""}));
  // An attribute that does not compile gives no targets rather than failing.
  EXPECT_EQ(link_targets(page, kPage, "("), Targets{});
}

// --- Reference: the matching rules applied literally ----------------------
//
// The page is decoded into one code point per character (UTF-8, characters
// outside ASCII mapped beyond U+FFFF), the link pattern and the text_between
// expression are matched there in UTF mode with a plain unanchored search, and
// matched texts are mapped back to bytes.

struct Decoded {
  std::string utf8;
  std::vector<std::size_t> byte_of;  // byte offset of each UTF-8 offset that starts a code point, and of the end
};

Decoded decode(const Text& text) {
  Decoded d;
  d.byte_of.assign(text.size() * 4 + 1, 0);
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t size = char_size_at(text, pos);
    d.byte_of[d.utf8.size()] = pos;
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (size == 1 && lead < 0x80) {
      d.utf8.push_back(static_cast<char>(lead));
    } else {
      const std::uint32_t cp =
          size == 2 ? 0x10000u + lead * 256u + static_cast<unsigned char>(text[pos + 1]) : 0x30000u + lead;
      d.utf8 += static_cast<char>(0xF0 | (cp >> 18));
      d.utf8 += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      d.utf8 += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      d.utf8 += static_cast<char>(0x80 | (cp & 0x3F));
    }
    pos += size;
  }
  d.byte_of[d.utf8.size()] = text.size();
  return d;
}

// All matches of `expression` (UTF-8, in decoded characters) in `text`, as
// byte ranges, each search starting where the previous match ended.
std::vector<std::pair<std::size_t, std::size_t>> reference_matches(const std::string& expression, const Text& text) {
  std::vector<std::pair<std::size_t, std::size_t>> found;
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code =
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(expression.data()), expression.size(), PCRE2_UTF, &error, &offset, nullptr);
  if (code == nullptr) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(error, message, sizeof message);
    ADD_FAILURE() << "reference pattern does not compile: " << expression << ": " << reinterpret_cast<char*>(message);
    return found;
  }
  pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
  const Decoded d = decode(text);
  std::size_t from = 0;
  for (int guard = 0; guard < 100000 && from <= d.utf8.size(); ++guard) {
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(d.utf8.data()), d.utf8.size(), from, 0, data, nullptr);
    if (rc < 0) break;
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data);
    found.emplace_back(d.byte_of[ov[0]], d.byte_of[ov[1]]);
    from = ov[1] > ov[0] ? ov[1] : d.utf8.size() + 1;
  }
  pcre2_match_data_free(data);
  pcre2_code_free(code);
  return found;
}

Text reference_text_between(const Text& text, const Text& left, const Text& right) {
  // The delimiters are quoted as characters, so a lead byte in one cannot
  // reach into the quoting around it.
  const auto found =
      reference_matches("(?<=\\Q" + decode(left).utf8 + "\\E).*?(?=\\Q" + decode(right).utf8 + "\\E)", text);
  if (found.empty()) return {};
  return text.substr(found.front().first, found.front().second - found.front().first);
}

Targets reference_link_targets(const Text& page_text, const Text& page_address) {
  std::string pattern(link_pattern_template);
  pattern.replace(0, 4, "href");
  Targets targets;
  for (const auto& [start, end] : reference_matches(decode(pattern).utf8, page_text)) {
    const Text value = reference_text_between(page_text.substr(start, end - start), "href=\"", "\"");
    targets.push_back(!value.empty() && value[0] == '/' ? page_address + value : value);
  }
  return targets;
}

// Pages stitched from fragments that meet at awkward places: lead bytes next
// to "h", quotation marks of both kinds, partial assignments, value bytes.
TEST(LinkTargetsReferenceTest, AgreesWithCharacterMatchingOnGeneratedPages) {
  const std::vector<Text> pieces = {"href=", "href=\"", "href='", "\"", "'", "/", "a", "b1", ".", "?", "=", "&",
                                    "http://", "./", ":", "-", " ", "\n", "\r", "h", "ref=", "\x81", "\xD6\xD0",
                                    "\x81h", "<a ", ">", "data-", "x_y"};
  std::mt19937 rng(20240611);
  for (int page_number = 0; page_number < 3000; ++page_number) {
    Text page;
    const int count = 1 + static_cast<int>(rng() % 40);
    for (int i = 0; i < count; ++i) page += pieces[rng() % pieces.size()];
    ASSERT_EQ(link_targets(page, kPage, "href"), reference_link_targets(page, kPage)) << "page: " << page;
  }
}

TEST(TextBetweenReferenceTest, AgreesWithTheLookaroundExpression) {
  const std::vector<Text> pieces = {"x", "y", "xy", "\n", "\r", "a", " ", "\x81", "\xD6\xD0", "\x81x", "y\x81", "\x81y"};
  const std::vector<Text> delimiters = {"x", "y", "xy", "", "\n", "\x81", "\xD6\xD0", "x\n", "\x81x", "yx"};
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    Text text;
    const int count = static_cast<int>(rng() % 16);
    for (int i = 0; i < count; ++i) text += pieces[rng() % pieces.size()];
    const Text& left = delimiters[rng() % delimiters.size()];
    const Text& right = delimiters[rng() % delimiters.size()];
    ASSERT_EQ(text_between(text, left, right), reference_text_between(text, left, right))
        << "text: " << text << " left: " << left << " right: " << right;
  }
}

struct BetweenCase {
  const char* name;
  Text text;
  Text left;
  Text right;
  Text expected;
};

void PrintTo(const BetweenCase& c, std::ostream* os) { *os << c.name; }

class TextBetweenTest : public ::testing::TestWithParam<BetweenCase> {};

TEST_P(TextBetweenTest, CutsUpToTheNearestRightOnTheSameLine) {
  const BetweenCase& c = GetParam();
  EXPECT_EQ(text_between(c.text, c.left, c.right), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextBetweenTest,
    ::testing::Values(
        // No "y" follows the first "x" on its line.
        BetweenCase{"LineFeedStops", "x1\n2y x3y", "x", "y", "3"},
        BetweenCase{"CarriageReturnDoesNot", "x1\r2y x3y", "x", "y", "1\r2"},
        BetweenCase{"LinkValue", "href=\"/a/b.html\"", "href=\"", "\"", "/a/b.html"},
        BetweenCase{"NoLeft", "abc\"", "href=\"", "\"", ""},
        BetweenCase{"NoRight", "href=\"abc", "href=\"", "\"", ""},
        BetweenCase{"EmptyText", "", "x", "y", ""},
        BetweenCase{"NearestRight", "x1y2y", "x", "y", "1"},
        BetweenCase{"RightMayStartWithTheLineFeed", "x1\ny", "x", "\ny", "1"},
        BetweenCase{"LeftMayHoldALineFeed", "a\nb1c", "\nb", "c", "1"},
        BetweenCase{"EmptyLeftStartsAtEachLine", "ab\ncy", "", "y", "c"},
        // A "y" that is the trail byte of a character is not a "y".
        BetweenCase{"TrailByteIsNotRight", "x\xD6ya y", "x", "y", "\xD6ya "},
        BetweenCase{"TrailByteIsNotLeft", "\x81x1y x2y", "x", "y", "2"}),
    [](const auto& info) { return info.param.name; });

// --- Hostile pages -----------------------------------------------------------
//
// Pages of several MiB shaped to make a backtracking matcher work hard. They
// must come back promptly (the test run's own timeout is the bound) with the
// targets the matching rules give.

Text repeated(const Text& unit, std::size_t bytes) {
  Text out;
  out.reserve(bytes + unit.size());
  while (out.size() < bytes) out += unit;
  return out;
}

constexpr std::size_t kMiB = 1024 * 1024;

TEST(HostilePageTest, LongDottedRunWithoutClosingQuote) {
  const Text page = "<a href=\"" + repeated("a.", 4 * kMiB) + "a <a href=\"/x\">";
  EXPECT_EQ(link_targets(page, kPage, "href"), Targets{"http://site/dir/x"});
}

TEST(HostilePageTest, ManyLongPathRunsWithoutClosingQuote) {
  Text page;
  const Text run = "href=\"" + repeated("/a", 8 * 1024) + " ";
  while (page.size() < 4 * kMiB) page += run;
  page += "href=\"/end\"";
  EXPECT_EQ(link_targets(page, kPage, "href"), Targets{"http://site/dir/end"});
}

TEST(HostilePageTest, ManyOpeningFragments) {
  // Every fragment but the last has "href=" as its value, which is no link.
  const Text page = repeated("href=\"", 4 * kMiB) + "x\"";
  EXPECT_EQ(link_targets(page, kPage, "href"), Targets{"x"});
}

TEST(HostilePageTest, ManyLongWellFormedValues) {
  const Text value = repeated("/a.b", 4 * 1024);
  Text page;
  std::size_t links = 0;
  while (page.size() < 4 * kMiB) {
    page += "<a href=\"" + value + "\">" + "\xD6\xD0" + "</a>\n";
    ++links;
  }
  const Targets targets = link_targets(page, kPage, "href");
  ASSERT_EQ(targets.size(), links);
  // Compared as a whole: a mismatch must not print megabytes.
  EXPECT_TRUE(targets == Targets(links, kPage + value));
}

TEST(HostilePageTest, ValueBeyondTheMatchLimitEndsThePageQuietly) {
  // A value well inside the limits is taken whole; one of hundreds of
  // thousands of path segments makes the engine give up, and the page ends
  // there with the targets found before it.
  const Text fits = repeated("/a", 16 * 1024);
  const Text too_long = repeated("/a", 1 * kMiB);
  const Text page = "href=\"" + fits + "\" href=\"/first\" href=\"" + too_long + "\" href=\"/after\"";
  const Targets targets = link_targets(page, kPage, "href");
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_TRUE(targets[0] == kPage + fits);
  EXPECT_EQ(targets[1], "http://site/dir/first");
}

}  // namespace
}  // namespace tovarin
