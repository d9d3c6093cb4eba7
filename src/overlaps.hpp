// Image co-visibility counting over the tracks of 3D points. No Python.h.
//
// For a point p and an image x let c_x(p) be how often x occurs in p's track. The
// result maps a != b to sum_p c_a(p) c_b(p) and a to sum_p c_a(p) (c_a(p) + 1),
// keeping only non-zero entries. Counts are 64-bit, so they never wrap.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/default_init.hpp"
#include "core/flat_map.hpp"
#include "point3d.hpp"

namespace tolv {

// The image ids of every track, copied out of the points so that counting touches
// nothing else. A later track under an already present point id replaces the earlier.
class TrackSet {
 public:
  void reserve_tracks(size_t count);
  void add_track(point3D_t point_id, const TrackElement* elements, size_t length);
  // Only when keys can repeat does counting pay for finding the superseded tracks.
  void note_keys_may_repeat() { keys_may_repeat_ = true; }

 private:
  friend class OverlapCounts;
  // Keeps, for each point id, only the track added last.
  void drop_superseded_tracks();
  std::vector<point3D_t> point_ids_;
  std::vector<size_t> ends_;      // track k holds image_ids_[ends_[k-1] .. ends_[k])
  FilledVector<image_t> image_ids_;  // grown without zero-filling
  bool keys_may_repeat_ = false;
};

// Pair-visit counts between images, indexed densely 0..image_count()-1.
class OverlapCounts {
 public:
  // Takes the tracks by value: they are released as soon as counting ends.
  explicit OverlapCounts(TrackSet tracks);

  size_t image_count() const { return images_.size(); }
  image_t image_id(uint32_t dense) const { return images_[dense]; }

  // Calls f(a, b, count) once for each unordered pair of dense indices a <= b whose
  // count is non-zero; count is result[a][b] (== result[b][a]), the diagonal already doubled.
  template <class F>
  void for_each_pair(F&& f) const {
    if (!triangle_.empty()) {
      size_t cell = 0;
      for (uint32_t hi = 0; hi < images_.size(); ++hi) {
        for (uint32_t lo = 0; lo <= hi; ++lo, ++cell) {
          if (triangle_[cell] == 0 && carries_.size() == 0) continue;
          const uint64_t visits = triangle_visits(cell);
          if (visits != 0) f(lo, hi, lo == hi ? 2 * visits : visits);
        }
      }
    } else {
      sparse_.for_each([&](uint64_t key, uint64_t visits) {
        const uint32_t lo = static_cast<uint32_t>(key >> 32), hi = static_cast<uint32_t>(key);
        f(lo, hi, lo == hi ? 2 * visits : visits);
      });
    }
  }

 private:
  void renumber_images(FilledVector<image_t>& image_ids);
  void count_dense(const TrackSet& tracks);
  // Records that a 32-bit counter wrapped; rare, so kept out of the counting loop.
  [[gnu::noinline]] void carry(size_t cell);
  void count_sparse(const TrackSet& tracks);
  uint64_t triangle_visits(size_t cell) const {
    uint64_t visits = triangle_[cell];
    if (carries_.size() != 0) {
      if (const uint64_t* carry = carries_.find(cell)) visits += *carry << 32;
    }
    return visits;
  }

  std::vector<image_t> images_;     // dense index -> image id
  std::vector<uint32_t> triangle_;  // cell hi*(hi+1)/2 + lo: low 32 bits of the visits
  FlatMap carries_{16};             // cell -> times its 32-bit counter wrapped
  FlatMap sparse_{16};              // (lo << 32 | hi) -> visits, when a triangle is too big
};

using OverlapMap = std::unordered_map<image_t, std::unordered_map<image_t, uint64_t>>;

// The whole computation on native records, for tests and native callers.
OverlapMap compute_overlaps(const std::unordered_map<point3D_t, Point3D>& points);

}  // namespace tolv
