// The square method: one 32-bit counter per ordered pair of dense images, for few
// images. No Python.h.
#include <vector>

#include "overlaps.hpp"
#include "overlaps_internal.hpp"

namespace tolv {
using namespace counting;
namespace {

// Adds every track's visits to the square of k * k counters, checking for wraps only
// where some counter may wrap.
template <bool kMayWrap>
void add_square_visits(const std::vector<size_t>& ends, const image_t* images, size_t k, uint32_t* cells,
                       FlatMap& carries) {
  for_each_track(ends, [&](size_t begin, size_t end) {
    const uint32_t* const d = images + begin;
    const size_t n = end - begin;
    for (size_t i = 0; i < n; ++i) {
      uint32_t* const row = cells + size_t{d[i]} * k;
      for (size_t j = 0; j <= i; ++j) {
        uint32_t& cell = row[d[j]];
        ++cell;
        if (kMayWrap && __builtin_expect(cell == 0, 0)) note_wrap(carries, static_cast<size_t>(&cell - cells));
      }
    }
  });
}

}  // namespace

void OverlapCounts::count_square(const TrackSet& tracks, bool may_wrap) {
  const size_t k = images_.size();
  std::vector<uint32_t> square(k * k, 0);
  uint32_t* const cells = square.data();
  FlatMap square_carries(16);
  if (may_wrap) {
    add_square_visits<true>(tracks.ends_, tracks.image_ids_.data(), k, cells, square_carries);
  } else {
    add_square_visits<false>(tracks.ends_, tracks.image_ids_.data(), k, cells, square_carries);
  }
  const auto visits_at = [&](size_t cell) { return whole_count(cells, square_carries, cell); };
  // Each row whole: a pair's visits lie in its two ordered cells, the diagonal's in one.
  for (size_t a = 0; a < k; ++a) {
    for (size_t b = 0; b < k; ++b) {
      const uint64_t visits = a == b ? 2 * visits_at(a * k + a) : visits_at(a * k + b) + visits_at(b * k + a);
      if (visits != 0) heads_.append(static_cast<uint32_t>(b), visits);
    }
    heads_.end_row();
    tails_.end_row();
  }
}

}  // namespace tolv
