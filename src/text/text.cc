#include "text/text.h"

#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "text/utf8.h"

namespace {

unsigned char fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

}  // namespace

int compare_ignoring_case(const char* a, const char* b) {
  const auto* x = reinterpret_cast<const unsigned char*>(a);
  const auto* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    const int diff = fold(*x) - fold(*y);
    if (diff != 0 || *x == 0)
      return diff;
  }
}

void print_name(const char* name) {
  std::string_view rest = name;
  const char* run = name;
  while (!rest.empty()) {
    const char* at = rest.data();
    // A C1 control (U+0080..U+009F) steers a terminal as well as a C0 one,
    // and so does a lone byte 0x80..0x9F on one that reads 8-bit controls.
    // So is a lone surrogate of a Windows name: no terminal can show it.
    const char32_t code = take_name_code_point(&rest);
    if (code >= 0x20 && code != 0x7F && !(code >= 0x80 && code <= 0x9F) &&
        !(code >= 0xD800 && code <= 0xDFFF))
      continue;
    std::fwrite(run, 1, static_cast<size_t>(at - run), stdout);
    std::fputc('?', stdout);
    run = rest.data();
  }
  std::fwrite(run, 1, static_cast<size_t>(rest.data() - run), stdout);
}

int format_text(char* out, size_t size, const char* format, ...) {
  if (size == 0)
    return -1;
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(out, size, format, args);
  va_end(args);
  if (length < 0 || static_cast<size_t>(length) >= size) {
    out[size - 1] = '\0';
    return -1;
  }
  return length;
}
