#include "engine/page_fetch.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "engine/fetch_limits.h"
#include "engine/http_session.h"
#include "engine/http_session_testing.h"

namespace tovarin {
namespace {

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistFree>;

struct UrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using Url = std::unique_ptr<CURLU, UrlFree>;

struct CurlTextFree {
  void operator()(char* text) const { curl_free(text); }
};
using CurlText = std::unique_ptr<char, CurlTextFree>;

// The one extra header line of every request. Replacing curl's own Accept
// line with it keeps exactly one "Accept: */*" on the wire.
curl_slist* accept_header() {
  static const Slist list(curl_slist_append(nullptr, "Accept: */*"));
  return list.get();
}

// One part of a parsed address; `present` false when the address has none.
struct UrlPart {
  CurlText text;
  bool present = false;
  std::size_t size() const { return text ? std::strlen(text.get()) : 0; }
};

UrlPart get_part(CURLU* url, CURLUPart which) {
  UrlPart part;
  char* text = nullptr;
  if (curl_url_get(url, which, &text, 0) == CURLUE_OK && text != nullptr) {
    part.text.reset(text);
    part.present = true;
  }
  return part;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// A parsed and bounded address: the libcurl URL handle the transfer uses and
// the request target, sent exactly as it stands in the address.
struct Address {
  Url url;
  std::string request_target;
  bool web_scheme = false;  // http or https; anything else is never fetched
};

// Any scheme is split (only http and https are fetched later); spaces stay as
// they are, like every other character.
constexpr unsigned int kParseFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE;

// Cuts `text` before its first '#', canonicalises it (relative to `base`
// when given: the location of a redirection), splits it and checks the
// length of its parts. std::nullopt when any of that fails.
std::optional<Address> parse_address(std::string_view text, CURLU* base) {
  const std::string cut(text.substr(0, text.find('#')));
  Url url(base != nullptr ? curl_url_dup(base) : curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, cut.c_str(), kParseFlags) != CURLUE_OK) return std::nullopt;

  const UrlPart scheme = get_part(url.get(), CURLUPART_SCHEME);
  const UrlPart host = get_part(url.get(), CURLUPART_HOST);
  const UrlPart user = get_part(url.get(), CURLUPART_USER);
  const UrlPart password = get_part(url.get(), CURLUPART_PASSWORD);
  const UrlPart path = get_part(url.get(), CURLUPART_PATH);
  const UrlPart query = get_part(url.get(), CURLUPART_QUERY);
  if (!scheme.present || !host.present || host.size() == 0) return std::nullopt;
  if (host.size() > kMaxHostLength || user.size() > kMaxUserLength || password.size() > kMaxPasswordLength)
    return std::nullopt;

  Address address;
  std::string target = path.size() > 0 ? path.text.get() : "/";
  if (query.present) {
    target += '?';
    target += query.text.get();
  }
  // A space would split the request line, so it alone goes as "%20"; every
  // other byte, GBK characters and escapes included, goes as it stands.
  for (char c : target) {
    if (c == ' ') {
      address.request_target += "%20";
    } else {
      address.request_target += c;
    }
  }
  if (address.request_target.size() > kMaxTargetLength) return std::nullopt;
  const std::string_view scheme_name = scheme.text.get();
  address.web_scheme = scheme_name == "http" || scheme_name == "https";
  address.url = std::move(url);
  return address;
}

// State of one transfer, shared with the libcurl callbacks.
struct Transfer {
  Bytes body;
  std::size_t max_body = kMaxBodyBytes;
  // Of the latest response (a redirection or 1xx response starts a new one).
  int status = 0;
  std::string content_length;
  bool has_content_length = false;
  std::string location;
  // Set when the response turned out to be a redirection to follow.
  std::string redirect_location;
  std::size_t chunk = kUnknownLengthChunk;
  bool chunk_known = false;
  bool out_of_memory = false;
  // Stall bound: bytes (headers and body) received so far, and when the
  // count last grew by kStallMinBytes.
  std::chrono::seconds stall_timeout{kStallTimeoutSeconds};
  std::size_t received = 0;
  std::size_t received_at_mark = 0;
  std::chrono::steady_clock::time_point mark;

  void start_transfer() {
    start_response();
    received_at_mark = received;
    mark = std::chrono::steady_clock::now();
  }

  void start_response() {
    status = 0;
    content_length.clear();
    has_content_length = false;
    location.clear();
    redirect_location.clear();
    chunk_known = false;
  }
};

// The value of a header line "Name: value\r\n" when its name is `name`
// (ASCII case ignored): leading blanks and the line end taken off.
std::optional<std::string_view> header_value(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':' || !ascii_iequals(line.substr(0, name.size()), name))
    return std::nullopt;
  std::string_view value = line.substr(name.size() + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.remove_suffix(1);
  return value;
}

// Whether a response with this status and a Location is followed (as web
// browsers do: every redirection but 304, 305 and 306).
bool follows(int status) { return status >= 300 && status < 400 && status != 304 && status != 305 && status != 306; }

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t length = size * count;
  transfer->received += length;
  const std::string_view line(data, length);
  if (line.substr(0, 5) == "HTTP/") {
    // The status line of a new response: its headers replace the last ones.
    transfer->start_response();
    const std::size_t space = line.find(' ');
    if (space != std::string_view::npos && line.size() >= space + 4) {
      int status = 0;
      for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (line[i] < '0' || line[i] > '9') return length;
        status = status * 10 + (line[i] - '0');
      }
      transfer->status = status;
    }
    return length;
  }
  if (line == "\r\n" || line == "\n") {
    // End of the headers: a redirection is followed without reading its body.
    if (follows(transfer->status) && !transfer->location.empty()) {
      transfer->redirect_location = transfer->location;
      return 0;  // ends this transfer
    }
    return length;
  }
  if (!transfer->has_content_length) {
    if (auto value = header_value(line, "Content-Length")) {
      transfer->has_content_length = true;
      transfer->content_length.assign(*value);
      return length;
    }
  }
  if (transfer->location.empty()) {
    if (auto value = header_value(line, "Location")) transfer->location.assign(*value);
  }
  return length;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t length = size * count;
  transfer->received += length;
  if (!transfer->chunk_known) {
    transfer->chunk = read_chunk_size(transfer->has_content_length
                                          ? std::optional<std::string_view>(transfer->content_length)
                                          : std::nullopt);
    transfer->chunk_known = true;
  }
  Bytes& body = transfer->body;
  const size_t room = transfer->max_body - std::min(transfer->max_body, body.size());
  const size_t take = std::min(length, room);
  try {
    if (body.size() + take > body.capacity()) {
      // Grow in whole chunks: one chunk first (a page whose length was
      // announced fits in it), then at least doubling so that a long body
      // is not copied over and over.
      const size_t chunk = transfer->chunk;
      size_t wanted = std::max(body.size() + take, body.capacity() == 0 ? chunk : body.capacity() * 2);
      wanted = (wanted + chunk - 1) / chunk * chunk;
      wanted = std::min(wanted, std::max(transfer->max_body, body.size() + take));
      body.reserve(wanted);
    }
    body.insert(body.end(), reinterpret_cast<unsigned char*>(data), reinterpret_cast<unsigned char*>(data) + take);
  } catch (const std::bad_alloc&) {
    transfer->out_of_memory = true;
    return 0;  // ends the transfer
  }
  // At the bound reading stops and what was read is kept.
  return take < length ? 0 : length;
}

// Called by libcurl at least once a second: ends the transfer when it is
// cancelled or has stalled (libcurl's own low-speed check averages over
// several seconds and gives up late).
int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  if (HttpSession::instance().cancelled()) return 1;
  auto* transfer = static_cast<Transfer*>(user);
  const auto now = std::chrono::steady_clock::now();
  if (transfer->received - transfer->received_at_mark >= static_cast<std::size_t>(kStallMinBytes)) {
    transfer->received_at_mark = transfer->received;
    transfer->mark = now;
    return 0;
  }
  return now - transfer->mark >= transfer->stall_timeout ? 1 : 0;
}

}  // namespace

std::size_t read_chunk_size(std::optional<std::string_view> content_length) {
  if (!content_length || content_length->size() > kMaxContentLengthText) return kUnknownLengthChunk;
  const LeadingNumber number = leading_number(*content_length);
  // Saturates: every value from kLargestChunk on gives the same size.
  std::size_t value = 0;
  for (char digit : number.digits) value = std::min(value * 10 + static_cast<std::size_t>(digit - '0'), kLargestChunk);
  if (number.negative || value == 0) return kUnknownLengthChunk;
  if (value >= kLargestChunk) return kLargestChunk;
  return value + 1;
}

Text bytes_to_text(const Bytes& body) {
  if (body.empty()) return {};
  const unsigned char* begin = body.data();
  const void* zero = std::memchr(begin, 0, body.size());
  const std::size_t length =
      zero == nullptr ? body.size() : static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - begin);
  return Text(reinterpret_cast<const char*>(begin), length);
}

Bytes fetch_page(const Text& address) {
  if (address.empty()) return {};

  // The fragment never reaches the server.
  std::optional<Address> target = parse_address(address, nullptr);
  if (!target) return {};

  // The client session, opened by the first fetch that gets this far.
  HttpSession& session = HttpSession::instance();
  CURL* curl = static_cast<CURL*>(session.handle());
  if (curl == nullptr) return {};

  if (!target->web_scheme) return {};
  curl_slist* headers = accept_header();
  if (headers == nullptr) return {};

  const std::shared_ptr<const fetch_testing::FetchOverrides> overrides = fetch_testing::current_fetch_overrides();

  Transfer transfer;
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  // One connection per fetch, closed when it ends.
  curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // Redirections are followed here rather than by libcurl, which would send
  // the bytes of GBK characters in the path percent-encoded.
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  // The body runs to the end of the connection whatever Content-Length says.
  curl_easy_setopt(curl, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(kLargestChunk));
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);

  long connect_timeout = kConnectTimeoutSeconds;
  long stall_timeout = kStallTimeoutSeconds;
  Slist connect_to;
  if (overrides) {
    if (overrides->connect_timeout_seconds > 0) connect_timeout = overrides->connect_timeout_seconds;
    if (overrides->stall_timeout_seconds > 0) stall_timeout = overrides->stall_timeout_seconds;
    if (overrides->max_body_bytes > 0) transfer.max_body = overrides->max_body_bytes;
    for (const std::string& rule : overrides->connect_to) {
      curl_slist* longer = curl_slist_append(connect_to.get(), rule.c_str());
      if (longer == nullptr) return {};
      connect_to.release();
      connect_to.reset(longer);
    }
    if (connect_to) curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connect_to.get());
    if (!overrides->ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, overrides->ca_file.c_str());
    if (!overrides->no_proxy.empty()) curl_easy_setopt(curl, CURLOPT_NOPROXY, overrides->no_proxy.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kStallMinBytes);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall_timeout);
  transfer.stall_timeout = std::chrono::seconds(stall_timeout);

  for (long redirections = 0;; ++redirections) {
    curl_easy_setopt(curl, CURLOPT_CURLU, target->url.get());
    curl_easy_setopt(curl, CURLOPT_REQUEST_TARGET, target->request_target.c_str());
    transfer.start_transfer();
    curl_easy_perform(curl);
    if (transfer.redirect_location.empty()) break;
    // A redirection: its own body is never read; the fetch goes on with the
    // address it names, within the bounds of a first address.
    if (redirections == kMaxRedirections) return {};
    target = parse_address(transfer.redirect_location, target->url.get());
    if (!target || !target->web_scheme) return {};
    transfer.body.clear();
  }

  // Nothing of this fetch may reach the next one through the handle.
  curl_easy_setopt(curl, CURLOPT_CONNECT_TO, nullptr);
  curl_easy_setopt(curl, CURLOPT_CURLU, nullptr);

  if (transfer.out_of_memory) return {};
  return std::move(transfer.body);
}

}  // namespace tovarin
