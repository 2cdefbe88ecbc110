#include "discovery/grow_buffer.h"

#include <cstdlib>
#include <cstring>

GrowBuffer* growbuf_create(int32_t chunk) {
  if (chunk <= 0)
    return nullptr;
  auto* buf = static_cast<GrowBuffer*>(std::calloc(1, sizeof(GrowBuffer)));
  if (buf)
    buf->chunk = chunk;
  return buf;
}

void growbuf_destroy(GrowBuffer* buf) {
  if (!buf)
    return;
  std::free(buf->data);
  std::free(buf);
}

int32_t growbuf_append(GrowBuffer* buf, const void* src, int32_t len) {
  if (!buf || len < 0)
    return -1;
  const int32_t old = buf->used;
  const int64_t needed = int64_t{old} + len;
  if (needed > buf->capacity) {
    // Jump straight to the needed multiple of the chunk: no doubling.
    const int64_t capacity = (needed + buf->chunk - 1) / buf->chunk * buf->chunk;
    if (capacity > INT32_MAX)
      return -1;
    // On failure realloc keeps the old block, and so does the buffer.
    void* grown = std::realloc(buf->data, static_cast<size_t>(capacity));
    if (!grown)
      return -1;
    buf->data = static_cast<uint8_t*>(grown);
    buf->capacity = static_cast<int32_t>(capacity);
  }
  if (len > 0)
    std::memcpy(buf->data + old, src, static_cast<size_t>(len));
  buf->used = old + len;
  return old;
}

uint8_t* growbuf_at(const GrowBuffer* buf, int32_t offset) {
  if (!buf || !buf->data || offset < 0 || offset > buf->used)
    return nullptr;
  return buf->data + offset;
}
