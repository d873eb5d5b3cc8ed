#pragma once
// The arguments of tovarin-crawl: `tovarin-crawl [--] ADDRESS [DEPTH]`.

#include <string>
#include <string_view>
#include <vector>

namespace tovarin::crawl_tool {

// The depth text used when none is given, as the window starts with it.
inline constexpr std::string_view kDefaultDepth = "2";

struct CommandLine {
  enum class Action { crawl, help, usage_error };
  Action action = Action::usage_error;
  // UTF-8, as the terminal passed them.
  std::string address;
  std::string depth{kDefaultDepth};
  // What was wrong, for a usage error.
  std::string error;
};

// Reads the arguments after the program name. "-h"/"--help" asks for help;
// "--" ends the options; an argument of "-" followed by a digit (a negative
// depth) is not an option; any other argument starting with "-" before "--"
// is an unknown option.
CommandLine parse_command_line(const std::vector<std::string>& args);

// The usage text, ending in a line feed.
std::string usage_text(std::string_view program);

}  // namespace tovarin::crawl_tool
