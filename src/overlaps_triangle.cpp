// The triangle method: one 32-bit counter per unordered pair of dense images, its
// rows then moved into a RowStore. No Python.h.
#include <algorithm>

#include "overlaps.hpp"
#include "overlaps_internal.hpp"

namespace tolv {
using namespace counting;
namespace {

// Tracks up to this long are counted without sorting them first.
constexpr size_t kMaxUnsortedTrack = 16;

// Insertion sort: tracks are short, and std::sort's set-up dominates at this size.
template <class Word>
void sort_small(Word* first, size_t n) {
  if (n > 32) {
    std::sort(first, first + n);
    return;
  }
  for (size_t i = 1; i < n; ++i) {
    const Word value = first[i];
    size_t j = i;
    for (; j > 0 && first[j - 1] > value; --j) first[j] = first[j - 1];
    first[j] = value;
  }
}

}  // namespace

void OverlapCounts::count_triangle(TrackSet& tracks, bool may_wrap) {
  triangle_.assign(triangle_row(static_cast<uint32_t>(images_.size())), 0);
  if (may_wrap) {
    add_triangle_visits<true>(tracks);
  } else {
    add_triangle_visits<false>(tracks);
  }
  store_triangle_rows();
  transpose_off_diagonal(heads_, tails_);
}

template <bool kMayWrap>
void OverlapCounts::add_triangle_visits(TrackSet& tracks) {
  // Tracks are taken in their own order: consecutive updates of one counter would
  // wait on each other, scattered ones overlap.
  for_each_track(tracks.ends_, [&](size_t begin, size_t end) {
    uint32_t* const d = tracks.image_ids_.data() + begin;
    const size_t n = end - begin;
    if (n <= kMaxUnsortedTrack) {
      count_unsorted_track<kMayWrap>(d, n);
    } else {
      sort_small(d, n);
      count_sorted_track<kMayWrap>(d, n);
    }
  });
}

template <bool kMayWrap>
void OverlapCounts::count_sorted_track(const uint32_t* d, size_t n) {
  // Sorted, every pair (i, j <= i) has d[j] <= d[i]: its cell lies in row d[i].
  uint32_t* const triangle = triangle_.data();
  for (size_t i = 0; i < n; ++i) {
    uint32_t* const row = triangle + triangle_row(d[i]);
    for (size_t j = 0; j <= i; ++j) {
      uint32_t& cell = row[d[j]];
      ++cell;
      if (kMayWrap && __builtin_expect(cell == 0, 0)) note_wrap(carries_, static_cast<size_t>(&cell - triangle));
    }
  }
}

template <bool kMayWrap>
void OverlapCounts::count_unsorted_track(const uint32_t* d, size_t n) {
  // Sorting a short track mispredicts a branch per element or so, more than it saves:
  // each pair's cell is found instead as row max(d[i], d[j]), column min(d[i], d[j]),
  // and the row start grows with the image, so the larger start is the row's.
  uint32_t* const triangle = triangle_.data();
  size_t row_of[kMaxUnsortedTrack];
  for (size_t i = 0; i < n; ++i) row_of[i] = triangle_row(d[i]);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j <= i; ++j) {
      uint32_t& cell = triangle[std::max(row_of[i], row_of[j]) + std::min(d[i], d[j])];
      ++cell;
      if (kMayWrap && __builtin_expect(cell == 0, 0)) note_wrap(carries_, static_cast<size_t>(&cell - triangle));
    }
  }
}

void OverlapCounts::store_triangle_rows() {
  size_t cell = 0;
  for (uint32_t hi = 0; hi < images_.size(); ++hi) {
    for (uint32_t lo = 0; lo <= hi; ++lo, ++cell) {
      if (triangle_[cell] == 0 && carries_.size() == 0) continue;
      const uint64_t visits = whole_count(triangle_.data(), carries_, cell);
      if (visits != 0) heads_.append(lo, lo == hi ? 2 * visits : visits);
    }
    heads_.end_row();
  }
  std::vector<uint32_t>().swap(triangle_);
  carries_ = FlatMap(16);
}

}  // namespace tolv
