#include "device_tree.h"

#ifdef __linux__
#include <sys/mount.h>
#endif

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "database_reader.h"

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

const char* describe(Scenario scenario) {
  switch (scenario) {
    case Scenario::kOldDatabase:
      return "an old database and its companions";
    case Scenario::kLeftOver:
      return "the same and a left-over iTunesSD.tmp";
    case Scenario::kLaterPlayer:
      return "a later player's database";
    case Scenario::kNoDatabase:
      return "no old database";
  }
  return "?";
}

Player::Player(Scenario scenario, const std::vector<std::string>& tracks) : scenario(scenario) {
  fill(tracks);
}

Player::Player(SmallVolume volume) : tree(volume), scenario(Scenario::kOldDatabase) {
  if (tree.mounted())
    fill({});
}

void Player::fill(const std::vector<std::string>& tracks) {
  old_db = old_database();
  if (scenario == Scenario::kLaterPlayer)
    old_db = "bdhs" + old_db;
  else if (scenario == Scenario::kLeftOver)
    old_db = first_entry_naming(old_db, "/a.mp3");  // the storage check has a byte to use
  if (scenario == Scenario::kNoDatabase)
    old_db = kNoFile;
  else
    write_file(tree.database(), old_db);
  for (const auto& name : kCompanions)
    write_file(tree.itunes() / name, name);
  for (const std::string& track : tracks)
    tree.add_file(track);
  if (scenario == Scenario::kLeftOver)
    write_file(tree.itunes() / kTemp, old_db);
}

std::string Player::database() const {
  return path_exists(tree.database()) ? read_file(tree.database()) : kNoFile;
}

void Player::expect_untouched(bool leftover_stays) const {
  EXPECT_TRUE(database() == old_db) << "the old database is not kept";
  for (const auto& name : kCompanions)
    EXPECT_EQ(read_file(tree.itunes() / name), name) << name << " is kept";
  EXPECT_EQ(path_exists(tree.itunes() / kTemp), leftover_stays);
}

void Player::expect_rebuilt() const {
  const std::string name = std::string(
                               "\0/\0a\0.\0m\0p\0"
                               "3",
                               13) +
                           std::string(510, '\0') + std::string("\x01\0\0", 3);
  // The entry's template: the old database's, or one made from scratch
  // when it held no entry.
  const std::string fields =
      old_db.size() >= 18 + 558
          ? std::string(3, '\x09') + std::string(20, '\0') + "\x64\x09\x09\x01\x09\x09"
          : std::string("\x5A\xA5\x01", 3) + std::string(20, '\0') +
                std::string("\x64\0\0\x01\0\x02", 6);
  const std::string entry = std::string("\x00\x02\x2E", 3) + fields + name;
  std::string header = old_db.substr(0, 18);
  header[2] = 1;  // the one track found
  EXPECT_TRUE(database() == header + entry) << "the new database is not in place";
  for (const auto& name : kCompanions)
    EXPECT_FALSE(path_exists(tree.itunes() / name)) << name << " is reset";
  EXPECT_FALSE(path_exists(tree.itunes() / kTemp)) << "no temporary file is left";
}
