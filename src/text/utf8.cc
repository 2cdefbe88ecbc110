#include "text/utf8.h"

namespace {

bool is_continuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// The code point of the valid sequence that begins at bytes[0], and its
// length in *length; 0 in *length when no valid sequence begins there.
uint32_t decode_sequence(std::string_view bytes, int* length) {
  *length = 0;
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  int size = 0;
  uint32_t code = 0;
  // The allowed range of the second byte.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) {
    *length = 1;
    return lead;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    code = lead & 0x0F;
    if (lead == 0xE0)
      low = 0xA0;  // overlong
    if (lead == 0xED)
      high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    code = lead & 0x07;
    if (lead == 0xF0)
      low = 0x90;  // overlong
    if (lead == 0xF4)
      high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (bytes.size() < static_cast<size_t>(size) || byte(1) < low || byte(1) > high)
    return 0;
  for (int i = 1; i < size; ++i) {
    if (!is_continuation(byte(i)))
      return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  *length = size;
  return code;
}

}  // namespace

char32_t take_code_point(std::string_view* bytes) {
  int length = 0;
  const uint32_t code = decode_sequence(*bytes, &length);
  if (length == 0) {
    const auto byte = static_cast<unsigned char>(bytes->front());
    bytes->remove_prefix(1);
    return byte;
  }
  bytes->remove_prefix(static_cast<size_t>(length));
  return code;
}

int append_utf16(char32_t code, uint16_t* units, int count, int max_units) {
  if (code <= 0xFFFF) {
    if (count >= max_units)
      return -1;
    units[count] = static_cast<uint16_t>(code);
    return count + 1;
  }
  if (count + 2 > max_units)
    return -1;
  units[count] = static_cast<uint16_t>(0xD800 + ((code - 0x10000) >> 10));
  units[count + 1] = static_cast<uint16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
  return count + 2;
}

namespace {

// Decodes path with take into at most max_units units; a character that
// does not fit ends it whole.
template <char32_t (*take)(std::string_view*)>
int decode_to_units(std::string_view path, uint16_t* units, int max_units) {
  int count = 0;
  while (!path.empty()) {
    const int appended = append_utf16(take(&path), units, count, max_units);
    if (appended < 0)
      break;
    count = appended;
  }
  return count;
}

}  // namespace

int utf8_to_units(std::string_view path, uint16_t* units, int max_units) {
  return decode_to_units<take_code_point>(path, units, max_units);
}

namespace {

bool is_encoded_surrogate(std::string_view bytes) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  return bytes.size() >= 3 && byte(0) == 0xED && byte(1) >= 0xA0 && byte(1) <= 0xBF &&
         is_continuation(byte(2));
}

}  // namespace

char32_t take_name_code_point(std::string_view* bytes) {
  if (!is_encoded_surrogate(*bytes))
    return take_code_point(bytes);
  const auto byte = [&](size_t i) { return static_cast<unsigned char>((*bytes)[i]); };
  const char32_t code = 0xD000 | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
  bytes->remove_prefix(3);
  return code;
}

namespace {

// Hands each byte of units' 8-bit form to put.
template <typename Put>
void encode_name(std::u16string_view units, Put put) {
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t code = units[i];
    const bool pair = code >= 0xD800 && code <= 0xDBFF && i + 1 < units.size() &&
                      units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
    if (pair)
      code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
    if (code < 0x80) {
      put(static_cast<char>(code));
    } else if (code < 0x800) {
      put(static_cast<char>(0xC0 | (code >> 6)));
      put(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {  // a lone surrogate too
      put(static_cast<char>(0xE0 | (code >> 12)));
      put(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      put(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      put(static_cast<char>(0xF0 | (code >> 18)));
      put(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      put(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      put(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
}

}  // namespace

std::string utf16_to_name(std::u16string_view units) {
  std::string bytes;
  bytes.reserve(units.size() * 3);
  encode_name(units, [&](char byte) { bytes += byte; });
  return bytes;
}

int utf16_to_name_in(std::u16string_view units, char* out, size_t size) {
  size_t length = 0;
  bool fits = size > 0;
  encode_name(units, [&](char byte) {
    if (length + 1 < size)
      out[length++] = byte;
    else
      fits = false;
  });
  if (!fits)
    return -1;
  out[length] = '\0';
  return static_cast<int>(length);
}

std::u16string name_to_utf16(std::string_view bytes) {
  std::u16string units;
  units.reserve(bytes.size());
  while (!bytes.empty()) {
    const char32_t code = take_name_code_point(&bytes);
    if (code <= 0xFFFF) {
      units += static_cast<char16_t>(code);
    } else {
      units += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    }
  }
  return units;
}

int name_to_units(std::string_view path, uint16_t* units, int max_units) {
  return decode_to_units<take_name_code_point>(path, units, max_units);
}
