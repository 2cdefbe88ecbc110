// A device volume in a temporary directory, and the files in it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "temp_dir.h"

// A volume of its own that holds only so many bytes: a tmpfs (needs root).
struct SmallVolume {
  size_t bytes;
};

// A root directory holding iPod_Control/iTunes.
class DeviceTree {
 public:
  DeviceTree();
  // With the root deeper down: at <temporary>/<folders>/volume, as a player
  // reached through a mount folder deep in another volume.
  explicit DeviceTree(const std::string& folders);
  // On a small volume mounted at the root; mounted() tells whether that
  // worked, and why_not why it did not.
  explicit DeviceTree(SmallVolume volume);
  ~DeviceTree();
  DeviceTree(const DeviceTree&) = delete;
  DeviceTree& operator=(const DeviceTree&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& why_not() const { return why_not_; }

  const fs::path& root() const { return root_; }
  fs::path itunes() const { return root_ / "iPod_Control" / "iTunes"; }
  fs::path database() const { return itunes() / "iTunesSD"; }
  // Creates the file (and its directories) at a path relative to the root.
  void add_file(const std::string& relative, const std::string& content = "") const;
  void add_dir(const std::string& relative) const;

 private:
  TempDir dir_;
  fs::path root_;
  bool mounted_ = false;
  std::string why_not_;
};

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& content);
bool path_exists(const fs::path& path);

// What a used player holds besides its tracks, as the fault tests and the
// sweep start from it.
enum class Scenario {
  kOldDatabase,  // an old database (header and one entry) and its three companions
  kLeftOver,  // and an iTunesSD.tmp a killed run left: the database's bytes, in storage of its own
  kLaterPlayer,  // the old database is a 3rd or 4th generation player's, which is never replaced
  kNoDatabase,   // the companions, but no old database
};
inline constexpr Scenario kScenarios[] = {Scenario::kOldDatabase, Scenario::kLeftOver,
                                          Scenario::kLaterPlayer, Scenario::kNoDatabase};
const char* describe(Scenario scenario);

// The left-over temporary file's name, and what database() gives for a
// database that is not there.
inline const std::string kTemp = "iTunesSD.tmp";
inline const std::string kNoFile = "<none>";

// A used player: the scenario's files and the tracks (paths below the root).
struct Player {
  DeviceTree tree;
  Scenario scenario;
  std::string old_db;  // kNoFile when there is none

  explicit Player(Scenario scenario = Scenario::kOldDatabase,
                  const std::vector<std::string>& tracks = {"a.mp3"});
  // On a small volume (see DeviceTree), without tracks.
  explicit Player(SmallVolume volume);

  void fill(const std::vector<std::string>& tracks);
  // The database's bytes, or kNoFile.
  std::string database() const;
  // The old database and the companions kept, and no iTunesSD.tmp unless
  // leftover_stays.
  void expect_untouched(bool leftover_stays = false) const;
  // After a run over a volume that holds only /a.mp3: the old header and
  // entry as templates, the count and the one entry filled in.
  void expect_rebuilt() const;
};
