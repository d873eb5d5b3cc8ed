// Throughput of link_targets over a generated multi-MiB HTML corpus, beside a
// plain memmem scan for "href=" over the same bytes in the same run.
//
// Prints best and median MB/s (1 MB = 10^6 bytes) of each and their ratio.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string.h>  // memmem
#include <vector>

#include "engine/link_extraction.h"

namespace {

using tovarin::Text;

// Realistic-looking pages: markup, Chinese text in GBK, and links of the
// shapes a crawl meets (absolute, root-relative, relative, queries, single
// quotes, values the pattern rejects).
Text make_corpus(std::size_t bytes) {
  static const char* const links[] = {
      "http://www.example.com/news/2024/index.html",
      "/about.html",
      "/js/jquery.min.js",
      "/list.php?page=2&sort=date",
      "./detail.html",
      "article_1024.html",
      "http://bbs.example.cn/forum.php?mod=viewthread&tid=88",
      "/",
      "https://secure.example.com/login",
      "#top",
      "javascript:void(0)",
      "/static/css/main-v2.css",
      "/a/b/c/d.html",
      "http://img.example.com/p/",
  };
  static const char* const chinese[] = {
      "\xD6\xD0\xB9\xFA",          // 中国
      "\xD0\xC2\xCE\xC5",          // 新闻
      "\xCA\xD7\xD2\xB3",          // 首页
      "\xC1\xAA\xCF\xB5\xCE\xD2\xC3\xC7",  // 联系我们
      "\xA1\xA3",                  // 。
  };
  std::mt19937 rng(12345);
  Text out;
  out.reserve(bytes + 4096);
  out += "<!DOCTYPE html><html><head><meta charset=\"gbk\"><title>\xB2\xE2\xCA\xD4</title>\n";
  while (out.size() < bytes) {
    switch (rng() % 6) {
      case 0:
      case 1: {
        const char* link = links[rng() % (sizeof links / sizeof *links)];
        const char quote = rng() % 10 == 0 ? '\'' : '"';
        out += "<li><a class=\"nav-item\" href=";
        out += quote;
        out += link;
        out += quote;
        out += " target=\"_blank\">";
        out += chinese[rng() % (sizeof chinese / sizeof *chinese)];
        out += "</a></li>\n";
        break;
      }
      case 2:
        out += "<div class=\"content\"><p>";
        for (int i = 0; i < 12; ++i) out += chinese[rng() % (sizeof chinese / sizeof *chinese)];
        out += " Lorem ipsum dolor sit amet, consectetur adipiscing elit.</p></div>\n";
        break;
      case 3:
        out += "<img src=\"/images/photo_" + std::to_string(rng() % 1000) + ".jpg\" alt=\"";
        out += chinese[rng() % (sizeof chinese / sizeof *chinese)];
        out += "\" width=\"120\" height=\"90\">\n";
        break;
      case 4:
        out += "<script type=\"text/javascript\">var u = 'href=' + x; document.write(u);</script>\n";
        break;
      default:
        out += "<span style=\"color:#333;font-size:14px\">";
        out += chinese[rng() % (sizeof chinese / sizeof *chinese)];
        out += "</span>\n";
        break;
    }
  }
  out += "</html>\n";
  return out;
}

struct Figures {
  double best;
  double median;
};

template <typename Work>
Figures measure(std::size_t bytes, int repetitions, Work&& work) {
  std::vector<double> rates;
  for (int r = 0; r < repetitions; ++r) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const auto stop = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(stop - start).count();
    rates.push_back(static_cast<double>(bytes) / 1e6 / seconds);
  }
  std::sort(rates.begin(), rates.end());
  return {rates.back(), rates[rates.size() / 2]};
}

}  // namespace

int main() {
  constexpr std::size_t kCorpusBytes = 16 * 1024 * 1024;
  constexpr int kRepetitions = 15;
  const Text corpus = make_corpus(kCorpusBytes);
  const Text page_address = "http://www.example.com/dir";

  std::size_t targets = 0;
  const Figures extraction = measure(corpus.size(), kRepetitions, [&] {
    targets = tovarin::link_targets(corpus, page_address, "href").size();
  });

  std::size_t candidates = 0;
  const Figures scan = measure(corpus.size(), kRepetitions, [&] {
    std::size_t count = 0;
    const char* pos = corpus.data();
    const char* const end = corpus.data() + corpus.size();
    while (const void* hit = memmem(pos, static_cast<std::size_t>(end - pos), "href=", 5)) {
      ++count;
      pos = static_cast<const char*>(hit) + 1;
    }
    candidates = count;
  });

  std::printf("corpus: %zu bytes, %zu \"href=\" occurrences, %zu targets\n", corpus.size(), candidates, targets);
  std::printf("link_targets     best %8.1f MB/s  median %8.1f MB/s\n", extraction.best, extraction.median);
  std::printf("memmem \"href=\"   best %8.1f MB/s  median %8.1f MB/s\n", scan.best, scan.median);
  std::printf("ratio link_targets / memmem: best %.3f  median %.3f\n", extraction.best / scan.best,
              extraction.median / scan.median);
  return 0;
}
