#include "device_tree.h"

#ifdef __linux__
#include <sys/mount.h>
#endif

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

DeviceTree::DeviceTree() : root_(dir_.path() / "volume") {
  fs::create_directories(itunes());
}

DeviceTree::DeviceTree(const std::string& folders) : root_(dir_.path() / folders / "volume") {
  fs::create_directories(itunes());
}

DeviceTree::DeviceTree(SmallVolume volume) : root_(dir_.path() / "volume") {
  fs::create_directories(root_);
#ifdef __linux__
  const std::string options = "size=" + std::to_string(volume.bytes) + ",mode=0755";
  if (mount("tarnwick-test", root_.c_str(), "tmpfs", 0, options.c_str()) == 0) {
    mounted_ = true;
    fs::create_directories(itunes());
  } else {
    why_not_ = std::string("cannot mount a small tmpfs (needs root): ") + std::strerror(errno);
  }
#else
  (void)volume;
  why_not_ = "a small tmpfs volume is mounted only on Linux";
#endif
}

DeviceTree::~DeviceTree() {
#ifdef __linux__
  if (mounted_)
    umount2(root_.c_str(), MNT_DETACH);
#endif
}

void DeviceTree::add_file(const std::string& relative, const std::string& content) const {
  const fs::path path = root_ / relative;
  fs::create_directories(path.parent_path());
  write_file(path, content);
}

void DeviceTree::add_dir(const std::string& relative) const {
  fs::create_directories(root_ / relative);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out)
    throw std::runtime_error("cannot write " + path.string());
}

bool path_exists(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}
