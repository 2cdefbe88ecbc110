// make_volume tree|flat|deep ROOT [FILES]: writes a synthetic device volume
// and prints how many playable files it holds.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "synthetic_volume.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: make_volume tree|flat|deep ROOT [FILES]\n");
    return 2;
  }
  const std::string shape = argv[1];
  const int files = argc > 3 ? std::atoi(argv[3]) : 0;
  int playable = -1;
  if (shape == "tree")
    playable = make_tree_volume(argv[2], files);
  else if (shape == "flat")
    playable = make_flat_volume(argv[2], files);
  else if (shape == "deep")
    playable = make_deep_volume(argv[2]);
  if (playable < 0) {
    std::fprintf(stderr, "unknown shape: %s\n", shape.c_str());
    return 2;
  }
  std::printf("%d\n", playable);
  return 0;
}
