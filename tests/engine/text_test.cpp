#include "engine/text.h"

#include <gtest/gtest.h>

#include <ostream>

#include "engine/encoding.h"

namespace tovarin {
namespace {

TEST(TextTest, LowerCasingChangesOnlyAsciiCapitals) {
  // 0xC1 0x41: a double-byte character whose trail byte is "A" stays as it is
  // only when stepping by character; plain lower-casing is byte-wise ASCII.
  EXPECT_EQ(ascii_lower("HTTP://Site/\xD6\xD0Z"), "http://site/\xD6\xD0z");
  EXPECT_EQ(ascii_lower("[@`{"), "[@`{");
}

struct FindCase {
  const char* name;
  std::string haystack;
  std::string needle;
  std::size_t expected;
};
void PrintTo(const FindCase& c, std::ostream* os) { *os << c.name; }

class FindIgnoringCaseTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindIgnoringCaseTest, FindsOnlyAtCharacterStarts) {
  const FindCase& c = GetParam();
  EXPECT_EQ(find_ignoring_case(c.haystack, c.needle), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindIgnoringCaseTest,
    ::testing::Values(
        FindCase{"AtEnd", "http://x/a.ZIP", ".zip", 10}, FindCase{"Middle", "http://x/a.Zip?x=1", ".zip", 10},
        FindCase{"Absent", "http://x/a.zi", ".zip", std::string::npos},
        FindCase{"EmptyNeedle", "abc", "", 0},
        // 0x81 takes "." along as its trail byte, so ".exe" does not start there.
        FindCase{"HiddenByLeadByte", "a\x81.exe", ".exe", std::string::npos},
        // A complete double-byte character before it does not hide it.
        FindCase{"AfterFullCharacter", "a\xD6\xD0.exe", ".exe", 3},
        // Non-letters must match exactly: 0xC1 is not "a" in another case.
        FindCase{"HighBytesExact", "\xC1\xC1", "\xE1\xC1", std::string::npos},
        FindCase{"LongerNeedle", "ab", "abc", std::string::npos}),
    [](const auto& info) { return info.param.name; });

TEST(TextTest, CharacterStartsFollowLeadBytes) {
  // A lead byte at the very end stands alone.
  const std::string text = std::string(20, 'a') + "\x81h" + "\xD6\xD0" + "x\xFF";
  EXPECT_TRUE(is_char_start(text, 0, 20));
  EXPECT_FALSE(is_char_start(text, 0, 21));
  EXPECT_TRUE(is_char_start(text, 0, 22));
  EXPECT_FALSE(is_char_start(text, 0, 23));
  EXPECT_TRUE(is_char_start(text, 0, 25));
  EXPECT_EQ(next_char_start(text, 0, 21), 22u);
  EXPECT_EQ(next_char_start(text, 0, text.size()), text.size());
}

TEST(EncodingTest, ChineseRoundTrip) {
  const std::string utf8 = "http://例子.测试/路径?查询=值";
  const Text gbk = utf8_to_gbk(utf8);
  EXPECT_EQ(gbk.substr(7, 4), "\xC0\xFD\xD7\xD3");  // 例子
  EXPECT_EQ(gbk_to_utf8(gbk), utf8);
  EXPECT_EQ(utf8_to_gbk("有效：总共："), "\xD3\xD0\xD0\xA7\xA3\xBA\xD7\xDC\xB9\xB2\xA3\xBA");
}

TEST(EncodingTest, BadInputNeverBreaksTheConversion) {
  // A character GBK lacks and invalid UTF-8 both become "?"; zero bytes go.
  EXPECT_EQ(utf8_to_gbk("a\xF0\x9F\x98\x80" "b\xFF" "c" + std::string(1, '\0') + "d"), "a?b?cd");
  // A lone lead byte and an invalid pair each become U+FFFD.
  EXPECT_EQ(gbk_to_utf8("a\x81"), "a\xEF\xBF\xBD");
  EXPECT_EQ(gbk_to_utf8("\xFF" "z"), "\xEF\xBF\xBDz");
  EXPECT_EQ(gbk_to_utf8(""), "");
}

}  // namespace
}  // namespace tovarin
