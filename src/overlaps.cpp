// Overlap counting: dense renumbering of image ids, then the choice of a counting
// method by cost (overlaps_square.cpp, overlaps_triangle.cpp, overlaps_rows.cpp), the
// tracks and the rows of counts they share, and the entries over them. No Python.h.
#include "overlaps.hpp"

#include <algorithm>
#include <new>
#include <numeric>

#include "overlaps_internal.hpp"

namespace tolv {
using namespace counting;
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
// Track elements reserved per point ahead of copying (tracks are 2 to 8 long mostly).
constexpr size_t kTypicalTrackRoom = 8;

uint64_t saturating_add(uint64_t a, uint64_t b) { return a + b < a ? ~uint64_t{0} : a + b; }

uint64_t pair_visits(uint64_t n) {
  // n (n + 1) / 2, saturating: only compared against bounds.
  if (n >= (uint64_t{1} << 32)) return ~uint64_t{0};
  return n * (n + 1) / 2;
}

uint64_t total_pair_visits(const std::vector<size_t>& ends) {
  uint64_t visits = 0;
  for_each_track(ends, [&](size_t begin, size_t end) { visits = saturating_add(visits, pair_visits(end - begin)); });
  return visits;
}

}  // namespace

namespace counting {

void note_wrap(FlatMap& wraps, size_t cell) { ++wraps[cell]; }

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

}  // namespace counting

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

void OverlapCounts::count_dense(TrackSet& tracks, bool may_wrap) {
  const size_t k = images_.size();
  if (uint64_t{k} * k <= kMaxSquareCells) return count_square(tracks, may_wrap);
  count_triangle(tracks, may_wrap);
}

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

CovisibilityRows covisibility_rows(const int64_t* track_offsets, size_t point_count,
                                   const image_t* track_image_ids, size_t element_count) {
  // Each offset is read once, checked as it is used: the arrays may be another's memory.
  int64_t begin = track_offsets[0];
  if (begin != 0) throw TrackArraysError("track_offsets must start at 0");
  TrackSet tracks;
  tracks.reserve_tracks(point_count);
  for (size_t k = 0; k < point_count; ++k) {
    const int64_t end = track_offsets[k + 1];
    if (end < begin) throw TrackArraysError("track_offsets must never decrease");
    if (static_cast<uint64_t>(end) > uint64_t{element_count}) {
      throw TrackArraysError("track_offsets must not pass the length of track_image_ids");
    }
    // Both lie within element_count, a size_t, so they convert exactly.
    tracks.add_track(k, track_image_ids + static_cast<size_t>(begin), static_cast<size_t>(end - begin));
    begin = end;
  }
  if (static_cast<uint64_t>(begin) != uint64_t{element_count}) {
    throw TrackArraysError("track_offsets must end at the length of track_image_ids");
  }
  OverlapCounts counts(std::move(tracks));
  CovisibilityRows rows;
  const size_t image_count = counts.image_count();
  uint64_t entries = 0;
  for (uint32_t a = 0; a < image_count; ++a) entries += counts.row_size(a);
  if (entries > SIZE_MAX / sizeof(uint64_t)) throw std::bad_alloc();
  rows.image_ids.resize(image_count);
  rows.offsets.resize(image_count + 1);
  rows.partner_ids.resize(static_cast<size_t>(entries));
  rows.counts.resize(static_cast<size_t>(entries));
  size_t at = 0;
  for (uint32_t a = 0; a < image_count; ++a) {
    rows.image_ids[a] = counts.image_id(a);
    rows.offsets[a] = static_cast<int64_t>(at);
    counts.for_each_in_row(a, [&](uint32_t b, uint64_t count) {
      rows.partner_ids[at] = counts.image_id(b);
      rows.counts[at++] = count;
    });
    counts.release_rows_before(a + 1);
  }
  rows.offsets[image_count] = static_cast<int64_t>(at);
  return rows;
}

}  // namespace tolv
