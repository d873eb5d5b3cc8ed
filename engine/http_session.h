#pragma once
// The process-wide HTTP client session: libcurl set up once and one easy
// handle shared by every fetch of the run. Opened by the first fetch that
// needs it, opened again by the next fetch if opening failed, and closed at
// the program's orderly end.

#include <atomic>

namespace tovarin {

inline constexpr const char* kUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";

class HttpSession {
 public:
  static HttpSession& instance();

  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // The libcurl easy handle (a CURL*), opening the session first if needed;
  // nullptr when it cannot be opened.
  void* handle();
  bool is_open() const { return handle_ != nullptr; }
  // Closes the client session; a later fetch opens a new one.
  void close();

  // While *flag is true, a running fetch ends at its next progress check
  // (about once a second) with what it has read. nullptr turns it off.
  void set_cancel_flag(const std::atomic<bool>* flag) { cancel_flag_ = flag; }
  bool cancelled() const { return cancel_flag_ != nullptr && cancel_flag_->load(); }

 private:
  HttpSession() = default;
  ~HttpSession();

  void* handle_ = nullptr;
  bool global_ready_ = false;
  const std::atomic<bool>* cancel_flag_ = nullptr;
};

}  // namespace tovarin
