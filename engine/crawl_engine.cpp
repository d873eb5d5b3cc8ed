#include "engine/crawl_engine.h"

#include <limits>
#include <utility>

#include "engine/link_extraction.h"
#include "engine/page_fetch.h"

namespace tovarin {
namespace {

constexpr std::int32_t wrapping_add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

constexpr bool in_table(std::int32_t key) { return key >= 1 && key <= kTableSlots; }

// Replaces the full-width characters of the code page by their ASCII forms,
// leaving every other character as it is.
Text fold_full_width(std::string_view text) {
  Text out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t size = char_size_at(text, pos);
    if (size == 2) {
      const auto lead = static_cast<unsigned char>(text[pos]);
      const auto trail = static_cast<unsigned char>(text[pos + 1]);
      if (lead == 0xA3 && trail >= 0xA1 && trail <= 0xFE) {
        out.push_back(static_cast<char>(trail - 0x80));
      } else if (lead == 0xA1 && trail == 0xA1) {
        out.push_back(' ');
      } else if (lead == 0xA1 && trail == 0xAB) {
        out.push_back('~');
      } else if (lead == 0xA1 && (trail == 0xEE || trail == 0xEF)) {
        out.push_back('*');
      } else {
        out.append(text.substr(pos, 2));
      }
    } else {
      out.push_back(text[pos]);
    }
    pos += size;
  }
  return out;
}

}  // namespace

std::int32_t address_key(std::string_view address) {
  std::uint32_t sum = 0;
  for (char c : address) {
    const auto v = static_cast<std::int32_t>(static_cast<signed char>(c));
    sum += static_cast<std::uint32_t>(v * v);
  }
  const auto s = static_cast<std::int32_t>(sum);
  return s % kTableSlots + 1;
}

std::int32_t content_key(std::string_view page_text) {
  return static_cast<std::int32_t>(page_text.size() % static_cast<std::size_t>(kTableSlots)) + 1;
}

std::int32_t depth_value(std::string_view depth_text) {
  const Text folded = fold_full_width(depth_text);
  const LeadingNumber number = leading_number(folded);
  std::uint32_t value = 0;
  for (char digit : number.digits) value = value * 10u + static_cast<std::uint32_t>(digit - '0');
  if (number.negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

bool is_download_address(std::string_view address, const std::vector<Text>& types) {
  for (const Text& type : types) {
    if (find_ignoring_case(address, type) != std::string_view::npos) return true;
  }
  return false;
}

// One listed page whose link targets are being visited: its address, the
// values of its links (each target is made from its value when its turn
// comes), the next one to visit and the depth at which they are visited. The
// crawl keeps one frame per open page on an explicit stack, so the depth of
// a crawl never touches the thread's call stack.
struct CrawlEngine::Frame {
  Text address;
  LinkValues links;
  std::size_t next = 0;
  std::int32_t depth = 0;
};

CrawlEngine::CrawlEngine() : address_seen_(kTableSlots, 0), content_seen_(kTableSlots, 0) {}

void CrawlEngine::load_download_types() {
  std::vector<Text> types;
  std::string_view rest = kDownloadTypesText;
  for (;;) {
    const std::size_t cut = rest.find("\r\n");
    types.emplace_back(rest.substr(0, cut));
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 2);
  }
  download_types_ = std::move(types);
}

void CrawlEngine::exit_release() {
  std::vector<std::int32_t>().swap(address_seen_);
  std::vector<std::int32_t>().swap(content_seen_);
  std::vector<Text>().swap(download_types_);
}

bool CrawlEngine::address_seen(std::int32_t key) const {
  return in_table(key) && !address_seen_.empty() && address_seen_[static_cast<std::size_t>(key - 1)] != 0;
}

bool CrawlEngine::content_seen(std::int32_t key) const {
  return in_table(key) && !content_seen_.empty() && content_seen_[static_cast<std::size_t>(key - 1)] != 0;
}

void CrawlEngine::start_crawl(CrawlHost& host) {
  host.clear_results();
  address_seen_.assign(static_cast<std::size_t>(kTableSlots), 0);
  content_seen_.assign(static_cast<std::size_t>(kTableSlots), 0);
  valid_count_ = 0;
  total_count_ = 1;
  host.show_valid_count(valid_count_);
  host.show_total_count(total_count_);
  depth_limit_ = depth_value(host.read_depth_text());
  host.set_start_enabled(false);
  const Text start_address = host.read_start_address();
  if (visit(host, start_address, "href", 0)) host.set_start_enabled(true);
}

bool CrawlEngine::visit(CrawlHost& host, const Text& address, const Text& attribute, std::int32_t depth) {
  std::vector<Frame> open_pages;
  Frame page;
  VisitEnd end = visit_one(host, address, attribute, depth, page);
  if (end == VisitEnd::host_gone) return false;
  if (end == VisitEnd::follow) open_pages.push_back(std::move(page));

  while (!open_pages.empty()) {
    Frame& top = open_pages.back();
    if (top.next == top.links.size()) {
      open_pages.pop_back();
      continue;
    }
    Text target = top.links.target(top.next++, top.address);
    // Nesting is bounded by the number of address keys, far below the range
    // of the depth; saturate rather than wrap all the same.
    const std::int32_t nested_depth =
        top.depth == std::numeric_limits<std::int32_t>::max() ? top.depth : top.depth + 1;
    Frame nested;
    end = visit_one(host, std::move(target), attribute, nested_depth, nested);
    if (end == VisitEnd::host_gone) return false;
    if (end == VisitEnd::follow) open_pages.push_back(std::move(nested));
  }
  return true;
}

CrawlEngine::VisitEnd CrawlEngine::visit_one(CrawlHost& host, Text address, const Text& attribute,
                                             std::int32_t depth, Frame& page) {
  // Count the visit, show it, let the front end breathe.
  total_count_ = wrapping_add(total_count_, 1);
  host.show_total_count(total_count_);
  if (!host.pump_events()) return VisitEnd::host_gone;

  // Depth limit.
  if (depth > depth_limit_) return VisitEnd::done;

  // Only addresses whose first four bytes are "http" in any case.
  if (ascii_lower(std::string_view(address).substr(0, 4)) != "http") return VisitEnd::done;

  // One trailing slash goes.
  if (address.back() == '/') address.pop_back();

  // Duplicate addresses. An address so long that its key falls outside the
  // table (131,072 bytes or more) is treated as already seen.
  const std::int32_t k = address_key(address);
  if (!in_table(k) || address_seen_[static_cast<std::size_t>(k - 1)] == 1) return VisitEnd::done;
  address_seen_[static_cast<std::size_t>(k - 1)] = 1;

  // Download addresses are listed, never fetched.
  if (is_download_address(address, download_types_)) {
    host.add_result(address);
    if (!host.pump_events()) return VisitEnd::host_gone;
    valid_count_ = wrapping_add(valid_count_, 1);
    host.show_valid_count(valid_count_);
    return VisitEnd::done;
  }

  // Fetch; drop empty pages and pages whose length was seen.
  Text page_text = bytes_to_text(fetch_page(address));
  const std::int32_t j = content_key(page_text);
  if (content_seen_[static_cast<std::size_t>(j - 1)] == 1 || page_text.empty()) return VisitEnd::done;
  content_seen_[static_cast<std::size_t>(j - 1)] = 1;

  // List the page; here the count is shown before events are pumped.
  host.add_result(address);
  valid_count_ = wrapping_add(valid_count_, 1);
  host.show_valid_count(valid_count_);
  if (!host.pump_events()) return VisitEnd::host_gone;

  // The page's links are visited next, at depth + 1.
  page.links = link_values(page_text, attribute);
  page.address = std::move(address);
  page.depth = depth;
  return VisitEnd::follow;
}

}  // namespace tovarin
