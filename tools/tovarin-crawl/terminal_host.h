#pragma once
// The terminal as the crawl's front end: every listed address goes to
// standard output at once, one per line; the counters go to standard error,
// as a live progress line while the crawl runs (when standard error is a
// terminal) and as one final line at the end.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/crawl_host.h"
#include "engine/text.h"

namespace tovarin::crawl_tool {

// "有效：V 总共：T" in UTF-8, as the window's labels show the two counters.
std::string counter_line(std::int32_t valid, std::int32_t total);

// `utf8` cut so that it takes at most `columns` terminal columns, counting
// every non-ASCII character as two; control characters become '?'.
std::string fit_to_columns(const std::string& utf8, std::size_t columns);

class TerminalHost final : public CrawlHost {
 public:
  // `start_address` and `depth_text` are GBK texts. The crawl stops at the
  // next pump once `stop` is set. With `show_progress`, `progress_out` (a
  // terminal) gets a progress line redrawn at most every 100 ms.
  TerminalHost(Text start_address, Text depth_text, const std::atomic<bool>& stop, std::FILE* results_out,
               std::FILE* progress_out, bool show_progress);

  void clear_results() override;
  void add_result(const Text& address) override;
  void show_valid_count(std::int32_t n) override;
  void show_total_count(std::int32_t n) override;
  bool pump_events() override;
  void set_start_enabled(bool on) override;
  Text read_start_address() override;
  Text read_depth_text() override;

  // Clears the progress line and writes the counter line to `progress_out`.
  void finish(std::int32_t valid, std::int32_t total);

 private:
  void redraw_progress(bool force);
  void clear_progress();

  Text start_address_;
  Text depth_text_;
  const std::atomic<bool>& stop_;
  std::FILE* results_out_;
  std::FILE* progress_out_;
  bool show_progress_;

  std::int32_t valid_ = 0;
  std::int32_t total_ = 0;
  std::string last_listed_;  // UTF-8
  bool progress_visible_ = false;
  bool progress_stale_ = false;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace tovarin::crawl_tool
