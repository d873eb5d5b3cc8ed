#pragma once
// The one conversion point between the program's GBK texts and Unicode
// (UTF-8), used only at the edges: the window's controls, the clipboard and
// the terminal. Backed by glibc iconv (code page 936).

#include <string>
#include <string_view>

#include "engine/text.h"

namespace tovarin {

// UTF-8 to GBK. A character that GBK cannot hold becomes "?", an invalid
// UTF-8 byte becomes "?", and zero bytes are dropped, so the result is always
// a valid Text.
Text utf8_to_gbk(std::string_view utf8);

// GBK to UTF-8. A byte sequence that is not valid GBK becomes U+FFFD, one per
// offending byte, so nothing is lost silently and the result is valid UTF-8.
std::string gbk_to_utf8(std::string_view gbk);

}  // namespace tovarin
