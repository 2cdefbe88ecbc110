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
  if (format_text(failure_text.data(), failure_text.size(), "%s: %s", step, std::strerror(error)) <
      0)
    format_text(failure_text.data(), failure_text.size(), "%s", step);  // the reason was too long
}

const char* read_failure() {
  return failure_text.data();
}

bool failure_touched_database() {
  return failed_step == kReplacingStep;
}
