// Image co-visibility counting over the tracks of 3D points. No Python.h.
//
// For a point p and an image x let c_x(p) be how often x occurs in p's track. The
// result maps a != b to sum_p c_a(p) c_b(p) and a to sum_p c_a(p) (c_a(p) + 1),
// keeping only non-zero entries. Counts are 64-bit, so they never wrap.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/default_init.hpp"
#include "core/flat_map.hpp"
#include "point3d.hpp"

namespace tolv {

// The image ids of every track, copied out of the points so that counting touches
// nothing else. A later track under an already present point id replaces the earlier.
class TrackSet {
 public:
  TrackSet() = default;
  // Moved from, it is left empty. Never copied: its room past the elements is uninitialised.
  TrackSet(TrackSet&& other) noexcept
      : point_ids_(std::move(other.point_ids_)),
        ends_(std::move(other.ends_)),
        image_ids_(std::move(other.image_ids_)),
        element_count_(std::exchange(other.element_count_, 0)),
        keys_may_repeat_(other.keys_may_repeat_) {}
  TrackSet& operator=(TrackSet&&) = delete;

  void reserve_tracks(size_t count);
  void add_track(point3D_t point_id, const TrackElement* elements, size_t length) {
    point_ids_.push_back(point_id);
    if (length > image_ids_.size() - element_count_) grow(length);
    image_t* const out = image_ids_.data() + element_count_;
    for (size_t i = 0; i < length; ++i) out[i] = elements[i].image_id;
    element_count_ += length;
    ends_.push_back(element_count_);
  }
  // The same from a track's image ids alone.
  void add_track(point3D_t point_id, const image_t* image_ids, size_t length) {
    point_ids_.push_back(point_id);
    if (length > image_ids_.size() - element_count_) grow(length);
    std::copy(image_ids, image_ids + length, image_ids_.data() + element_count_);
    element_count_ += length;
    ends_.push_back(element_count_);
  }
  // Only when keys can repeat does counting pay for finding the superseded tracks.
  void note_keys_may_repeat() { keys_may_repeat_ = true; }

 private:
  friend class OverlapCounts;
  // Makes room for length more elements, at least doubling it.
  void grow(size_t length);
  // Trims the elements to those added.
  void finish();
  // Keeps, for each point id, only the track added last.
  void drop_superseded_tracks();
  std::vector<point3D_t> point_ids_;
  std::vector<size_t> ends_;      // track k holds image_ids_[ends_[k-1] .. ends_[k])
  FilledVector<image_t> image_ids_;  // room for tracks to come, not zero-filled
  size_t element_count_ = 0;        // image_ids_[0 .. element_count_) are the tracks' elements
  bool keys_may_repeat_ = false;
};

// Rows of counts, each entry an image and its count. Kept in fixed-size blocks so that
// growing never copies nor holds twice the entries.
class RowStore {
 public:
  // Filled row after row: entries of the current row, then the row's end.
  void append(uint32_t image, uint64_t count);
  void end_row() { row_ends_.push_back(size_); }
  // Or laid out from every row's length up front, then filled in any order.
  void lay_out(const std::vector<uint64_t>& row_lengths);
  uint64_t row_start(size_t row) const { return row == 0 ? 0 : row_ends_[row - 1]; }
  uint64_t row_length(size_t row) const { return row_ends_[row] - row_start(row); }
  void set(uint64_t at, uint32_t image, uint64_t count);

  size_t row_count() const { return row_ends_.size(); }
  // Frees the blocks that hold only rows before this one: those rows are read no more.
  void release_rows_before(size_t row);
  // Calls f(image, count) for each entry of the row, in order.
  template <class F>
  void for_each_in_row(size_t row, F&& f) const {
    const uint64_t end = row_ends_[row];
    for (uint64_t at = row_start(row); at < end; ++at) {
      const Entry& entry = blocks_[static_cast<size_t>(at >> kBlockBits)][at & kBlockMask];
      uint64_t count = entry.count_low;
      if (high_words_.size() != 0) {
        if (const uint64_t* high = high_words_.find(at)) count |= *high << 32;
      }
      f(entry.image, count);
    }
  }

 private:
  struct Entry {
    uint32_t image;
    uint32_t count_low;
  };
  void add_block();
  static constexpr unsigned kBlockBits = 16;  // 512 KiB blocks
  static constexpr uint64_t kBlockMask = (uint64_t{1} << kBlockBits) - 1;

  std::vector<std::unique_ptr<Entry[]>> blocks_;
  size_t released_blocks_ = 0;  // blocks_[0 .. released_blocks_) are freed
  std::vector<uint64_t> row_ends_;
  uint64_t size_ = 0;
  FlatMap high_words_{16};  // entry -> count >> 32, for the rare counts past 32 bits
};

// Pair-visit counts between images, indexed densely 0..image_count()-1. Few images
// are counted in one triangle of counters; many, image by image into rows that hold
// each image's pairs with itself and the images after it. Either way the counts end
// as every image's whole result row, ready to be read in one go.
class OverlapCounts {
 public:
  // wide_rows is rows in 64-bit words, which only inputs of 2^31 track elements and
  // tracks, or images, need; tests choose it (and the others) to check it on small inputs.
  enum class Method { automatic, triangle, rows, wide_rows };
  // Takes the tracks by value: they are released as soon as counting ends. Tests
  // choose the method; everyone else leaves it to the estimate of cost.
  explicit OverlapCounts(TrackSet tracks, Method method = Method::automatic);

  size_t image_count() const { return images_.size(); }
  image_t image_id(uint32_t dense) const { return images_[dense]; }

  // How many entries each image's result row has: its pairs with non-zero counts.
  uint64_t row_size(uint32_t a) const { return heads_.row_length(a) + tails_.row_length(a); }

  // Frees the memory of the rows of the images before a, once the caller has read them.
  void release_rows_before(uint32_t a) {
    heads_.release_rows_before(a);
    tails_.release_rows_before(a);
  }

  // Calls f(b, count) for every non-zero entry of image a's result row, in ascending b.
  template <class F>
  void for_each_in_row(uint32_t a, F&& f) const {
    heads_.for_each_in_row(a, f);
    tails_.for_each_in_row(a, f);
  }

  // Calls f(a, b, count) once for each unordered pair of dense indices a <= b whose
  // count is non-zero; count is result[a][b] (== result[b][a]).
  template <class F>
  void for_each_pair(F&& f) const {
    for (uint32_t a = 0; a < images_.size(); ++a) {
      for_each_in_row(a, [&](uint32_t b, uint64_t count) {
        if (b >= a) f(a, b, count);
      });
    }
  }

 private:
  void renumber_images(FilledVector<image_t>& image_ids);
  bool triangle_pays_off(uint64_t visits) const;
  // Few images: a square, or a triangle past the square's bound.
  void count_dense(TrackSet& tracks, bool may_wrap);
  void count_triangle(TrackSet& tracks, bool may_wrap);
  void count_square(const TrackSet& tracks, bool may_wrap);
  // Counter wraps are checked only where some counter may wrap.
  template <bool kMayWrap>
  void add_triangle_visits(TrackSet& tracks);
  template <bool kMayWrap>
  void count_sorted_track(const uint32_t* d, size_t n);
  template <bool kMayWrap>
  void count_unsorted_track(const uint32_t* d, size_t n);
  // Moves the triangle's rows, the pairs of each image with itself and those before
  // it, into the lower rows, and releases the triangle.
  void store_triangle_rows();
  template <class Word>
  void count_rows(TrackSet& tracks);
  void emit_row(size_t a, uint64_t* counter, uint8_t* touched_blocks, size_t block_count);
  std::vector<image_t> images_;     // dense index -> image id
  std::vector<uint32_t> triangle_;  // while counting, cell hi*(hi+1)/2 + lo: low 32 bits of the visits
  FlatMap carries_{16};             // cell -> times its 32-bit counter wrapped
  // Row a of the result: its entries in heads_, then in tails_. The triangle and the
  // rows fill one of them, the diagonal included, and the other with the first's
  // entries off the diagonal, transposed; the square fills heads_ with whole rows.
  RowStore heads_, tails_;
};

using OverlapMap = std::unordered_map<image_t, std::unordered_map<image_t, uint64_t>>;

// The whole computation on native records, for tests and native callers.
OverlapMap compute_overlaps(const std::unordered_map<point3D_t, Point3D>& points);

// The counts as compressed rows: row k is image image_ids[k] (ascending), its partners
// partner_ids[offsets[k] .. offsets[k + 1]) ascending, each with its count.
struct CovisibilityRows {
  std::vector<image_t> image_ids;
  std::vector<int64_t> offsets;
  std::vector<image_t> partner_ids;
  std::vector<uint64_t> counts;
};

// Tracks given as arrays are out of step with each other: what names which.
class TrackArraysError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The whole computation on tracks as arrays: point k's track is
// track_image_ids[track_offsets[k] .. track_offsets[k + 1]), point_count + 1 offsets,
// each point its own track. Throws TrackArraysError unless the offsets start at 0, never
// decrease and end at element_count; each offset is read once.
CovisibilityRows covisibility_rows(const int64_t* track_offsets, size_t point_count,
                                   const image_t* track_image_ids, size_t element_count);

}  // namespace tolv
