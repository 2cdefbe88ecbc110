#include "synthetic_volume.h"

#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& path) {
  std::ofstream{path};
}

void make_device(const fs::path& root) {
  fs::create_directories(root / "iPod_Control" / "iTunes");
}

std::string padded(int number, int width) {
  std::string text = std::to_string(number);
  return std::string(static_cast<size_t>(width) - std::min<size_t>(text.size(), width), '0') + text;
}

fs::path chain(const fs::path& root, int levels) {
  fs::path path = root;
  for (int i = 0; i < levels; ++i)
    path /= "d";
  return path;
}

}  // namespace

int make_tree_volume(const fs::path& root, int files) {
  constexpr int kPerDirectory = 20;
  constexpr int kBranches = 9;  // 9^4 leaf directories at most
  make_device(root);
  int playable = 0;
  for (int i = 0; i < files; ++i) {
    int leaf = i / kPerDirectory;
    fs::path dir = root;
    for (int level = 0; level < 4; ++level, leaf /= kBranches)
      dir /= "Level" + std::to_string(level) + "-" + std::to_string(leaf % kBranches);
    if (i % kPerDirectory == 0)
      fs::create_directories(dir);
    const bool music = i % 5 != 4;
    touch(dir / ((music ? "Track " : "Notes ") + padded(i, 6) + (music ? ".mp3" : ".txt")));
    playable += music;
  }
  return playable;
}

int make_flat_volume(const fs::path& root, int files) {
  make_device(root);
  fs::create_directories(root / "Flat");
  for (int i = 0; i < files; ++i)
    touch(root / "Flat" / ("Song " + padded(i, 6) + ".m4a"));
  return files;
}

int make_deep_volume(const fs::path& root) {
  make_device(root);
  fs::create_directories(chain(root, kDeepestLevel));
  touch(chain(root, kDeepFileLevel) / "a.mp3");
  touch(chain(root, kDeepFileLevel) / "ab.mp3");
  touch(chain(root, kDeepestLevel) / "x.mp3");
  return 1;
}
