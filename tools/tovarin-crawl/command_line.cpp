#include "tools/tovarin-crawl/command_line.h"

namespace tovarin::crawl_tool {

namespace {

bool looks_like_option(const std::string& arg) {
  if (arg.size() < 2 || arg[0] != '-') return false;
  return !(arg[1] >= '0' && arg[1] <= '9');
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args) {
  CommandLine result;
  std::vector<const std::string*> operands;
  bool options_ended = false;
  for (const std::string& arg : args) {
    if (!options_ended && looks_like_option(arg)) {
      if (arg == "--") {
        options_ended = true;
      } else if (arg == "-h" || arg == "--help") {
        result.action = CommandLine::Action::help;
        return result;
      } else {
        result.error = "unknown option '" + arg + "'";
        return result;
      }
    } else {
      operands.push_back(&arg);
    }
  }
  if (operands.empty()) {
    result.error = "missing start address";
    return result;
  }
  if (operands.size() > 2) {
    result.error = "too many arguments (expected ADDRESS and at most one DEPTH)";
    return result;
  }
  result.address = *operands[0];
  if (operands.size() == 2) result.depth = *operands[1];
  result.action = CommandLine::Action::crawl;
  return result;
}

std::string usage_text(std::string_view program) {
  std::string p(program);
  return "Usage: " + p + " [--] ADDRESS [DEPTH]\n"
         "Crawls the web from ADDRESS, depth first, down to DEPTH links (default " +
         std::string(kDefaultDepth) +
         "),\n"
         "and prints every listed address on standard output, one per line.\n"
         "At the end standard error gets the counters: 有效：(listed) 总共：(visits).\n"
         "\n"
         "  -h, --help  show this help and exit\n"
         "  --          end of options (for an address that starts with '-')\n"
         "\n"
         "A negative DEPTH such as -1 may be given directly. Ctrl-C stops the crawl;\n"
         "the counters are printed and the exit status is 130.\n"
         "Exit status: 0 after a finished crawl, 2 on a usage error, 130 when interrupted.\n";
}

}  // namespace tovarin::crawl_tool
