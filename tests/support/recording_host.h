#pragma once
// A CrawlHost that records every call the engine makes on it, in order, as
// short lines ("add http://x", "valid 1", "total 2", "pump", ...), so tests
// can compare the whole conversation with the one expected.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/crawl_host.h"

namespace tovarin::test {

class RecordingHost : public CrawlHost {
 public:
  RecordingHost(Text start_address, Text depth_text)
      : start_address_(std::move(start_address)), depth_text_(std::move(depth_text)) {}

  void clear_results() override { calls.push_back("clear"); listed.clear(); }
  void add_result(const Text& address) override {
    calls.push_back("add " + address);
    listed.push_back(address);
  }
  void show_valid_count(std::int32_t n) override { calls.push_back("valid " + std::to_string(n)); }
  void show_total_count(std::int32_t n) override { calls.push_back("total " + std::to_string(n)); }
  bool pump_events() override {
    calls.push_back("pump");
    ++pumps;
    return on_pump ? on_pump() : true;
  }
  void set_start_enabled(bool on) override { calls.push_back(on ? "enable" : "disable"); }
  Text read_start_address() override {
    calls.push_back("read address");
    return start_address_;
  }
  Text read_depth_text() override {
    calls.push_back("read depth");
    return depth_text_;
  }

  // The calls without the pumps, for tests that look at what was shown.
  std::vector<std::string> shown() const {
    std::vector<std::string> out;
    for (const auto& c : calls)
      if (c != "pump") out.push_back(c);
    return out;
  }

  std::vector<std::string> calls;
  std::vector<Text> listed;
  int pumps = 0;
  // Called at every pump; returning false reports the host gone.
  std::function<bool()> on_pump;

 private:
  Text start_address_;
  Text depth_text_;
};

}  // namespace tovarin::test
