// kept_observations: which elements, points and 2D points stay, on a model whose two
// sides disagree in every way they can, and its refusal of columns out of step.
#include <cstdint>
#include <string>
#include <vector>

#include "model_io/observations.hpp"
#include "test_runner.hpp"

using namespace tolv::model_io;

namespace {

template <class T>
ColumnView<T> view(const std::vector<T>& values) {
  return ColumnView<T>{values.data(), values.size()};
}

// The values as "a b c", with the invalid id as "-".
template <class Column>
std::string listed(const Column& values) {
  std::string text;
  for (const auto value : values) {
    if (!text.empty()) text += ' ';
    text += static_cast<uint64_t>(value) == UINT64_MAX ? "-" : std::to_string(+value);
  }
  return text;
}

constexpr uint64_t NO = kInvalidPoint3DId;

// Images (rows 0, 1, 2) with 3, 2 and 1 2D points; points 10, 11, 12, 13.
struct Sample {
  std::vector<uint64_t> point3D_ids{10, 11, NO, 10, 12, 13};
  std::vector<int64_t> points2D_offsets{0, 3, 5, 6};
  std::vector<uint8_t> image_keep{1, 1, 1};
  std::vector<uint64_t> point_ids{10, 11, 12, 13};
  std::vector<int64_t> track_offsets{0, 3, 6, 8, 9};
  std::vector<uint8_t> point_keep{1, 1, 1, 1};
  // Elements as (image row, 2D point index). 10: (0, 0), (1, 0), and (0, 0) again, all
  // valid. 11: (0, 1) valid; image row 3, which is missing; (1, 5), past the image's 2D
  // points. 12: (2, 0), which names 13, and (1, 0), which names 10; the 2D point that
  // names 12, (1, 1), is in no track. 13: (2, 0) valid.
  std::vector<int64_t> element_image_rows{0, 1, 0, 0, 3, 1, 2, 1, 2};
  std::vector<uint32_t> track_point2D_idxs{0, 0, 0, 1, 0, 5, 0, 0, 0};
  uint64_t min_track_length = 0;

  ObservationInputs inputs() const {
    return {view(point3D_ids), view(points2D_offsets),  view(image_keep),
            view(point_ids),   view(track_offsets),     view(point_keep),
            view(element_image_rows), view(track_point2D_idxs), min_track_length};
  }
};

// The kept observations, and in *ids the kept images' new ids, sized for them.
KeptObservations kept_of(const Sample& sample, std::vector<uint64_t>* ids) {
  size_t kept = 0;
  for (size_t k = 0; k < sample.image_keep.size(); ++k) {
    if (sample.image_keep[k] != 0) {
      kept += static_cast<size_t>(sample.points2D_offsets[k + 1] - sample.points2D_offsets[k]);
    }
  }
  ids->assign(kept, 0);
  return kept_observations(sample.inputs(), IdsOut{ids->data(), ids->size()});
}

TEST(only_valid_observations_stay_and_name_each_other) {
  std::vector<uint64_t> ids;
  const KeptObservations kept = kept_of(Sample(), &ids);
  CHECK_EQ(listed(kept.element_keep), std::string("1 1 1 1 0 0 0 0 1"));
  CHECK_EQ(listed(kept.track_lengths), std::string("3 1 0 1"));
  CHECK_EQ(listed(kept.point_keep), std::string("1 1 1 1"));
  // 12 is named by image 1's second 2D point, which 12's track does not list.
  CHECK_EQ(listed(ids), std::string("10 11 - 10 - 13"));
}

TEST(removed_images_points_and_short_tracks_leave_both_sides) {
  Sample sample;
  sample.image_keep = {1, 0, 1};
  sample.point_keep = {1, 1, 1, 0};
  sample.min_track_length = 2;
  std::vector<uint64_t> ids;
  const KeptObservations kept = kept_of(sample, &ids);
  // 10 keeps its element in image 0 twice; 11 is left with one; 13 is removed.
  CHECK_EQ(listed(kept.element_keep), std::string("1 0 1 0 0 0 0 0 0"));
  CHECK_EQ(listed(kept.track_lengths), std::string("2 0 0 0"));
  CHECK_EQ(listed(kept.point_keep), std::string("1 0 0 0"));
  CHECK_EQ(listed(ids), std::string("10 - - -"));
}

TEST(columns_out_of_step_are_refused_by_name) {
  const struct {
    void (*spoil)(Sample&);
    const char* message;
    size_t fewer_ids = 0;
  } cases[] = {
      {[](Sample& s) { s.points2D_offsets = {0, 3, 5}; },
       "points2D_offsets must hold one entry per row and one more"},
      {[](Sample& s) { s.points2D_offsets = {1, 3, 5, 6}; }, "points2D_offsets must start at 0"},
      {[](Sample& s) { s.points2D_offsets = {0, 5, 3, 6}; }, "points2D_offsets must never decrease"},
      {[](Sample& s) { s.points2D_offsets.back() = 7; },
       "points2D_offsets must end at the length of the columns it cuts"},
      {[](Sample& s) { s.track_offsets = {0, 3, 6, 8, 8}; },
       "track_offsets must end at the length of the columns it cuts"},
      {[](Sample& s) { s.track_offsets = {0, 3, 9, 8, 9}; }, "track_offsets must never decrease"},
      {[](Sample& s) { s.point_keep.pop_back(); }, "point_keep must hold one entry per point"},
      {[](Sample& s) { s.element_image_rows.pop_back(); },
       "element_image_rows must hold one entry per track element"},
      {[](Sample& s) { s.element_image_rows[4] = 4; },
       "element_image_rows must lie in 0 to the number of images"},
      {[](Sample& s) { s.element_image_rows[4] = -1; },
       "element_image_rows must lie in 0 to the number of images"},
      {[](Sample&) {}, "kept_point3D_ids must hold one entry per 2D point of the kept images",
       1},
  };
  for (const auto& c : cases) {
    Sample sample;
    c.spoil(sample);
    std::string message = "<accepted>";
    std::vector<uint64_t> ids(6, 0);  // every 2D point, as for the sample
    try {
      kept_observations(sample.inputs(), IdsOut{ids.data(), ids.size() - c.fewer_ids});
    } catch (const ObservationArraysError& error) {
      message = error.what();
    }
    CHECK_EQ(message, std::string(c.message));
    CHECK_EQ(listed(ids), std::string("0 0 0 0 0 0"), "nothing written");
  }
}

}  // namespace
