#include "text/file_extension.h"

#include <array>
#include <cstring>

namespace {

std::array<char, 8> ext_buffer;

}  // namespace

const char* file_extension(const char* name) {
  ext_buffer[0] = '\0';
  const char* dot = std::strrchr(name, '.');
  if (!dot)
    return ext_buffer.data();
  const char* tail = dot + 1;
  const size_t length = std::strlen(tail);
  if (length + 1 > ext_buffer.size())
    return ext_buffer.data();
  for (size_t i = 0; i <= length; ++i) {
    const char c = tail[i];
    ext_buffer[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return ext_buffer.data();
}
