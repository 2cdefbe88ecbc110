// Any bytes as an old database: the header and the first entry are taken
// over exactly when their length fields agree with the layout, and are
// otherwise rebuilt to the fixed constants.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "database/database.h"
#include "fuzz_check.h"

namespace {

const uint8_t kRebuiltHeader[18] = {0, 0, 0, 0x01, 0x06, 0, 0, 0, 0x12};

bool is_rebuilt_entry() {
  for (size_t i = 0; i < entry_header.size(); ++i) {
    uint8_t expected = 0;
    switch (i) {
      case 1:
        expected = 0x02;
        break;
      case 2:
        expected = 0x2E;
        break;
      case 3:
        expected = 0x5A;
        break;
      case 4:
        expected = 0xA5;
        break;
      case 5:
        expected = 0x01;
        break;
      case 26:
        expected = 0x64;
        break;
      case 29:
        expected = 0x01;
        break;
      case 31:
        expected = 0x02;
        break;
      default:
        break;
    }
    if (entry_header[i] != expected)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The two lines it prints are not what is checked here.
  return std::freopen("/dev/null", "w", stdout) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Leave last run's bytes behind, so a template not written shows.
  file_header.fill(0xEE);
  entry_header.fill(0xEE);
  const Templates taken = take_templates({reinterpret_cast<const char*>(data), size});

  const bool header_ok = size >= 18 && data[6] == 0x00 && data[7] == 0x00 && data[8] == 0x12;
  const bool entry_ok =
      header_ok && size >= 576 && data[18] == 0x00 && data[19] == 0x02 && data[20] == 0x2E;
  check(taken == (entry_ok    ? Templates::kHeaderAndEntryTaken
                  : header_ok ? Templates::kHeaderTaken
                              : Templates::kRebuilt));
  check(std::memcmp(file_header.data(), header_ok ? data : kRebuiltHeader, 18) == 0);
  if (entry_ok) {
    // The old first entry, but for one track's start, stop and volume.
    const uint8_t neutral[21] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x64};
    check(std::memcmp(entry_header.data(), data + 18, 6) == 0);
    check(std::memcmp(entry_header.data() + 6, neutral, 21) == 0);
    check(std::memcmp(entry_header.data() + 27, data + 18 + 27, 558 - 27) == 0);
  } else
    check(is_rebuilt_entry());
  return 0;
}
