// Table-driven tests: each case carries a name, used in test names and in
// failure messages.
#pragma once

#include <ostream>
#include <string>

// Found by argument-dependent lookup for the cases in each test file's
// unnamed namespace, which this header's unnamed namespace joins.
namespace {

template <typename Case>
requires requires(const Case& c) {
  c.name;
}
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// The name generator for INSTANTIATE_TEST_SUITE_P.
struct NameOfCase {
  template <typename Info>
  std::string operator()(const Info& info) const {
    return info.param.name;
  }
};

}  // namespace
