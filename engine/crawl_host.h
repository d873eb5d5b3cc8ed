#pragma once
// The interface through which the crawl engine drives its front end: the
// window, or the terminal for tovarin-crawl.

#include <cstdint>

#include "engine/text.h"

namespace tovarin {

class CrawlHost {
 public:
  virtual ~CrawlHost() = default;

  // Removes every listed entry; afterwards nothing is selected.
  virtual void clear_results() = 0;
  // Appends `address` as the new last entry and selects it.
  virtual void add_result(const Text& address) = 0;
  // Shows the number of entries listed ("有效：").
  virtual void show_valid_count(std::int32_t n) = 0;
  // Shows the number of visits made ("总共：").
  virtual void show_total_count(std::int32_t n) = 0;
  // Handles every pending event without waiting and leaves a quit request
  // queued. Returns false once the host has gone (its window was closed, the
  // user interrupted the terminal): the crawl then stops at once and calls
  // nothing more on the host.
  virtual bool pump_events() = 0;
  // Enables or greys out the start button.
  virtual void set_start_enabled(bool on) = 0;
  // The start address as typed, untrimmed; empty when there is none.
  virtual Text read_start_address() = 0;
  // The depth text as typed.
  virtual Text read_depth_text() = 0;
};

}  // namespace tovarin
