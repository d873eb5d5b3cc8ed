#include "engine/http_session.h"

#include <curl/curl.h>

#include <mutex>

#include "engine/http_session_testing.h"

namespace tovarin {

HttpSession& HttpSession::instance() {
  static HttpSession session;
  return session;
}

HttpSession::~HttpSession() { close(); }

void* HttpSession::handle() {
  if (handle_ != nullptr) return handle_;
  if (!global_ready_) {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
    global_ready_ = true;
  }
  handle_ = curl_easy_init();
  return handle_;
}

void HttpSession::close() {
  if (handle_ != nullptr) {
    curl_easy_cleanup(static_cast<CURL*>(handle_));
    handle_ = nullptr;
  }
  if (global_ready_) {
    curl_global_cleanup();
    global_ready_ = false;
  }
}

}  // namespace tovarin

namespace tovarin::fetch_testing {
namespace {

std::mutex overrides_mutex;
std::shared_ptr<const FetchOverrides> overrides;

}  // namespace

void set_fetch_overrides(FetchOverrides value) {
  auto fresh = std::make_shared<const FetchOverrides>(std::move(value));
  std::lock_guard lock(overrides_mutex);
  overrides = std::move(fresh);
}

void clear_fetch_overrides() {
  std::lock_guard lock(overrides_mutex);
  overrides.reset();
}

std::shared_ptr<const FetchOverrides> current_fetch_overrides() {
  std::lock_guard lock(overrides_mutex);
  return overrides;
}

}  // namespace tovarin::fetch_testing
