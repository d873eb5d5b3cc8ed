#pragma once
// The crawl engine: the crawl state and the depth-first crawl that reports
// to a CrawlHost.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/crawl_host.h"
#include "engine/text.h"

namespace tovarin {

// Slots of each duplicate table, numbered 1 to kTableSlots.
inline constexpr std::int32_t kTableSlots = 100000;

// The built-in download types, separated by "\r\n".
inline constexpr std::string_view kDownloadTypesText =
    ".exe\r\n.zip\r\n.7z\r\n.gz\r\n.rar\r\n.bat\r\n.mp3\r\n.wav\r\n.flac\r\n.mp4\r\n.flv\r\n.mov\r\n"
    ".rmvb\r\n.doc\r\n.xls\r\n.ppt\r\n.pdf\r\n.apk";

// Sum of the squares of the address's bytes taken as signed 8-bit values,
// wrapping in 32 bits, then the truncating remainder by 100,000, plus 1.
// Below 1 only for addresses of 131,072 bytes or more.
std::int32_t address_key(std::string_view address);

// Length of the page text modulo 100,000, plus 1.
std::int32_t content_key(std::string_view page_text);

// The integer value of a depth text: full-width characters folded to ASCII,
// leading white space skipped, one sign, decimal digits wrapping in 32 bits;
// 0 without digits.
std::int32_t depth_value(std::string_view depth_text);

// Whether one of `types` occurs anywhere in `address`, ASCII case ignored,
// matching only at character starts.
bool is_download_address(std::string_view address, const std::vector<Text>& types);

class CrawlEngine {
 public:
  CrawlEngine();

  // Replaces the download-type list with the 18 built-in entries.
  void load_download_types();

  // Runs a whole crawl from the host's start address and depth text; returns
  // when it has ended, or at once when the host reports it has gone.
  void start_crawl(CrawlHost& host);

  // Releases both tables and the download types (the program's orderly end).
  void exit_release();

  std::int32_t valid_count() const { return valid_count_; }
  std::int32_t total_count() const { return total_count_; }
  std::int32_t depth_limit() const { return depth_limit_; }
  const std::vector<Text>& download_types() const { return download_types_; }
  // Whether slot `key` (1 to 100,000) of a table is marked; false outside.
  bool address_seen(std::int32_t key) const;
  bool content_seen(std::int32_t key) const;

 private:
  struct Frame;
  enum class VisitEnd { done, follow, host_gone };
  // One visit up to the listing of its page. Returns follow, with the page
  // and its links in `page`, when the page was listed after a fetch: its
  // targets are then visited, in order, at depth + 1.
  VisitEnd visit_one(CrawlHost& host, Text address, const Text& attribute, std::int32_t depth, Frame& page);
  // The visit of `address` with every visit below it, depth first. Returns
  // false when the host has gone.
  bool visit(CrawlHost& host, const Text& address, const Text& attribute, std::int32_t depth);

  std::vector<std::int32_t> address_seen_;
  std::vector<std::int32_t> content_seen_;
  std::int32_t valid_count_ = 0;
  std::int32_t total_count_ = 0;
  std::int32_t depth_limit_ = 0;
  std::vector<Text> download_types_;
};

}  // namespace tovarin
