#pragma once
// Page fetch: one HTTP/1.0 GET per page over libcurl, and the body as a Text.

#include <cstddef>
#include <optional>
#include <string_view>

#include "engine/text.h"

namespace tovarin {

// The body of the response to one GET of `address` (http or https), read to
// the end of the connection whatever its status code; redirections are
// followed. Empty on every failure before any byte of the body arrived; a
// connection that breaks mid-body keeps what was read.
Bytes fetch_page(const Text& address);

// The bytes before the first zero byte, taken as they are.
Text bytes_to_text(const Bytes& body);

// The size of each body read for a Content-Length header value (absent when
// the response has none): 10,240 when absent, longer than 32 bytes or not a
// positive number; the value + 1 below 102,400; else 102,400.
std::size_t read_chunk_size(std::optional<std::string_view> content_length);

}  // namespace tovarin
