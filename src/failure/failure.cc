#include "failure/failure.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "text/text.h"

namespace {

std::array<char, 160> failure_text;
Changed failure_left = Changed::kNothing;
int failure_error = 0;
bool damage_found = false;
bool could_not_tell = false;
bool refused = false;
int noted_error = 0;
unsigned long noted_code = 0;

#ifdef EUCLEAN
constexpr int kDamageFound = EUCLEAN;  // "Structure needs cleaning"
#else
constexpr int kDamageFound = EIO;
#endif

}  // namespace

void record_failure(const char* step, int error, Changed changed) {
  failure_left = changed;
  failure_error = error;
  damage_found = false;
  could_not_tell = false;
  refused = false;
  const unsigned long code = error == noted_error ? noted_code : 0;
  noted_code = 0;
  if (code != 0 && format_text(failure_text.data(), failure_text.size(),
                               "%s: %s (Windows error %lu)", step, std::strerror(error), code) >= 0)
    return;
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

Changed failure_changed() {
  return failure_left;
}

bool is_damage_error(int error) {
#ifdef EUCLEAN
  // Linux's FAT driver reports a corrupted volume with EUCLEAN.
  if (error == EUCLEAN)
    return true;
#endif
  return error == EIO || error == EROFS;
}

bool is_process_shortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM;
}

bool is_device_or_process_failure(int error) {
  return (is_damage_error(error) && error != EROFS) || is_process_shortage(error);
}

bool is_refusal(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == EISDIR ||
         error == ENOTDIR || error == ENOTEMPTY || error == EEXIST || error == EBUSY ||
         error == ELOOP || error == ETXTBSY;
}

bool may_not_browse(int error) {
  return error == EACCES || error == EPERM || error == ELOOP || error == ENOTDIR ||
         error == ENAMETOOLONG;
}

bool failure_is_damage() {
  return is_damage_error(failure_error);
}

bool failure_is_read_only() {
  return failure_error == EROFS;
}

void record_damage_found(const char* step) {
  record_failure(step, kDamageFound);
  damage_found = true;
}

bool failure_found_damage() {
  return damage_found;
}

void record_cannot_tell(const char* step) {
  record_failure(step, ENOTSUP);
  // Not every C runtime has a text for ENOTSUP.
  if (format_text(failure_text.data(), failure_text.size(), "%s: %s", step,
                  "this system cannot look") < 0)
    failure_text.back() = '\0';
  could_not_tell = true;
}

bool failure_could_not_tell() {
  return could_not_tell;
}

void record_maybe_refused(const char* step, int error) {
  record_failure(step, error);
  refused = error == EACCES || error == EPERM;
}

bool failure_was_refused() {
  return refused;
}

void note_system_code(int error, unsigned long code) {
  noted_error = error;
  noted_code = code;
}
