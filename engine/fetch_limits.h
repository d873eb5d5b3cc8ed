#pragma once
// Bounds of a page fetch, so that no server can hang or exhaust the program.

#include <cstddef>

namespace tovarin {

// Longest wait for a connection (TCP and TLS handshake) to be made.
inline constexpr long kConnectTimeoutSeconds = 60;
// A transfer that moves less than kStallMinBytes in kStallTimeoutSeconds is
// given up; a slow but moving download goes on, with no total time-out.
inline constexpr long kStallTimeoutSeconds = 60;
inline constexpr long kStallMinBytes = 1;
// Redirections followed before a fetch is given up.
inline constexpr long kMaxRedirections = 20;
// Bytes of one body kept at most; reading stops there and keeps what it read.
inline constexpr std::size_t kMaxBodyBytes = std::size_t{64} << 20;

// Address parts: longest host name, user name, password and path with query.
inline constexpr std::size_t kMaxHostLength = 256;
inline constexpr std::size_t kMaxUserLength = 128;
inline constexpr std::size_t kMaxPasswordLength = 128;
inline constexpr std::size_t kMaxTargetLength = 2048;

// Read sizes that follow the announced Content-Length.
inline constexpr std::size_t kUnknownLengthChunk = 10240;
inline constexpr std::size_t kLargestChunk = 102400;
// A Content-Length value longer than this counts as absent.
inline constexpr std::size_t kMaxContentLengthText = 32;

}  // namespace tovarin
