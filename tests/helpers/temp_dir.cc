#include "temp_dir.h"

#include <random>
#include <stdexcept>
#include <string>

namespace {

void make_removable(const fs::path& path) {
  std::error_code ignored;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  if (fs::is_directory(fs::symlink_status(path, ignored)))
    for (const auto& entry : fs::directory_iterator(path, ignored))
      make_removable(entry.path());
}

}  // namespace

TempDir::TempDir() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate =
        fs::temp_directory_path() / ("tarnwick-test-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {  // false when it already exists
      path_ = candidate;
#ifndef _WIN32
      fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
#endif
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary directory");
}

TempDir::~TempDir() {
  make_removable(path_);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}
