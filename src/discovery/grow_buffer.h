// A block of bytes that grows at its end in whole chunks. Appending returns
// the offset of the new bytes, so callers can keep referring to data while
// the block may still move; growbuf_at turns an offset into a pointer once
// the caller knows the block will not move again.
#pragma once

#include <cstdint>
#include <memory>

struct GrowBuffer {
  int32_t capacity;  // bytes allocated; 0 while there is no block
  int32_t used;      // bytes filled from the start of the block
  uint8_t* data;     // null until the first append that needs room
  int32_t chunk;     // capacity is always a whole multiple of this
};

// A new, empty buffer (no block yet); null if the record cannot be allocated.
[[nodiscard]] GrowBuffer* growbuf_create(int32_t chunk);

// Frees the block and the record; does nothing for null.
void growbuf_destroy(GrowBuffer* buf);

// Appends len bytes from src and returns the offset of the first of them.
// Returns -1, and leaves the buffer exactly as it was, when buf is null or
// the block cannot be enlarged (out of memory, or past 2 GiB).
[[nodiscard]] int32_t growbuf_append(GrowBuffer* buf, const void* src, int32_t len);

// The byte at offset, or null when there is no block or offset > used.
// offset == used is the position just past the filled bytes.
uint8_t* growbuf_at(const GrowBuffer* buf, int32_t offset);

struct GrowBufferDeleter {
  void operator()(GrowBuffer* buf) const { growbuf_destroy(buf); }
};
using GrowBufferPtr = std::unique_ptr<GrowBuffer, GrowBufferDeleter>;
