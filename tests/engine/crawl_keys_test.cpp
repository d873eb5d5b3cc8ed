// Address and content keys, the depth text and the download-type test.

#include <gtest/gtest.h>

#include <ostream>

#include <string>

#include "engine/crawl_engine.h"

namespace tovarin {
namespace {

struct KeyCase {
  const char* name;
  std::string address;
  std::int32_t key;
};
void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

class AddressKeyTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(AddressKeyTest, SumsSquaresOfSignedBytes) { EXPECT_EQ(address_key(GetParam().address), GetParam().key); }

INSTANTIATE_TEST_SUITE_P(
    Cases, AddressKeyTest,
    ::testing::Values(KeyCase{"Lower", "http", 50273}, KeyCase{"Capitals", "HTTP", 25697},
                      KeyCase{"Ab", "ab", 19014}, KeyCase{"Ba", "ba", 19014}, KeyCase{"Empty", "", 1},
                      // D6 D0 counts as -42 and -48: 1,764 + 2,304.
                      KeyCase{"DoubleByte", "\xD6\xD0", 4069},
                      // 0x80 is -128, the largest square: 6 of them make 98,304.
                      KeyCase{"LargestSquares", std::string(6, '\x80'), 98305},
                      // 7 make 114,688: remainder 14,688.
                      KeyCase{"PastOneLap", std::string(7, '\x80'), 14689},
                      // 131,072 bytes of 0x80 make 2^31, which wraps to -2^31:
                      // the truncating remainder is -83,648, the key -83,647.
                      KeyCase{"WrapsNegative", std::string(131072, '\x80'), -83647},
                      // One byte short stays positive: 2^31 - 16,384.
                      KeyCase{"JustBelowWrap", std::string(131071, '\x80'), 67265}),
    [](const auto& info) { return info.param.name; });

TEST(ContentKeyTest, LengthModuloTableSize) {
  EXPECT_EQ(content_key(""), 1);
  EXPECT_EQ(content_key(std::string(100000, 'x')), 1);
  EXPECT_EQ(content_key(std::string(123456, 'x')), 23457);
  EXPECT_EQ(content_key(std::string(99999, 'x')), 100000);
}

struct DepthCase {
  const char* name;
  std::string text;
  std::int32_t value;
};
void PrintTo(const DepthCase& c, std::ostream* os) { *os << c.name; }

class DepthValueTest : public ::testing::TestWithParam<DepthCase> {};

TEST_P(DepthValueTest, ReadsLeadingNumber) { EXPECT_EQ(depth_value(GetParam().text), GetParam().value); }

INSTANTIATE_TEST_SUITE_P(
    Cases, DepthValueTest,
    ::testing::Values(
        DepthCase{"Empty", "", 0}, DepthCase{"Letters", "abc", 0}, DepthCase{"LeadingSpaces", "  \t\r\n\v\f3", 3},
        DepthCase{"TrailingLetters", "3abc", 3}, DepthCase{"Fraction", "3.9", 3}, DepthCase{"Plus", "+2", 2},
        DepthCase{"Minus", "-1", -1}, DepthCase{"SignOnly", "-", 0}, DepthCase{"TwoSigns", "+-2", 0},
        DepthCase{"FullWidthThree", "\xA3\xB3", 3},
        // Full-width "１２" with a full-width space and sign before it.
        DepthCase{"FullWidthNumber", "\xA1\xA1\xA3\xAB\xA3\xB1\xA3\xB2", 12},
        DepthCase{"FullWidthMinus", "\xA3\xAD" "5", -5},
        // Another double-byte character stops the number and is no space.
        DepthCase{"ChineseFirst", "\xD6\xD0" "5", 0}, DepthCase{"ChineseAfter", "5\xD6\xD0" "5", 5},
        DepthCase{"Largest", "2147483647", 2147483647}, DepthCase{"WrapsPastLargest", "2147483648", INT32_MIN},
        DepthCase{"WrapsPastLap", "4294967298", 2}, DepthCase{"Smallest", "-2147483648", INT32_MIN},
        DepthCase{"ManyDigits", "99999999999999999999999", -159383553}),
    [](const auto& info) { return info.param.name; });

TEST(DownloadTypesTest, LoadsTheEighteenEntriesInOrder) {
  CrawlEngine engine;
  EXPECT_TRUE(engine.download_types().empty());
  engine.load_download_types();
  engine.load_download_types();  // replaces, never appends
  const std::vector<Text> expected = {".exe", ".zip", ".7z",  ".gz",   ".rar", ".bat", ".mp3", ".wav", ".flac",
                                      ".mp4", ".flv", ".mov", ".rmvb", ".doc", ".xls", ".ppt", ".pdf", ".apk"};
  EXPECT_EQ(engine.download_types(), expected);
}

TEST(DownloadTypesTest, FoundAnywhereInAnyCaseAtCharacterStarts) {
  CrawlEngine engine;
  engine.load_download_types();
  const auto& types = engine.download_types();
  const struct {
    const char* address;
    bool download;
  } cases[] = {
      {"http://site/a.zip", true},         {"http://site/a.zip?x=1", true},     {"http://site/a.docx", true},
      {"http://site/SETUP.EXE", true},     {"http://mirror.7z.example/", true}, {"http://site/a.Pdf#p", true},
      {"http://site/a.html", false},       {"http://site/zip", false},          {"http://site/a.z", false},
      // A lead byte takes the dot with it, so ".exe" does not start there.
      {"http://site/\x81.exe", false},     {"http://site/\xD6\xD0.exe", true},
  };
  for (const auto& c : cases) EXPECT_EQ(is_download_address(c.address, types), c.download) << c.address;
}

}  // namespace
}  // namespace tovarin
