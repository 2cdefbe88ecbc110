#include "database/track_kind.h"

#include "text/file_extension.h"

const TrackKind* track_kind(const char* name) {
  const std::string_view extension = file_extension(name);
  for (const TrackKind& kind : kTrackKinds)
    if (kind.extension == extension)
      return &kind;
  return nullptr;
}
