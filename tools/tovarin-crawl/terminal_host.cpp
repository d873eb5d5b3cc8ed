#include "tools/tovarin-crawl/terminal_host.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <utility>

#include "engine/encoding.h"

namespace tovarin::crawl_tool {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// Carriage return, then erase to the end of the line.
constexpr const char* kClearLine = "\r\x1b[K";

std::size_t terminal_columns(std::FILE* out) {
  winsize size{};
  if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace

std::string counter_line(std::int32_t valid, std::int32_t total) {
  return "有效：" + std::to_string(valid) + " 总共：" + std::to_string(total);
}

std::string fit_to_columns(const std::string& utf8, std::size_t columns) {
  std::string out;
  std::size_t used = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    std::size_t len = 1;
    if (lead >= 0xF0) {
      len = 4;
    } else if (lead >= 0xE0) {
      len = 3;
    } else if (lead >= 0xC0) {
      len = 2;
    }
    if (i + len > utf8.size()) len = utf8.size() - i;
    const std::size_t width = lead < 0x80 ? 1 : 2;
    if (used + width > columns) break;
    if (lead < 0x20 || lead == 0x7F) {
      out += '?';
    } else {
      out.append(utf8, i, len);
    }
    used += width;
    i += len;
  }
  return out;
}

TerminalHost::TerminalHost(Text start_address, Text depth_text, const std::atomic<bool>& stop,
                           std::FILE* results_out, std::FILE* progress_out, bool show_progress)
    : start_address_(std::move(start_address)),
      depth_text_(std::move(depth_text)),
      stop_(stop),
      results_out_(results_out),
      progress_out_(progress_out),
      show_progress_(show_progress) {}

void TerminalHost::clear_results() {
  // Nothing is kept: the terminal shows each address once it is listed.
  last_listed_.clear();
  progress_stale_ = true;
}

void TerminalHost::add_result(const Text& address) {
  // The progress line shares the terminal with the results when both streams
  // go there; take it away so the address starts a clean line.
  clear_progress();
  std::string line = gbk_to_utf8(address);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), results_out_);
  std::fflush(results_out_);
  if (show_progress_) {
    line.pop_back();
    last_listed_ = std::move(line);
    progress_stale_ = true;
  }
}

void TerminalHost::show_valid_count(std::int32_t n) {
  valid_ = n;
  progress_stale_ = true;
}

void TerminalHost::show_total_count(std::int32_t n) {
  total_ = n;
  progress_stale_ = true;
}

bool TerminalHost::pump_events() {
  if (stop_.load(std::memory_order_relaxed)) return false;
  redraw_progress(false);
  return true;
}

void TerminalHost::set_start_enabled(bool) {}

Text TerminalHost::read_start_address() { return start_address_; }

Text TerminalHost::read_depth_text() { return depth_text_; }

void TerminalHost::finish(std::int32_t valid, std::int32_t total) {
  clear_progress();
  const std::string line = counter_line(valid, total) + "\n";
  std::fwrite(line.data(), 1, line.size(), progress_out_);
  std::fflush(progress_out_);
}

void TerminalHost::redraw_progress(bool force) {
  if (!show_progress_ || (progress_visible_ && !progress_stale_)) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  std::string status = counter_line(valid_, total_);
  if (!last_listed_.empty()) status += "  " + last_listed_;
  // One column short of the width, so the line never wraps and the carriage
  // return always goes back to its start.
  const std::size_t columns = terminal_columns(progress_out_);
  std::string line = kClearLine + fit_to_columns(status, columns > 1 ? columns - 1 : 1);
  std::fwrite(line.data(), 1, line.size(), progress_out_);
  std::fflush(progress_out_);
  progress_visible_ = true;
  progress_stale_ = false;
}

void TerminalHost::clear_progress() {
  if (!progress_visible_) return;
  std::fputs(kClearLine, progress_out_);
  std::fflush(progress_out_);
  progress_visible_ = false;
}

}  // namespace tovarin::crawl_tool
