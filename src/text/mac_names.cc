#include "text/mac_names.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "text/composition_table.h"
#include "text/paths.h"
#include "text/utf8.h"

namespace {

// Hangul syllables compose by formula rather than by table.
constexpr char32_t kSyllableBase = 0xAC00;
constexpr char32_t kLeadBase = 0x1100;
constexpr char32_t kVowelBase = 0x1161;
constexpr char32_t kTrailBase = 0x11A7;
constexpr char32_t kLeadCount = 19;
constexpr char32_t kVowelCount = 21;
constexpr char32_t kTrailCount = 28;
constexpr char32_t kSyllableCount = kLeadCount * kVowelCount * kTrailCount;

constexpr char32_t kNoComposition = 0;
constexpr char32_t kFirstBeyondBmp = 0x10000;

// The class by the driver's tables, which cover the BMP only.
int combining_class(char32_t code) {
  const auto* end = std::end(kCombiningClasses);
  const auto* run = std::upper_bound(
      std::begin(kCombiningClasses), end, code,
      [](char32_t value, const CombiningClassRange& range) { return value < range.first; });
  if (run == std::begin(kCombiningClasses))
    return 0;
  --run;
  return code <= run->last ? run->combining_class : 0;
}

char32_t compose_pair(char32_t first, char32_t second) {
  if (first >= kLeadBase && first < kLeadBase + kLeadCount && second >= kVowelBase &&
      second < kVowelBase + kVowelCount)
    return kSyllableBase +
           ((first - kLeadBase) * kVowelCount + (second - kVowelBase)) * kTrailCount;
  if (first >= kSyllableBase && first < kSyllableBase + kSyllableCount &&
      (first - kSyllableBase) % kTrailCount == 0 && second > kTrailBase &&
      second < kTrailBase + kTrailCount)
    return first + (second - kTrailBase);
  const auto* end = std::end(kCompositions);
  const auto* found =
      std::lower_bound(std::begin(kCompositions), end, Composition{first, second, 0},
                       [](const Composition& a, const Composition& b) {
                         return a.first != b.first ? a.first < b.first : a.second < b.second;
                       });
  return found != end && found->first == first && found->second == second ? found->composed
                                                                          : kNoComposition;
}

// The private-use unit FAT stores for a character it forbids, or the
// character itself.
char32_t map_forbidden(char32_t code, bool ends_component) {
  if (code >= 0x01 && code <= 0x1F)
    return 0xF000 + code;
  constexpr std::string_view kForbidden = "\"*:<>?\\|";
  const size_t at = code < 0x80 ? kForbidden.find(static_cast<char>(code)) : std::string_view::npos;
  if (at != std::string_view::npos)
    return 0xF020 + static_cast<char32_t>(at);
  if (ends_component && code == ' ')
    return 0xF028;
  if (ends_component && code == '.')
    return 0xF029;
  // The driver's stand-in for "/" in a name it lists turns back into one.
  if (code == 0x2400)
    return '/';
  return code;
}

}  // namespace

int compose_as_mac(char32_t* points, int count) {
  int kept = 0;
  for (int i = 0; i < count; ++i) {
    const char32_t code = points[i];
    // Each character composes only with the one right before it (already
    // composed, perhaps), and only within the Basic Multilingual Plane.
    if (kept > 0 && code < kFirstBeyondBmp && points[kept - 1] < kFirstBeyondBmp) {
      const char32_t composed = compose_pair(points[kept - 1], code);
      if (composed != kNoComposition) {
        points[kept - 1] = composed;
        continue;
      }
    }
    points[kept++] = code;
  }
  // Then each run of marks in canonical order: by class, stably.
  for (int i = 0; i < kept;) {
    if (combining_class(points[i]) == 0) {
      ++i;
      continue;
    }
    int end = i;
    while (end < kept && combining_class(points[end]) != 0)
      ++end;
    std::stable_sort(points + i, points + end, [](char32_t a, char32_t b) {
      return combining_class(a) < combining_class(b);
    });
    i = end;
  }
  return kept;
}

int mac_stored_units(std::string_view path, uint16_t* units, int max_units) {
  // As many code points as a listed name may have: decomposed, it may be
  // far longer than the name the driver stores.
  std::array<char32_t, kMaxListedNameBytes> points;
  int count = 0;
  for (;;) {
    const size_t slash = path.find('/');
    std::string_view component = path.substr(0, slash);
    int length = 0;
    while (!component.empty() && length < static_cast<int>(points.size()))
      points[length++] = take_code_point(&component);
    // The forbidden characters are mapped first, so none of them is ever a
    // base that a mark composes with.
    for (int i = 0; i < length; ++i)
      points[i] = map_forbidden(points[i], i == length - 1);
    length = compose_as_mac(points.data(), length);
    for (int i = 0; i < length; ++i) {
      const int appended = append_utf16(points[i], units, count, max_units);
      if (appended < 0)
        return count;
      count = appended;
    }
    if (slash == std::string_view::npos)
      return count;
    if (count >= max_units)
      return count;
    units[count++] = '/';
    path.remove_prefix(slash + 1);
  }
}

int mac_stored_name(const char* listed, char* out, size_t size) {
  // Composed first, bounded after: only the stored form must fit.
  std::array<uint16_t, 2 * kMaxListedNameBytes> units;
  const std::string_view name = listed;
  if (name.size() > kMaxListedNameBytes || name.find('/') != std::string_view::npos)
    return -1;
  const int count = mac_stored_units(name, units.data(), static_cast<int>(units.size()));
  // Copied unit for unit, so that no memory is asked for.
  std::array<char16_t, 2 * kMaxListedNameBytes> stored;
  std::copy_n(units.begin(), count, stored.begin());
  return utf16_to_name_in({stored.data(), static_cast<size_t>(count)}, out, size);
}
