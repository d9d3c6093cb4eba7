// Overlap counting: dense renumbering of image ids, then one counter per unordered
// image pair in a flat triangle (or a hash map when the triangle would be too big).
// No Python.h.
#include "overlaps.hpp"

#include <algorithm>
#include <numeric>

namespace tolv {
namespace {

// Above this many cells (128 MiB of counters) the sparse map is used instead.
constexpr uint64_t kMaxTriangleCells = uint64_t{1} << 25;
// Direct id -> dense tables are used for ids up to this bound.
constexpr uint64_t kMaxDirectTableIds = uint64_t{1} << 24;
constexpr uint32_t kUnassigned = ~uint32_t{0};

inline size_t triangle_row(uint32_t hi) { return size_t{hi} * (size_t{hi} + 1) / 2; }

uint64_t saturating_add(uint64_t a, uint64_t b) { return a + b < a ? ~uint64_t{0} : a + b; }

uint64_t pair_visits(uint64_t n) {
  // n (n + 1) / 2, saturating: only compared against a bound.
  if (n >= (uint64_t{1} << 32)) return ~uint64_t{0};
  return n * (n + 1) / 2;
}

}  // namespace

void TrackSet::reserve_tracks(size_t count) {
  point_ids_.reserve(count);
  ends_.reserve(count);
}

void TrackSet::add_track(point3D_t point_id, const TrackElement* elements, size_t length) {
  point_ids_.push_back(point_id);
  const size_t start = image_ids_.size();
  image_ids_.resize(start + length);
  image_t* out = image_ids_.data() + start;
  for (size_t i = 0; i < length; ++i) out[i] = elements[i].image_id;
  ends_.push_back(image_ids_.size());
}

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

OverlapCounts::OverlapCounts(TrackSet tracks) {
  tracks.drop_superseded_tracks();
  renumber_images(tracks.image_ids_);
  uint64_t visits = 0;
  size_t begin = 0;
  for (size_t end : tracks.ends_) {
    visits = saturating_add(visits, pair_visits(end - begin));
    begin = end;
  }
  const uint64_t k = images_.size();
  const uint64_t cells = k * (k + 1) / 2;
  // A triangle pays off when it is small, or small beside the work it absorbs.
  const uint64_t worthwhile_cells = saturating_add(saturating_add(visits, visits), 65536);
  if (cells <= kMaxTriangleCells && cells <= worthwhile_cells) {
    count_dense(tracks);
  } else {
    count_sparse(tracks);
  }
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
void sort_small(uint32_t* first, size_t n) {
  if (n > 32) {
    std::sort(first, first + n);
    return;
  }
  for (size_t i = 1; i < n; ++i) {
    const uint32_t value = first[i];
    size_t j = i;
    for (; j > 0 && first[j - 1] > value; --j) first[j] = first[j - 1];
    first[j] = value;
  }
}

}  // namespace

void OverlapCounts::carry(size_t cell) { ++carries_[cell]; }

void OverlapCounts::count_dense(const TrackSet& tracks) {
  triangle_.assign(triangle_row(static_cast<uint32_t>(images_.size())), 0);
  uint32_t* const triangle = triangle_.data();
  // Tracks are taken in their own order: consecutive updates of one counter would
  // wait on each other, scattered ones overlap.
  std::vector<uint32_t> sorted;
  size_t begin = 0;
  for (size_t end : tracks.ends_) {
    // Sorted, every pair (i, j <= i) has d[j] <= d[i]: its cell lies in row d[i].
    sorted.assign(tracks.image_ids_.begin() + begin, tracks.image_ids_.begin() + end);
    begin = end;
    uint32_t* const d = sorted.data();
    const size_t n = sorted.size();
    sort_small(d, n);
    for (size_t i = 0; i < n; ++i) {
      uint32_t* const row = triangle + triangle_row(d[i]);
      for (size_t j = 0; j <= i; ++j) {
        uint32_t& cell = row[d[j]];
        if (__builtin_expect(++cell == 0, 0)) carry(static_cast<size_t>(&cell - triangle));
      }
    }
  }
}

void OverlapCounts::count_sparse(const TrackSet& tracks) {
  const uint32_t* dense = tracks.image_ids_.data();
  size_t begin = 0;
  for (size_t end : tracks.ends_) {
    const uint32_t* d = dense + begin;
    const size_t n = end - begin;
    begin = end;
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = 0; j <= i; ++j) {
        const uint64_t lo = std::min(d[i], d[j]), hi = std::max(d[i], d[j]);
        ++sparse_[(lo << 32) | hi];
      }
    }
  }
}

OverlapMap compute_overlaps(const std::unordered_map<point3D_t, Point3D>& points) {
  TrackSet tracks;
  tracks.reserve_tracks(points.size());
  for (const auto& entry : points) {
    tracks.add_track(entry.first, entry.second.track.data(), entry.second.track.size());
  }
  const OverlapCounts counts(std::move(tracks));
  OverlapMap result;
  counts.for_each_pair([&](uint32_t a, uint32_t b, uint64_t count) {
    const image_t image_a = counts.image_id(a), image_b = counts.image_id(b);
    result[image_a][image_b] = count;
    result[image_b][image_a] = count;
  });
  return result;
}

}  // namespace tolv
