#include "support/failure.h"

#include <array>
#include <cstring>

#include "support/text.h"

namespace {

std::array<char, 160> failure_text;
const char* failed_step = nullptr;

}  // namespace

void record_failure(const char* step, int error) {
  failed_step = step;
  if (format_text(failure_text.data(), failure_text.size(), "%s: %s", step, std::strerror(error)) >=
      0)
    return;
  // Too long with the reason: the step alone, cut short if it must be.
  if (format_text(failure_text.data(), failure_text.size(), "%s", step) < 0)
    failure_text.back() = '\0';
}

const char* read_failure() {
  return failure_text.data();
}

bool failure_touched_database() {
  return failed_step == kReplacingStep;
}
