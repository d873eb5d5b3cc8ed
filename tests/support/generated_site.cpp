#include "tests/support/generated_site.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "engine/crawl_engine.h"

namespace tovarin::test {

namespace {

// Page lengths start here, above the longest page without padding, and grow
// by one per page, so that lengths differ modulo 100,000 for sites below
// about 99,000 pages.
constexpr std::size_t kBaseLength = 1024;

// Gives out page names whose addresses have keys no earlier page has: the
// number of the page, then, when its key is taken, the first filler of
// letters ("a" to "z", then "aa", ...) that gives a free key.
class NameMaker {
 public:
  explicit NameMaker(const std::string& host) : prefix_("http://" + host), used_(kTableSlots + 1, false) {
    mark(prefix_);  // the root page, as the crawl holds it
  }

  std::string next(std::size_t number) {
    const std::string base = std::to_string(number);
    std::string filler;
    for (;;) {
      const std::string name = base + filler;
      if (mark(address_of(name))) return name;
      advance(filler);
      if (filler.size() > 6) throw std::runtime_error("no free address key for page " + base);
    }
  }

  std::string address_of(const std::string& name) const { return prefix_ + "/c/" + name + ".html"; }

 private:
  bool mark(const std::string& address) {
    const std::int32_t key = address_key(address);
    if (key < 1 || key > kTableSlots || used_[static_cast<std::size_t>(key)]) return false;
    used_[static_cast<std::size_t>(key)] = true;
    return true;
  }

  static void advance(std::string& filler) {
    for (std::size_t i = filler.size(); i-- > 0;) {
      if (filler[i] != 'z') {
        ++filler[i];
        return;
      }
      filler[i] = 'a';
    }
    filler.insert(filler.begin(), 'a');
  }

  std::string prefix_;
  std::vector<bool> used_;
};

struct Page {
  std::string name;  // empty for the root
  std::vector<std::size_t> links;
};

GeneratedSite make_pages(const PageSink& sink, const NameMaker& names, std::vector<Page>& pages,
                         const std::vector<std::size_t>& order, const std::string& host) {
  GeneratedSite site;
  const std::string padding_unit = "tovarin crawl test page ";
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const Page& page = pages[i];
    std::string body = "<html><head><title>page " + std::to_string(i) + "</title></head><body>\n";
    for (std::size_t link : page.links) {
      const std::string target = link == 0 ? "http://" + host + "/" : names.address_of(pages[link].name);
      body += "<a href=\"" + target + "\">" + std::to_string(link) + "</a>\n";
    }
    const std::string tail = "</body></html>\n";
    const std::size_t length = kBaseLength + i;
    if (body.size() + tail.size() + 5 > length) throw std::runtime_error("generated page too long");
    body += "<p>";
    for (std::size_t need = length - body.size() - tail.size() - 4; need > 0;) {
      const std::size_t n = std::min(need, padding_unit.size());
      body.append(padding_unit, 0, n);
      need -= n;
    }
    body += "</p>";
    body += tail;
    sink(page.name.empty() ? "/" : "/c/" + page.name + ".html", body);
    site.total_bytes += body.size();
  }
  for (std::size_t index : order) {
    const Page& page = pages[index];
    site.listed.push_back(page.name.empty() ? "http://" + host : names.address_of(page.name));
    site.targets.push_back(page.name.empty() ? "/" : "/c/" + page.name + ".html");
  }
  return site;
}

// Writes each page into `doc_root`, the root page as index.html.
PageSink file_sink(const std::filesystem::path& doc_root) {
  std::filesystem::create_directories(doc_root / "c");
  return [doc_root](const std::string& target, const std::string& body) {
    const std::filesystem::path file = target == "/" ? doc_root / "index.html" : doc_root / target.substr(1);
    std::ofstream out(file, std::ios::binary);
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
  };
}

}  // namespace

std::string site_start(const std::string& host) { return "http://" + host + "/"; }

GeneratedSite write_chain_site(const std::filesystem::path& doc_root, const std::string& host, std::size_t pages) {
  return make_chain_site(file_sink(doc_root), host, pages);
}

GeneratedSite make_chain_site(const PageSink& sink, const std::string& host, std::size_t pages) {
  NameMaker names(host);
  std::vector<Page> all(pages + 1);
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i <= pages; ++i) {
    if (i > 0) all[i].name = names.next(i);
    if (i < pages) all[i].links.push_back(i + 1);
    order.push_back(i);
  }
  return make_pages(sink, names, all, order, host);
}

GeneratedSite write_tree_site(const std::filesystem::path& doc_root, const std::string& host, std::size_t pages,
                              std::size_t fanout) {
  NameMaker names(host);
  std::vector<Page> all(pages + 1);
  for (std::size_t i = 1; i <= pages; ++i) {
    all[i].name = names.next(i);
    all[(i - 1) / fanout].links.push_back(i);
  }
  for (std::size_t i = 1; i <= pages; ++i) all[i].links.push_back(0);
  // Pre-order, iteratively: the order of a depth-first crawl.
  std::vector<std::size_t> order;
  std::vector<std::size_t> stack = {0};
  while (!stack.empty()) {
    const std::size_t index = stack.back();
    stack.pop_back();
    order.push_back(index);
    const auto& links = all[index].links;
    for (auto it = links.rbegin(); it != links.rend(); ++it) {
      if (*it != 0) stack.push_back(*it);
    }
  }
  return make_pages(file_sink(doc_root), names, all, order, host);
}

}  // namespace tovarin::test
