// The walk's sort comparison on any three names: antisymmetric, transitive,
// zero only for equal names, and in agreement with a plain reference: byte
// order after folding A-Z, then raw byte order.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "discovery/scan_directory.h"
#include "fuzz_check.h"

namespace {

int sign(int value) {
  return (value > 0) - (value < 0);
}

int compare(const std::string& a, const std::string& b) {
  const char* x = a.c_str();
  const char* y = b.c_str();
  return sign(compare_tagged_names(&x, &y));
}

int reference(const std::string& a, const std::string& b) {
  std::string x = a, y = b;
  for (std::string* s : {&x, &y})
    for (char& c : *s)
      if (c >= 'A' && c <= 'Z')
        c = static_cast<char>(c - 'A' + 'a');
  if (x != y)
    return sign(x.compare(y));  // std::string compares bytes as unsigned
  return sign(a.compare(b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Three names, separated by zero bytes.
  std::string names[3];
  int which = 0;
  for (size_t i = 0; i < size && which < 3; ++i) {
    if (data[i] == 0)
      ++which;
    else
      names[which].push_back(static_cast<char>(data[i]));
  }
  const auto& [a, b, c] = names;
  for (const auto& [x, y] : {std::pair{a, b}, {b, c}, {a, c}}) {
    check(compare(x, y) == -compare(y, x));
    check((compare(x, y) == 0) == (x == y));
    check(compare(x, y) == reference(x, y));
  }
  if (compare(a, b) <= 0 && compare(b, c) <= 0)
    check(compare(a, c) <= 0);
  if (compare(a, b) >= 0 && compare(b, c) >= 0)
    check(compare(a, c) >= 0);
  return 0;
}
