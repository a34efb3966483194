// Reads an open file from its start in pieces, for the code that digests, compares or signs a
// file without holding all of it in memory. Internal to the host library; no state.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestutil {

// The size of the pieces forEachPiece hands out.
constexpr size_t kFilePiece = 64 * 1024;

// Feeds the bytes of the open file `fd`, from its start, to `piece(const char* data, size_t size)`
// in pieces of at most kFilePiece bytes, through pread: the descriptor's offset is left alone.
// Stops when `piece` returns false. Returns the number of bytes fed, or -1 when reading fails.
template <class Piece>
int64_t forEachPiece(int fd, Piece piece) {
  std::vector<char> buffer(kFilePiece);
  int64_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return offset;
    offset += n;
    if (!piece(static_cast<const char*>(buffer.data()), static_cast<size_t>(n))) return offset;
  }
}

}  // namespace kestutil
