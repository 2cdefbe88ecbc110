// Table-driven tests: each case carries a name, used in test names and in
// failure messages.
#pragma once

#include <ostream>
#include <string>
#include <type_traits>

// Found by argument-dependent lookup for the cases in each test file's
// unnamed namespace, which this header's unnamed namespace joins.
namespace {

// A table's case: a struct with a member name. (A concept rather than a
// requires clause, which clang-format 14 and 19 lay out differently.)
template <typename Case>
concept NamedCase = std::is_member_object_pointer_v<decltype(&Case::name)>;

template <NamedCase Case>
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
