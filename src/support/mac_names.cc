#include "support/mac_names.h"

#include <algorithm>
#include <array>

#include "support/composition_table.h"
#include "support/paths.h"
#include "support/utf8.h"

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
  return code;
}

}  // namespace

int compose_canonically(char32_t* points, int count) {
  if (count == 0)
    return 0;
  int starter = 0;
  // A sequence that begins with a mark has no starter to compose with.
  int last_class = combining_class(points[0]) == 0 ? 0 : 256;
  int kept = 1;
  for (int i = 1; i < count; ++i) {
    const char32_t code = points[i];
    const int code_class = combining_class(code);
    // Not blocked: nothing between the starter and this character, or only
    // marks of a lower class.
    const char32_t composed = last_class < code_class || last_class == 0
                                  ? compose_pair(points[starter], code)
                                  : kNoComposition;
    if (composed != kNoComposition) {
      points[starter] = composed;
      continue;
    }
    if (code_class == 0)
      starter = kept;
    last_class = code_class;
    points[kept++] = code;
  }
  return kept;
}

int mac_stored_units(std::string_view path, uint16_t* units, int max_units) {
  std::array<char32_t, kMaxComposedPath + 1> points;
  int count = 0;
  for (;;) {
    const size_t slash = path.find('/');
    std::string_view component = path.substr(0, slash);
    int length = 0;
    while (!component.empty() && length < static_cast<int>(points.size()))
      points[length++] = take_code_point(&component);
    length = compose_canonically(points.data(), length);
    for (int i = 0; i < length; ++i) {
      const int appended =
          append_utf16(map_forbidden(points[i], i == length - 1), units, count, max_units);
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
