#include "engine/encoding.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace tovarin {
namespace {

// One iconv descriptor for one direction, closed when the converter goes.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts `in`; at an input byte that cannot be converted, appends
  // `replacement`, skips `skip(in)` bytes and carries on.
  template <typename Skip>
  std::string run(std::string_view in, std::string_view replacement, Skip skip) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    out.reserve(in.size() * 2 + 16);
    char* src = const_cast<char*>(in.data());
    std::size_t src_left = in.size();
    char buffer[4096];
    while (src_left > 0) {
      char* dst = buffer;
      std::size_t dst_left = sizeof buffer;
      std::size_t rc = iconv(cd_, &src, &src_left, &dst, &dst_left);
      out.append(buffer, static_cast<std::size_t>(dst - buffer));
      if (rc != static_cast<std::size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a sequence cut off at the end): replace and go on.
      out.append(replacement);
      std::size_t n = skip(std::string_view(src, src_left));
      src += n;
      src_left -= n;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
  }

 private:
  iconv_t cd_;
};

// Length of the UTF-8 sequence that starts `rest`, at least 1.
std::size_t utf8_sequence_length(std::string_view rest) {
  auto lead = static_cast<unsigned char>(rest[0]);
  std::size_t n = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  std::size_t i = 1;
  while (i < n && i < rest.size() && (static_cast<unsigned char>(rest[i]) & 0xC0) == 0x80) ++i;
  return i;
}

}  // namespace

Text utf8_to_gbk(std::string_view utf8) {
  thread_local Converter converter("CP936", "UTF-8");
  std::string out = converter.run(utf8, "?", utf8_sequence_length);
  std::erase(out, '\0');
  return out;
}

std::string gbk_to_utf8(std::string_view gbk) {
  thread_local Converter converter("UTF-8", "CP936");
  return converter.run(gbk, "\xEF\xBF\xBD", [](std::string_view) { return std::size_t{1}; });
}

}  // namespace tovarin
