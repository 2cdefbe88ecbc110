// Any bytes up to 254 long (the longest device path): the name field never
// overruns, never exceeds 261 units, keeps ASCII as it is, and decodes valid
// UTF-8 to the same units as the C library's iconv.
#include <iconv.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "text/utf8.h"

namespace {

constexpr int kUnits = 261;

// iconv's decoding of the whole input, or false when it is not valid UTF-8.
bool reference_decode(const uint8_t* data, size_t size, std::vector<uint16_t>* units) {
  static iconv_t converter = iconv_open("UTF-16LE", "UTF-8");
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  std::vector<char> in(data, data + size);
  std::vector<char> out(size * 4 + 4);
  char* in_at = in.data();
  char* out_at = out.data();
  size_t in_left = size, out_left = out.size();
  if (iconv(converter, &in_at, &in_left, &out_at, &out_left) == static_cast<size_t>(-1))
    return false;
  const size_t bytes = out.size() - out_left;
  units->assign(bytes / 2, 0);
  for (size_t i = 0; i < bytes / 2; ++i)
    (*units)[i] = static_cast<uint16_t>(static_cast<uint8_t>(out[2 * i]) |
                                        static_cast<uint8_t>(out[2 * i + 1]) << 8);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 254)
    return 0;
  // Exactly the field's size on the heap, so that a write past it is caught.
  auto units = std::make_unique<uint16_t[]>(kUnits);
  const int count = utf8_to_units({reinterpret_cast<const char*>(data), size}, units.get(), kUnits);
  check(count >= 0 && count <= kUnits && static_cast<size_t>(count) <= size);

  bool ascii = true;
  for (size_t i = 0; i < size; ++i)
    ascii = ascii && data[i] < 0x80;
  if (ascii) {
    check(static_cast<size_t>(count) == size);
    for (size_t i = 0; i < size; ++i)
      check(units[i] == data[i]);
  }

  std::vector<uint16_t> expected;
  if (reference_decode(data, size, &expected)) {
    check(expected.size() == static_cast<size_t>(count));
    for (size_t i = 0; i < expected.size(); ++i)
      check(expected[i] == units[i]);
  }
  return 0;
}
