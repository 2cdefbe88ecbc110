#include "support/text.h"

#include <cstdarg>
#include <cstdio>

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
  const char* run = name;
  for (const char* at = name;; ++at) {
    const auto c = static_cast<unsigned char>(*at);
    if (c != 0 && c >= 0x20 && c != 0x7F)
      continue;
    std::fwrite(run, 1, static_cast<size_t>(at - run), stdout);
    if (c == 0)
      return;
    std::fputc('?', stdout);
    run = at + 1;
  }
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
