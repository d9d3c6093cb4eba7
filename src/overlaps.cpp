// Overlap counting: dense renumbering of image ids, then one counter per unordered
// image pair in a flat triangle, or, for many images, one image's row at a time.
// No Python.h.
#include "overlaps.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>

namespace tolv {
namespace {

// Above this many cells (32 MiB of counters, about 4,000 images) the triangle no
// longer stays in cache, and counting row by row costs less per visit (measured with
// benchmarks/native/bench_overlaps).
constexpr uint64_t kMaxTriangleCells = uint64_t{8} << 20;
// Row counting keeps image numbers and track positions in 32-bit words, their top bit
// a mark, while both stay below this; past it, in 64-bit words.
constexpr uint64_t kMaxNarrowWord = uint64_t{1} << 31;
// Direct id -> dense tables are used for ids up to this bound.
constexpr uint64_t kMaxDirectTableIds = uint64_t{1} << 24;
constexpr uint32_t kUnassigned = ~uint32_t{0};
// Up to this many cells (16 MiB), few images are counted in a square of counters,
// one per ordered pair, each image's whole row read from it at the end: a pair's cell
// is found without ordering its images.
constexpr uint64_t kMaxSquareCells = uint64_t{4} << 20;
// Tracks up to this long are counted without sorting them first.
constexpr size_t kMaxUnsortedTrack = 16;
// Track elements reserved per point ahead of copying (tracks are 2 to 8 long mostly).
constexpr size_t kTypicalTrackRoom = 8;

inline size_t triangle_row(uint32_t hi) { return size_t{hi} * (size_t{hi} + 1) / 2; }

uint64_t saturating_add(uint64_t a, uint64_t b) { return a + b < a ? ~uint64_t{0} : a + b; }

uint64_t pair_visits(uint64_t n) {
  // n (n + 1) / 2, saturating: only compared against bounds.
  if (n >= (uint64_t{1} << 32)) return ~uint64_t{0};
  return n * (n + 1) / 2;
}

// Records that a 32-bit counter wrapped; rare, so kept out of the counting loops.
[[gnu::noinline]] void note_wrap(FlatMap& wraps, size_t cell) { ++wraps[cell]; }

// A counter's whole count: its low 32 bits and the times it wrapped.
uint64_t whole_count(const uint32_t* low, const FlatMap& wraps, size_t cell) {
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

uint64_t total_pair_visits(const std::vector<size_t>& ends) {
  uint64_t visits = 0;
  for_each_track(ends, [&](size_t begin, size_t end) { visits = saturating_add(visits, pair_visits(end - begin)); });
  return visits;
}

}  // namespace

void TrackSet::reserve_tracks(size_t count) {
  point_ids_.reserve(count);
  ends_.reserve(count);
  // Room for tracks of typical length, so that growing rarely copies; pages never
  // written stay unmapped, so an overestimate costs address space, not memory. Where
  // address space is short the room is only a wish: the tracks grow as they come.
  if (count > SIZE_MAX / sizeof(image_t) / kTypicalTrackRoom) return;
  try {
    image_ids_.resize(std::max(image_ids_.size(), count * kTypicalTrackRoom));
  } catch (const std::bad_alloc&) {
  }
}

void TrackSet::grow(size_t length) {
  const size_t needed = element_count_ + length;
  image_ids_.resize(element_count_);  // only the written elements move
  image_ids_.resize(std::max(needed, 2 * image_ids_.capacity()));
}

void TrackSet::finish() { image_ids_.resize(element_count_); }

void TrackSet::drop_superseded_tracks() {
  if (!keys_may_repeat_) return;
  std::vector<size_t> order(point_ids_.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return point_ids_[a] < point_ids_[b]; });
  std::vector<uint8_t> superseded(point_ids_.size(), 0);
  for (size_t i = 0; i + 1 < order.size(); ++i) {
    if (point_ids_[order[i]] == point_ids_[order[i + 1]]) superseded[order[i]] = 1;
  }
  // Compacts in place: kept tracks only move towards the front.
  size_t kept_tracks = 0, kept_ids = 0, begin = 0;
  for (size_t k = 0; k < point_ids_.size(); ++k) {
    const size_t end = ends_[k];
    if (!superseded[k]) {
      for (size_t i = begin; i < end; ++i) image_ids_[kept_ids++] = image_ids_[i];
      point_ids_[kept_tracks] = point_ids_[k];
      ends_[kept_tracks++] = kept_ids;
    }
    begin = end;
  }
  point_ids_.resize(kept_tracks);
  ends_.resize(kept_tracks);
  image_ids_.resize(kept_ids);
  keys_may_repeat_ = false;
}

namespace {

// Row b of to is b's entries off the diagonal in the rows of from, in ascending order
// of those rows: with both, each image's whole result row can be read in one go.
void transpose_off_diagonal(const RowStore& from, RowStore& to) {
  std::vector<uint64_t> next(from.row_count(), 0);
  for (uint32_t a = 0; a < from.row_count(); ++a) {
    from.for_each_in_row(a, [&](uint32_t b, uint64_t) { next[b] += b != a; });
  }
  to.lay_out(next);
  for (size_t b = 0; b < next.size(); ++b) next[b] = to.row_start(b);
  for (uint32_t a = 0; a < from.row_count(); ++a) {
    from.for_each_in_row(a, [&](uint32_t b, uint64_t count) {
      if (b != a) to.set(next[b]++, a, count);
    });
  }
}

}  // namespace

OverlapCounts::OverlapCounts(TrackSet tracks, Method method) {
  tracks.finish();
  tracks.drop_superseded_tracks();
  renumber_images(tracks.image_ids_);
  // Fewer visits in all than 2^32 leave no counter able to wrap.
  const uint64_t visits = total_pair_visits(tracks.ends_);
  if (method == Method::automatic) {
    method = triangle_pays_off(visits) ? Method::triangle : Method::rows;
  }
  if (method == Method::triangle && triangle_row(static_cast<uint32_t>(images_.size())) != 0) {
    count_dense(tracks, visits >> 32 != 0);
  } else {
    if (method != Method::wide_rows && images_.size() < kMaxNarrowWord &&
        tracks.image_ids_.size() + tracks.ends_.size() < kMaxNarrowWord) {
      count_rows<uint32_t>(tracks);
    } else {
      count_rows<uint64_t>(tracks);
    }
    transpose_off_diagonal(tails_, heads_);
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

bool OverlapCounts::triangle_pays_off(uint64_t visits) const {
  const uint64_t k = images_.size();
  const uint64_t cells = k * (k + 1) / 2;
  // A triangle pays off when it is small, or small beside the work it absorbs.
  const uint64_t worthwhile_cells = saturating_add(saturating_add(visits, visits), 65536);
  return cells <= kMaxTriangleCells && cells <= worthwhile_cells;
}

void OverlapCounts::renumber_images(FilledVector<image_t>& image_ids) {
  // Dense indices follow ascending image ids, so images that are near in id (and
  // usually in space) stay near in the counters.
  image_t max_id = 0;
  for (image_t id : image_ids) max_id = std::max(max_id, id);
  const uint64_t table_size = uint64_t{max_id} + 1;
  if (table_size <= kMaxDirectTableIds && table_size <= 8 * uint64_t{image_ids.size()} + 4096) {
    std::vector<uint32_t> dense_of(static_cast<size_t>(table_size), kUnassigned);
    for (image_t id : image_ids) dense_of[id] = 0;
    for (size_t id = 0; id < dense_of.size(); ++id) {
      if (dense_of[id] == kUnassigned) continue;
      dense_of[id] = static_cast<uint32_t>(images_.size());
      images_.push_back(static_cast<image_t>(id));
    }
    for (image_t& id : image_ids) id = dense_of[id];
    return;
  }
  FlatMap dense_of(1024);
  for (image_t id : image_ids) dense_of[id];
  dense_of.for_each([&](uint64_t id, uint64_t) { images_.push_back(static_cast<image_t>(id)); });
  std::sort(images_.begin(), images_.end());
  for (size_t dense = 0; dense < images_.size(); ++dense) dense_of[images_[dense]] = dense;
  for (image_t& id : image_ids) id = static_cast<image_t>(*dense_of.find(id));
}

namespace {

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

void OverlapCounts::count_dense(TrackSet& tracks, bool may_wrap) {
  const size_t k = images_.size();
  if (uint64_t{k} * k <= kMaxSquareCells) return count_square(tracks, may_wrap);
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

namespace {

// Every non-empty track as one word holding how many of its images are still to be
// walked, then its image numbers in their own order. The row walk takes image after
// image in ascending order and drops each from its tracks as it goes, so at image a a
// track holds exactly its images at or after a: no track is ever sorted. Tracks are
// grouped by their smallest image into a few hundred bins of neighbouring images: the
// tracks of one image then lie near each other whenever images that see the same
// points have near numbers, and few bins fill at once while grouping.
template <class Word>
struct LiveTracks {
  static constexpr size_t kMaxBins = 1024;
  FilledVector<Word> words;
  FilledVector<Word> spare;           // the buffer the tracks were regrouped from, for reuse
  std::vector<uint64_t> occurrences;  // how many track elements name each image

  // Takes over the image numbers: once regrouped, their buffer is kept as the spare
  // one (in 32-bit words) or released.
  LiveTracks(FilledVector<image_t>& images, const std::vector<size_t>& ends, size_t image_count)
      : occurrences(image_count, 0) {
    unsigned shift = 0;
    while ((uint64_t{image_count} >> shift) > kMaxBins) ++shift;
    const size_t bins = static_cast<size_t>((uint64_t{image_count} >> shift) + 1);
    const auto bin_of = [&](size_t begin, size_t end) {
      image_t least = images[begin];
      for (size_t at = begin + 1; at < end; ++at) least = std::min(least, images[at]);
      return static_cast<size_t>(least >> shift);
    };
    std::vector<size_t> bin_starts(bins + 1, 0);
    size_t total = 0;
    for_each_track(ends, [&](size_t begin, size_t end) {
      if (end == begin) return;
      for (size_t at = begin; at < end; ++at) ++occurrences[images[at]];
      bin_starts[bin_of(begin, end) + 1] += end - begin + 1;
      total += end - begin + 1;
    });
    for (size_t bin = 0; bin < bins; ++bin) bin_starts[bin + 1] += bin_starts[bin];
    words.resize(total);
    Word* const out = words.data();
    for_each_track(ends, [&](size_t begin, size_t end) {
      if (end == begin) return;
      size_t& to = bin_starts[bin_of(begin, end)];
      out[to++] = static_cast<Word>(end - begin);
      for (size_t at = begin; at < end; ++at) out[to++] = images[at];
    });
    if constexpr (sizeof(Word) == sizeof(image_t)) {
      spare.swap(images);
    } else {
      FilledVector<image_t>().swap(images);
    }
  }
};

// For each image, where each track that contains it begins: word positions in the
// live tracks, whose top bit says the image occurs in that track more than once.
template <class Word>
struct TrackIndex {
  static constexpr Word kMark = Word{1} << (sizeof(Word) * 8 - 1);
  std::vector<size_t> starts;  // image a's tracks: entries[starts[a] .. ends[a])
  std::vector<size_t> ends;
  FilledVector<Word> entries;

  // Reuses the spare memory of the live tracks, already paged in.
  TrackIndex(LiveTracks<Word>& live, size_t images) : starts(images + 1, 0) {
    for (size_t a = 0; a < images; ++a) starts[a + 1] = starts[a] + live.occurrences[a];
    entries.swap(live.spare);
    entries.resize(starts[images]);
    ends.assign(starts.begin(), starts.end() - 1);
    std::vector<Word> last_track(images, ~Word{0});
    const Word* const words = live.words.data();
    for (size_t at = 0; at < live.words.size();) {
      const Word track = static_cast<Word>(at);
      const size_t length = words[at];
      for (const Word* image = words + at + 1; image != words + at + 1 + length; ++image) {
        if (last_track[*image] == track) {
          entries[ends[*image] - 1] |= kMark;
        } else {
          entries[ends[*image]++] = track;
          last_track[*image] = track;
        }
      }
      at += length + 1;
    }
  }
};

// How far ahead the row walk asks for the tracks it will need: each is usually a
// cache miss, and many misses in flight cost hardly more than one.
constexpr size_t kTrackPrefetch = 16;

}  // namespace

void RowStore::append(uint32_t image, uint64_t count) {
  if ((size_ & kBlockMask) == 0) add_block();
  blocks_.back()[size_ & kBlockMask] = Entry{image, static_cast<uint32_t>(count)};
  if (count >> 32 != 0) high_words_[size_] = count >> 32;
  ++size_;
}

void RowStore::add_block() {
  std::unique_ptr<Entry[]> block(new Entry[size_t{1} << kBlockBits]);
  blocks_.push_back(std::move(block));  // freed, not leaked, if the list cannot grow
}

void RowStore::release_rows_before(size_t row) {
  const uint64_t first_kept = row < row_ends_.size() ? row_start(row) : size_;
  for (; (uint64_t{released_blocks_} + 1) << kBlockBits <= first_kept; ++released_blocks_) {
    blocks_[released_blocks_].reset();
  }
}

void RowStore::lay_out(const std::vector<uint64_t>& row_lengths) {
  for (uint64_t length : row_lengths) {
    size_ += length;
    row_ends_.push_back(size_);
  }
  while (uint64_t{blocks_.size()} << kBlockBits < size_) add_block();
}

void RowStore::set(uint64_t at, uint32_t image, uint64_t count) {
  blocks_[static_cast<size_t>(at >> kBlockBits)][at & kBlockMask] = Entry{image, static_cast<uint32_t>(count)};
  if (count >> 32 != 0) high_words_[at] = count >> 32;
}

namespace {

// A row's counters in blocks of this many, with a flag per block that says whether
// any of them was touched: a visit sets a flag rather than listing its image, and the
// row is read back in ascending image order by skipping untouched blocks.
constexpr unsigned kRowBlockBits = 4;

// Walks a track in which the row's image occurs more than once (rare): every image b
// left adds c_a to [a][b], and all of a's occurrences leave the track.
template <class Word>
void walk_repeating_track(Word* track, Word image, uint64_t* counter, uint8_t* touched_blocks) {
  const Word live_count = track[0];
  Word* const images_left = track + 1;
  const uint64_t weight = static_cast<uint64_t>(std::count(images_left, images_left + live_count, image));
  Word kept = 0;
  for (Word i = 0; i < live_count; ++i) {
    const Word b = images_left[i];
    counter[b] += weight;
    touched_blocks[b >> kRowBlockBits] = 1;
    images_left[kept] = b;
    kept += b != image;
  }
  track[0] = kept;
}

}  // namespace

template <class Word>
void OverlapCounts::count_rows(TrackSet& tracks) {
  constexpr Word kMark = TrackIndex<Word>::kMark;
  const size_t images = images_.size();
  std::vector<point3D_t>().swap(tracks.point_ids_);
  LiveTracks<Word> live(tracks.image_ids_, tracks.ends_, images);
  std::vector<size_t>().swap(tracks.ends_);  // the counts now end the tracks
  const TrackIndex<Word> index(live, images);
  Word* const words = live.words.data();
  // One row at a time: its counters stay in cache, and only touched blocks are read.
  const size_t block_count = ((images >> kRowBlockBits) + 8) & ~size_t{7};  // whole eights of flags
  std::vector<uint64_t> counter(block_count << kRowBlockBits, 0);
  std::vector<uint8_t> touched_blocks(block_count, 0);
  for (size_t a = 0; a < images; ++a) {
    const Word* const entries = index.entries.data() + index.starts[a];
    const size_t count = index.ends[a] - index.starts[a];
    const Word image = static_cast<Word>(a);
    for (size_t t = 0; t < count; ++t) {
      if (t + kTrackPrefetch < count) __builtin_prefetch(words + (entries[t + kTrackPrefetch] & ~kMark));
      Word* const track = words + (entries[t] & ~kMark);
      if (entries[t] & kMark) {
        walk_repeating_track(track, image, counter.data(), touched_blocks.data());
        continue;
      }
      // Each image b >= a left in the track adds one to [a][b]; then a leaves the
      // track, its place taken by the last image left.
      const Word live_count = track[0];
      Word* const images_left = track + 1;
      Word at = 0;
      for (Word i = 0; i < live_count; ++i) {
        const Word b = images_left[i];
        ++counter[b];
        touched_blocks[b >> kRowBlockBits] = 1;
        at = b == image ? i : at;
      }
      images_left[at] = images_left[live_count - 1];
      track[0] = live_count - 1;
    }
    counter[a] += live.occurrences[a];  // the diagonal is sum c_a (c_a + 1)
    emit_row(a, counter.data(), touched_blocks.data(), block_count);
  }
}

void OverlapCounts::emit_row(size_t a, uint64_t* counter, uint8_t* touched_blocks, size_t block_count) {
  // Every touched image is at or after a; untouched blocks are skipped eight flags at a time.
  for (size_t first = (a >> kRowBlockBits) & ~size_t{7}; first < block_count; first += 8) {
    uint64_t eight_flags;
    std::memcpy(&eight_flags, touched_blocks + first, sizeof eight_flags);
    if (eight_flags == 0) continue;
    for (size_t block = first; block < first + 8; ++block) {
      if (!touched_blocks[block]) continue;
      touched_blocks[block] = 0;
      for (size_t b = block << kRowBlockBits; b < (block + 1) << kRowBlockBits; ++b) {
        if (counter[b] == 0) continue;
        tails_.append(static_cast<uint32_t>(b), counter[b]);
        counter[b] = 0;
      }
    }
  }
  tails_.end_row();
}

OverlapMap compute_overlaps(const std::unordered_map<point3D_t, Point3D>& points) {
  TrackSet tracks;
  tracks.reserve_tracks(points.size());
  for (const auto& entry : points) {
    tracks.add_track(entry.first, entry.second.track.data(), entry.second.track.size());
  }
  const OverlapCounts counts(std::move(tracks));
  OverlapMap result;
  for (uint32_t a = 0; a < counts.image_count(); ++a) {
    auto& row = result[counts.image_id(a)];
    counts.for_each_in_row(a, [&](uint32_t b, uint64_t count) { row[counts.image_id(b)] = count; });
  }
  return result;
}

}  // namespace tolv
