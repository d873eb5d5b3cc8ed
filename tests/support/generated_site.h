#pragma once
// Generated static sites for whole-site crawls. The crawl engine tells
// addresses apart only by address_key and pages only by their length modulo
// 100,000, so every page of a generated site gets an address with a key of
// its own and a length of its own: then a crawl must list every page.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tovarin::test {

struct GeneratedSite {
  // The addresses a crawl from the start address lists, in listing order
  // (the root page, held without its final "/", first).
  std::vector<std::string> listed;
  // The request target of each page, in the same order ("/" for the root).
  std::vector<std::string> targets;
  std::size_t total_bytes = 0;
};

// The address a crawl starts from: "http://HOST/".
std::string site_start(const std::string& host);

// Receives each page of a generated site: its request target and its body.
using PageSink = std::function<void(const std::string& target, const std::string& body)>;

// A chain: the root page links to page 1, page k to page k + 1, and page
// `pages` to nothing; `pages` + 1 pages with the root. Absolute links.
GeneratedSite write_chain_site(const std::filesystem::path& doc_root, const std::string& host, std::size_t pages);
// The same chain, each page handed to `sink` (a server's script, say).
GeneratedSite make_chain_site(const PageSink& sink, const std::string& host, std::size_t pages);

// A tree of `pages` pages below the root, `fanout` children per page, each
// page also linking back to the root (a duplicate the crawl drops). Absolute
// links; a crawl lists it in pre-order.
GeneratedSite write_tree_site(const std::filesystem::path& doc_root, const std::string& host, std::size_t pages,
                              std::size_t fanout);

}  // namespace tovarin::test
