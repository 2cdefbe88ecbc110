// The walk: which files become entries, in which order, and what it prints.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cases.h"
#include "database_reader.h"
#include "device_tree.h"
#include "run_program.h"
#include "transcript.h"

namespace {

const std::string kEmptyRoot = lines({"/iPod_Control: 0 files", "/iPod_Control/iTunes: 0 files"});

std::vector<std::u16string> names_in(const DeviceTree& tree) {
  return entry_names(read_file(tree.database()));
}

TEST(Walk, DirectoriesFirstThenFilesDepthFirst) {
  DeviceTree tree;
  tree.add_file("Music/b.MP3");
  tree.add_file("Music/A.mp3");
  tree.add_file("Music/Live/x.wav");
  tree.add_file("intro.mp3");
  const RunResult run = run_tarnwick(tree.root());
  EXPECT_EQ(run.output,
            banner_and_templates() +
                lines({"/: 1 files", "/iPod_Control: 0 files", "/iPod_Control/iTunes: 0 files",
                       "/Music: 2 files", "/Music/Live: 1 files"}) +
                closing(4));
  EXPECT_EQ(names_in(tree), (std::vector<std::u16string>{u"/Music/Live/x.wav", u"/Music/A.mp3",
                                                         u"/Music/b.MP3", u"/intro.mp3"}));
}

struct OrderCase {
  const char* name;
  std::vector<std::string> files;  // created below the root, in this order
  std::vector<std::u16string> entries;
  std::string progress;  // lines after "/: N files"
  int root_files;
  bool posix_only = false;  // names Windows cannot hold
  // The same files as the Mac's FAT driver lists them; the program built to
  // walk the Mac's way must write what the plain build writes for files.
  std::vector<std::string> mac_files = {};
  std::string shell = "";     // a script that runs the program as "$@", as root
  bool raw_controls = false;  // names the Mac's driver would store otherwise
};

class WalkOrder : public testing::TestWithParam<OrderCase> {};

std::string repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i)
    all += text;
  return all;
}

// Paths of 60 and 30 "é": 277 bytes as the Mac lists them, 187 as stored.
const std::string kComposedE60 = repeated("\xC3\xA9", 60);
const std::string kComposedE30 = repeated("\xC3\xA9", 30);
const std::string kDecomposedE60 = repeated("e\xCC\x81", 60);
const std::string kDecomposedE30 = repeated("e\xCC\x81", 30);

TEST_P(WalkOrder, EntriesAndProgressLines) {
  const OrderCase& c = GetParam();
  if (c.posix_only)
    SKIP_FOR_WINDOWS_BUILD("Windows names cannot hold control characters");
  if (!c.shell.empty()) {
    SKIP_FOR_WINDOWS_BUILD("mounts are a Linux case");
    if (geteuid() != 0 || run_command({"unshare", "-m", "true"}, 20).status != 0) {
      if (in_ci())
        FAIL() << "under CI=true this case must run: it needs root and unshare -m";
      GTEST_SKIP() << "needs root and unshare to mount inside the tree";
    }
  }
#ifdef TARNWICK_MAC_NAMES
  const bool as_mac_lists = !c.mac_files.empty();
  if (c.raw_controls)
    GTEST_SKIP() << "the Mac's driver stores control characters as private-use units";
#else
  const bool as_mac_lists = false;
#endif
  DeviceTree tree;
  try {
    for (const auto& file : as_mac_lists ? c.mac_files : c.files) {
      if (file.ends_with("/"))
        tree.add_dir(file);
      else
        tree.add_file(file);
    }
  } catch (const std::exception& refused) {
    SKIP_WHERE_NAMES_MUST_BE_UTF8(refused);
  }
  const RunResult run = run_tarnwick(tree.root(), {.shell = c.shell});
  EXPECT_EQ(run.output, banner_and_templates() +
                            lines({"/: " + std::to_string(c.root_files) + " files"}) + c.progress +
                            closing(static_cast<int>(c.entries.size())));
  EXPECT_EQ(names_in(tree), c.entries);
  EXPECT_EQ(run.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WalkOrder,
    testing::Values(
        OrderCase{"case_insensitive",
                  {"b.mp3", "A.mp3", "c.MP3"},
                  {u"/A.mp3", u"/b.mp3", u"/c.MP3"},
                  kEmptyRoot,
                  3},
        OrderCase{"directory_before_file_beside_it",
                  {"a.mp3", "zzz/z.mp3", "zzz/a.m4a"},
                  {u"/zzz/a.m4a", u"/zzz/z.mp3", u"/a.mp3"},
                  kEmptyRoot + lines({"/zzz: 2 files"}),
                  1},
        OrderCase{"underscore_before_letters",
                  {"aab.mp3", "a_b.mp3", "aZ.mp3"},
                  {u"/a_b.mp3", u"/aab.mp3", u"/aZ.mp3"},
                  kEmptyRoot,
                  3},
        OrderCase{"same_but_for_case_in_byte_order",
                  {"song.mp3", "SONG.mp3", "Song.mp3"},
                  {u"/SONG.mp3", u"/Song.mp3", u"/song.mp3"},
                  kEmptyRoot,
                  3},
        OrderCase{"hidden_names_skipped",
                  {"._song.mp3", ".hidden.mp3", ".trash/a.mp3", "a/.b/c.mp3", "ok.mp3"},
                  {u"/ok.mp3"},
                  lines({"/a: 0 files"}) + kEmptyRoot,
                  1},
        OrderCase{"directory_named_like_music",
                  {"live.mp3/", "live.mp3/in.aa"},
                  {u"/live.mp3/in.aa"},
                  kEmptyRoot + lines({"/live.mp3: 1 files"}),
                  0},
        OrderCase{"playable_extensions_only",
                  {"SONG.WAV", "clip.M4P", "notes.txt", "README", "file.mp3x", "x.mp", "b.m4b",
                   "t.Aa", "m.m4a", "noext.", "v.mp4"},
                  {u"/b.m4b", u"/clip.M4P", u"/m.m4a", u"/SONG.WAV", u"/t.Aa"},
                  kEmptyRoot,
                  5},
        OrderCase{"recycle_bins_at_the_root_passed_over",
                  {"$RECYCLE.BIN/$R1A2B3C.mp3", "$Recycle.Bin/x.mp3", "recycler/a.mp3",
                   "Recycled/b.mp3", "Music/RECYCLER/c.mp3", "RECYCLED.mp3"},
                  {u"/Music/RECYCLER/c.mp3", u"/RECYCLED.mp3"},
                  kEmptyRoot + lines({"/Music: 0 files", "/Music/RECYCLER: 1 files"}),
                  1},
        OrderCase{"control_characters_printed_as_question_marks",
                  {"a\x1b]0;pwned\x07\x7f/b\nc.mp3"},
                  {u"/a\x1b]0;pwned\x07\x7f/b\nc.mp3"},
                  lines({"/a?]0;pwned??: 1 files"}) + kEmptyRoot,
                  0,
                  true,
                  {},
                  "",
                  true},
        OrderCase{"c1_controls_printed_as_question_marks",
                  {"\xC2\x9B"
                   "2J/\x9D"
                   "0;t\xC2\x9C.mp3",
                   "\xC3\x80.mp3"},
                  {u"/\u009B"
                   "2J/\u009D"
                   "0;t\u009C.mp3",
                   u"/\u00C0.mp3"},
                  kEmptyRoot + lines({"/?2J: 1 files"}),
                  1,
                  true},
        OrderCase{
            "folder_mounted_inside_itself",
            {"a/x.mp3", "a/self/"},
            {u"/a/x.mp3"},
            lines({"/a: 1 files", "/a/self: skipped, a folder that contains itself"}) + kEmptyRoot,
            0,
            true,
            {},
            "unshare -m bash -c 'mount --bind a a/self && exec \"$@\"' sh \"$@\""},
        // Each name as Apple's driver stores it and lists it.
        OrderCase{"mac_composes_only_with_the_character_before",
                  {"\xD8\xA7\xD9\x8E\xD9\x94\xD8\xAF.mp3", "a\xCC\x9B\xCC\x80.mp3",
                   "\xF0\x91\x82\x99\xF0\x91\x82\xBA.mp3", "\xE1\xAC\x85\xE1\xAC\xB5.mp3"},
                  {u"/a\u031B\u0300.mp3", u"/\u0627\u064E\u0654\u062F.mp3", u"/\u1B05\u1B35.mp3",
                   u"/\U00011099\U000110BA.mp3"},
                  kEmptyRoot,
                  4,
                  true,
                  {"\xD8\xA7\xD9\x8E\xD9\x94\xD8\xAF.mp3", "a\xCC\x9B\xCC\x80.mp3",
                   "\xF0\x91\x82\x99\xF0\x91\x82\xBA.mp3", "\xE1\xAC\x85\xE1\xAC\xB5.mp3"}},
        OrderCase{
            "mac_sorts_by_the_stored_form",
            {"Who\xEF\x80\xA5.mp3", "Whom.mp3",
             "\xC3\xA9"
             "a.mp3",
             "f.mp3", "\xEF\x80\xA3\xCC\xB8.mp3"},
            {u"/f.mp3", u"/Whom.mp3", u"/Who\uF025.mp3", u"/\u00E9a.mp3", u"/\uF023\u0338.mp3"},
            kEmptyRoot,
            5,
            true,
            {"Who?.mp3", "Whom.mp3",
             "e\xCC\x81"
             "a.mp3",
             "f.mp3", "<\xCC\xB8.mp3"}},
        OrderCase{
            "mac_path_bound_on_the_stored_form",
            {kComposedE60 + "/" + kComposedE30 + ".mp3"},
            {u"/" + std::u16string(60, u'\u00E9') + u"/" + std::u16string(30, u'\u00E9') + u".mp3"},
            kEmptyRoot + lines({"/" + kComposedE60 + ": 1 files"}),
            0,
            true,
            {kDecomposedE60 + "/" + kDecomposedE30 + ".mp3"}},
        OrderCase{"empty_directories_still_listed",
                  {"empty/", "deep/er/"},
                  {},
                  lines({"/deep: 0 files", "/deep/er: 0 files", "/empty: 0 files"}) + kEmptyRoot,
                  0}),
    NameOfCase());

TEST(Walk, NonAsciiNamesStoredAsUtf16) {
  SKIP_FOR_WINDOWS_BUILD("a name that is not UTF-8 cannot reach Windows as it is");
  DeviceTree tree;
  tree.add_file("caf\xC3\xA9.mp3");
  tree.add_file("\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x98\x80.m4a");
  try {
    tree.add_file("latin\xE9.mp3");  // not UTF-8: one unit per byte
  } catch (const std::exception& refused) {
    SKIP_WHERE_NAMES_MUST_BE_UTF8(refused);
  }
  const RunResult run = run_tarnwick(tree.root());
  EXPECT_EQ(run.output, banner_and_templates() + lines({"/: 2 files"}) + kEmptyRoot +
                            lines({"/\xE6\x97\xA5\xE6\x9C\xAC: 1 files"}) + closing(3));
  EXPECT_EQ(names_in(tree),
            (std::vector<std::u16string>{u"/日本/😀.m4a", u"/café.mp3", u"/latin\u00E9.mp3"}));
}

TEST(Walk, LinksAreNeverFollowed) {
  SKIP_FOR_WINDOWS_BUILD("symbolic links are a POSIX case (wine hides dangling ones)");
  DeviceTree tree;
  tree.add_file("Music/a.mp3");
  fs::create_directory_symlink("..", tree.root() / "Music" / "loop");
  fs::create_directory_symlink("../Music", tree.root() / "Elsewhere");
  fs::create_symlink("a.mp3", tree.root() / "Music" / "b.mp3");
  fs::create_symlink("nowhere.mp3", tree.root() / "Music" / "c.mp3");
  const RunResult run = run_tarnwick(tree.root());
  EXPECT_EQ(run.output, banner_and_templates() + lines({"/: 0 files"}) + kEmptyRoot +
                            lines({"/Music: 3 files"}) + closing(3));
  EXPECT_EQ(names_in(tree),
            (std::vector<std::u16string>{u"/Music/a.mp3", u"/Music/b.mp3", u"/Music/c.mp3"}));
}

TEST(Walk, PathsUpTo255CharactersAndNoLonger) {
  DeviceTree tree;
  // "./" and the name: 255 characters are kept, 256 and more are skipped.
  const std::string kept = std::string(249, 'k') + ".mp3";  // 253
  const std::string one_over = std::string(250, 'o') + ".mp3";
  const std::string longest = std::string(251, 'l') + ".mp3";  // 255, the most a name can be
  const std::string dir = std::string(100, 'd');
  const std::string nested_kept = std::string(148, 'n') + ".wav";  // 2+100+1+152 = 255
  const std::string nested_over = std::string(149, 'N') + ".wav";  // 256
  const std::string long_dir = std::string(200, 'D');              // 2+100+1+200 = 303
  for (const auto& name : {kept, one_over, longest})
    tree.add_file(name);
  tree.add_file(dir + "/" + nested_kept);
  tree.add_file(dir + "/" + nested_over);
  tree.add_file(dir + "/" + long_dir + "/x.mp3");
  tree.add_file(dir + "/" + "notes-with-a-long-name" + std::string(200, 'x') + ".txt");
  const RunResult run = run_tarnwick(tree.root());
  EXPECT_EQ(run.output, banner_and_templates() +
                            lines({"/: 1 files", "Skipped, path too long: /" + longest,
                                   "Skipped, path too long: /" + one_over, "/" + dir + ": 1 files",
                                   "Skipped, path too long: /" + dir + "/" + long_dir,
                                   "Skipped, path too long: /" + dir + "/" + nested_over}) +
                            kEmptyRoot + closing(2));
  const auto names = names_in(tree);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0].size(), 254u);
  EXPECT_EQ(names[0], u"/" + std::u16string(dir.begin(), dir.end()) + u"/" +
                          std::u16string(nested_kept.begin(), nested_kept.end()));
  EXPECT_EQ(names[1], u"/" + std::u16string(kept.begin(), kept.end()));
}

TEST(Walk, UnreadableDirectoryCannotBeBrowsed) {
  SKIP_FOR_WINDOWS_BUILD("the wine prefix cannot be shared with nobody");
  std::string why;
  if (!can_run_as_ordinary_user(&why))
    GTEST_SKIP() << why;
  DeviceTree tree;
  tree.add_file("Locked/inside.mp3");
  tree.add_file("Open/a.mp3");
  give_to_nobody(tree.root());
  fs::permissions(tree.root() / "Locked", fs::perms::none);
  const RunResult run = run_tarnwick(tree.root(), RunOptions{.as_nobody = true});
  EXPECT_EQ(run.output,
            banner_and_templates() +
                lines({"/: 0 files", "/iPod_Control: 0 files", "/iPod_Control/iTunes: 0 files",
                       "/Locked: cannot browse", "/Open: 1 files"}) +
                closing(1));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(names_in(tree), (std::vector<std::u16string>{u"/Open/a.mp3"}));
}

}  // namespace
