#include "fat_image.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <stdexcept>
#include <thread>

namespace {

constexpr int kStepSeconds = 20;  // what any one FUSE or mtools step may take

// The full path of a tool on PATH or in the sbin directories (where
// mkfs.vfat lives, and which PATH may lack), or "" when there is none.
std::string find_tool(const std::string& name) {
  const char* path = std::getenv("PATH");
  const std::string dirs = std::string(path ? path : "") + ":/sbin:/usr/sbin";
  size_t from = 0;
  while (from <= dirs.size()) {
    const size_t to = std::min(dirs.find(':', from), dirs.size());
    const std::string candidate = dirs.substr(from, to - from) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0)
      return candidate;
    from = to + 1;
  }
  return "";
}

void must(const RunResult& result, const std::string& what) {
  if (result.status != 0)
    throw std::runtime_error(what + " failed: " + result.output);
}

dev_t device_of(const fs::path& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
}

uint32_t little(const std::string& bytes, size_t at, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
  return value;
}

}  // namespace

std::string FatImage::unavailable() {
  if (geteuid() != 0)
    return "mounting through FUSE here needs root";
  if (access("/dev/fuse", R_OK | W_OK) != 0)
    return "/dev/fuse cannot be used";
  for (const char* needed : {"mkfs.vfat", "mmd", "mcopy", "mdir", "fusefat", "fusermount"})
    if (find_tool(needed).empty())
      return std::string(needed) + " is not installed";
  return "";
}

FatImage::FatImage(int megabytes)
    : image_(dir_.path() / "volume.img"), mount_point_(dir_.path() / "mnt") {
  // mtools must read and write long names as UTF-8, whatever the caller's locale.
  setenv("LC_ALL", "C.UTF-8", 1);
  setenv("MTOOLS_SKIP_CHECK", "1", 1);
  fs::create_directory(mount_point_);
  must(run_command({"truncate", "-s", std::to_string(megabytes) + "M", image_.string()},
                   kStepSeconds),
       "truncate");
  must(run_command({find_tool("mkfs.vfat"), "-F", "32", image_.string()}, kStepSeconds),
       "mkfs.vfat");
}

FatImage::~FatImage() {
  if (fusefat_ > 0) {
    std::string ignored;
    unmount(&ignored);
  }
}

void FatImage::mtools(std::vector<std::string> argv) const {
  argv.insert(argv.begin() + 1, {"-i", image_.string()});
  must(run_command(argv, kStepSeconds), argv[0]);
}

void FatImage::add_dir(const std::string& path) {
  size_t slash = 0;
  while (slash != std::string::npos) {
    slash = path.find('/', slash + 1);
    const std::string prefix = path.substr(0, slash);
    if (made_dirs_.insert(prefix).second)
      mtools({"mmd", "::/" + prefix});
  }
}

void FatImage::add_file(const std::string& path, const std::string& content) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos)
    add_dir(path.substr(0, slash));
  const fs::path local = dir_.path() / "staging";
  write_file(local, content);
  mtools({"mcopy", local.string(), "::/" + path});
}

void FatImage::replace_name_units(const std::u16string& from, const std::u16string& to) {
  std::string image = read_file(image_);
  const std::string needle(reinterpret_cast<const char*>(from.data()), from.size() * 2);
  const size_t at = image.find(needle);
  if (at == std::string::npos || to.size() != from.size())
    throw std::runtime_error("name units not found in the image");
  image.replace(at, needle.size(), reinterpret_cast<const char*>(to.data()), to.size() * 2);
  write_file(image_, image);
}

std::string FatImage::read(const std::string& path) const {
  const fs::path local = dir_.path() / "read-back";
  std::error_code ignored;
  fs::remove(local, ignored);
  mtools({"mcopy", "-n", "::/" + path, local.string()});
  return read_file(local);
}

bool FatImage::has(const std::string& path) const {
  return run_command({"mdir", "-i", image_.string(), "::/" + path}, kStepSeconds).status == 0;
}

long FatImage::free_bytes() const {
  const RunResult listing = run_command({"mdir", "-i", image_.string(), "::/"}, kStepSeconds);
  std::smatch match;
  std::string digits;
  if (std::regex_search(listing.output, match, std::regex(R"(([0-9 ]+) bytes free)")))
    for (char c : match[1].str())
      if (c != ' ')
        digits += c;
  if (digits.empty())
    throw std::runtime_error("no free space in: " + listing.output);
  return std::stol(digits);
}

bool FatImage::mount(std::string* why) {
  const dev_t before = device_of(mount_point_);
  fusefat_ = fork();
  if (fusefat_ == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    execlp("fusefat", "fusefat", "-f", "-o", "rw+", image_.c_str(), mount_point_.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStepSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (device_of(mount_point_) != before)
      return true;
    int status;
    if (waitpid(fusefat_, &status, WNOHANG) == fusefat_) {
      fusefat_ = -1;
      *why = "fusefat ended without mounting the image";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  *why = "fusefat did not mount the image in time";
  unmount(why);
  return false;
}

bool FatImage::unmount(std::string* why) {
  if (fusefat_ <= 0)
    return true;
  bool clean = run_command({"fusermount", "-u", mount_point_.string()}, kStepSeconds).status == 0;
  // fusefat writes the image until it ends: wait for it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStepSeconds);
  int status;
  while (waitpid(fusefat_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(fusefat_, SIGKILL);
      waitpid(fusefat_, &status, 0);
      clean = false;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  fusefat_ = -1;
  if (!clean) {
    run_command({"fusermount", "-u", "-z", mount_point_.string()}, kStepSeconds);
    *why = "fusefat did not unmount cleanly";
  }
  return clean;
}

std::vector<FatImage::Item> FatImage::items() const {
  const std::string image = read_file(image_);
  const uint32_t sector = little(image, 11, 2);
  const uint32_t cluster_bytes = sector * little(image, 13, 1);
  const uint32_t fat_start = little(image, 14, 2) * sector;
  const uint32_t data_start = fat_start + little(image, 16, 1) * little(image, 36, 4) * sector;

  // The bytes of a directory: its whole cluster chain.
  const auto directory = [&](uint32_t cluster) {
    std::string bytes;
    while (cluster >= 2 && cluster < 0x0FFFFFF8) {
      bytes += image.substr(data_start + (cluster - 2) * cluster_bytes, cluster_bytes);
      cluster = little(image, fat_start + 4 * cluster, 4) & 0x0FFFFFFF;
    }
    return bytes;
  };

  std::vector<Item> found;
  std::vector<std::pair<std::u16string, uint32_t>> pending = {{u"", little(image, 44, 4)}};
  while (!pending.empty()) {
    const auto [parent, cluster] = pending.back();
    pending.pop_back();
    const std::string records = directory(cluster);
    std::map<int, std::u16string> long_parts;
    for (size_t at = 0; at + 32 <= records.size(); at += 32) {
      const auto first = static_cast<unsigned char>(records[at]);
      const auto attributes = static_cast<unsigned char>(records[at + 11]);
      if (first == 0)
        break;
      if (first == 0xE5) {
        long_parts.clear();
        continue;
      }
      if (attributes == 0x0F) {  // a piece of a long name: 13 units
        std::u16string part;
        for (size_t offset : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30})
          part.push_back(static_cast<char16_t>(little(records, at + offset, 2)));
        long_parts[first & 0x1F] = part;
        continue;
      }
      std::u16string name;
      for (const auto& [order, part] : long_parts)
        name += part;
      long_parts.clear();
      if (const size_t end = name.find(u'\0'); end != std::u16string::npos)
        name.resize(end);
      if (name.empty()) {  // a short name only
        std::string base = records.substr(at, 8), extension = records.substr(at + 8, 3);
        base.erase(base.find_last_not_of(' ') + 1);
        extension.erase(extension.find_last_not_of(' ') + 1);
        const auto flags = static_cast<unsigned char>(records[at + 12]);
        for (char& c : base)
          if ((flags & 0x08) && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        for (char& c : extension)
          if ((flags & 0x10) && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        const std::string text = extension.empty() ? base : base + "." + extension;
        name.assign(text.begin(), text.end());
      }
      if ((attributes & 0x08) || name == u"." || name == u"..")
        continue;  // the volume label, or a link to itself or its parent
      const bool is_dir = attributes & 0x10;
      found.push_back({parent + u"/" + name, is_dir});
      if (is_dir)
        pending.push_back({parent + u"/" + name,
                           little(records, at + 20, 2) << 16 | little(records, at + 26, 2)});
    }
  }
  return found;
}
