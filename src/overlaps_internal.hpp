// What the counting methods of OverlapCounts share: the triangle's cell layout, the
// 32-bit counters' wrap records, the walk over tracks and the transposition that
// completes each image's row. No Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/flat_map.hpp"
#include "overlaps.hpp"

namespace tolv {
namespace counting {

inline size_t triangle_row(uint32_t hi) { return size_t{hi} * (size_t{hi} + 1) / 2; }

// Records that a 32-bit counter wrapped; rare, so kept out of the counting loops.
[[gnu::noinline]] void note_wrap(FlatMap& wraps, size_t cell);

// A counter's whole count: its low 32 bits and the times it wrapped.
inline uint64_t whole_count(const uint32_t* low, const FlatMap& wraps, size_t cell) {
  uint64_t count = low[cell];
  if (wraps.size() != 0) {
    if (const uint64_t* times = wraps.find(cell)) count += *times << 32;
  }
  return count;
}

// Calls f(begin, end) for each track, which holds the elements [begin, end).
template <class F>
void for_each_track(const std::vector<size_t>& ends, F&& f) {
  size_t begin = 0;
  for (size_t end : ends) {
    f(begin, end);
    begin = end;
  }
}

// Row b of to is b's entries off the diagonal in the rows of from, in ascending order
// of those rows: with both, each image's whole result row can be read in one go.
void transpose_off_diagonal(const RowStore& from, RowStore& to);

}  // namespace counting
}  // namespace tolv
