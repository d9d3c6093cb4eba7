// Overlap counts of hand-made tracks, and of random tracks against a naive nested-map count.
#include <map>
#include <random>
#include <vector>

#include "overlaps.hpp"
#include "test_runner.hpp"

using namespace tolv;

namespace {

using Tracks = std::vector<std::vector<image_t>>;  // image ids only; point2D_idx plays no part
using Counts = std::map<image_t, std::map<image_t, uint64_t>>;

// Every pair i >= j of every track adds one to [a][b] and one to [b][a].
Counts naive_counts(const Tracks& tracks) {
  Counts counts;
  for (const auto& track : tracks) {
    for (size_t i = 0; i < track.size(); ++i) {
      for (size_t j = 0; j <= i; ++j) {
        ++counts[track[i]][track[j]];
        ++counts[track[j]][track[i]];
      }
    }
  }
  return counts;
}

std::vector<TrackElement> elements_of(const std::vector<image_t>& images) {
  std::vector<TrackElement> elements;
  for (image_t image : images) elements.push_back({image, static_cast<point2D_t>(elements.size())});
  return elements;
}

// Each image's whole row, read row by row: ascending images, the sizes given up front.
Counts counts_by_row(const OverlapCounts& overlaps) {
  Counts counts;
  for (uint32_t a = 0; a < overlaps.image_count(); ++a) {
    auto& row = counts[overlaps.image_id(a)];
    int64_t last = -1;
    overlaps.for_each_in_row(a, [&](uint32_t b, uint64_t count) {
      CHECK(int64_t{b} > last);
      last = b;
      row[overlaps.image_id(b)] = count;
    });
    CHECK_EQ(uint64_t{row.size()}, overlaps.row_size(a));
  }
  return counts;
}

// Each unordered pair must be reported once, and the rows read whole must agree.
Counts counts_of(const OverlapCounts& overlaps) {
  Counts counts;
  std::vector<uint64_t> row_sizes(overlaps.image_count(), 0);
  overlaps.for_each_pair([&](uint32_t a, uint32_t b, uint64_t count) {
    CHECK(a <= b);
    const image_t image_a = overlaps.image_id(a), image_b = overlaps.image_id(b);
    CHECK(counts[image_a].count(image_b) == 0);
    counts[image_a][image_b] = count;
    counts[image_b][image_a] = count;
    ++row_sizes[a];
    if (a != b) ++row_sizes[b];
  });
  for (uint32_t a = 0; a < overlaps.image_count(); ++a) CHECK_EQ(overlaps.row_size(a), row_sizes[a]);
  CHECK(counts_by_row(overlaps) == counts);
  return counts;
}

constexpr OverlapCounts::Method kMethods[] = {OverlapCounts::Method::automatic, OverlapCounts::Method::triangle,
                                              OverlapCounts::Method::rows, OverlapCounts::Method::wide_rows};
const char* const kMethodNames[] = {"automatic", "triangle", "rows", "wide rows"};

// The tracks through the arrays entry: offsets and image ids laid end to end. Rows and
// partners must come in ascending id order, and every count must be non-zero.
Counts counts_of_arrays(const Tracks& tracks) {
  std::vector<int64_t> offsets{0};
  std::vector<image_t> images;
  for (const auto& track : tracks) {
    images.insert(images.end(), track.begin(), track.end());
    offsets.push_back(static_cast<int64_t>(images.size()));
  }
  const CovisibilityRows rows = covisibility_rows(offsets.data(), tracks.size(), images.data(), images.size());
  CHECK_EQ(rows.offsets.size(), rows.image_ids.size() + 1);
  CHECK_EQ(rows.partner_ids.size(), rows.counts.size());
  CHECK_EQ(uint64_t{rows.partner_ids.size()}, static_cast<uint64_t>(rows.offsets.back()));
  Counts counts;
  for (size_t k = 0; k < rows.image_ids.size(); ++k) {
    CHECK(k == 0 || rows.image_ids[k - 1] < rows.image_ids[k]);
    CHECK(rows.offsets[k] < rows.offsets[k + 1]);
    auto& row = counts[rows.image_ids[k]];
    for (auto at = static_cast<size_t>(rows.offsets[k]); at < static_cast<size_t>(rows.offsets[k + 1]); ++at) {
      CHECK(at == static_cast<size_t>(rows.offsets[k]) || rows.partner_ids[at - 1] < rows.partner_ids[at]);
      CHECK(rows.counts[at] != 0);
      row[rows.partner_ids[at]] = rows.counts[at];
    }
  }
  return counts;
}

OverlapCounts count_with(const Tracks& tracks, OverlapCounts::Method method) {
  TrackSet set;
  for (size_t p = 0; p < tracks.size(); ++p) {
    const auto elements = elements_of(tracks[p]);
    set.add_track(p, elements.data(), elements.size());
  }
  return OverlapCounts(std::move(set), method);
}

}  // namespace

TEST(overlaps_of_hand_made_tracks) {
  const struct {
    Tracks tracks;
    Counts expected;
  } cases[] = {
      {{}, {}},
      {{{}, {}}, {}},
      {{{5}}, {{5, {{5, 2}}}}},
      {{{1, 2}}, {{1, {{1, 2}, {2, 1}}}, {2, {{1, 1}, {2, 2}}}}},
      {{{1, 2}, {2, 1}}, {{1, {{1, 4}, {2, 2}}}, {2, {{1, 2}, {2, 4}}}}},
      {{{1, 2, 3}, {2, 3}},
       {{1, {{1, 2}, {2, 1}, {3, 1}}}, {2, {{1, 1}, {2, 4}, {3, 2}}}, {3, {{1, 1}, {2, 2}, {3, 4}}}}},
      {{{3, 3}}, {{3, {{3, 6}}}}},
      {{{1, 1, 2}}, {{1, {{1, 6}, {2, 2}}}, {2, {{1, 2}, {2, 2}}}}},
      {{{4, 4, 4}, {4}}, {{4, {{4, 14}}}}},
      {{{2, 1, 2, 3, 1, 2}},
       {{1, {{1, 6}, {2, 6}, {3, 2}}}, {2, {{1, 6}, {2, 12}, {3, 3}}}, {3, {{1, 2}, {2, 3}, {3, 2}}}}},
      {{{0xFFFFFFFF, 0}}, {{0, {{0, 2}, {0xFFFFFFFF, 1}}}, {0xFFFFFFFF, {{0, 1}, {0xFFFFFFFF, 2}}}}},
  };
  for (size_t k = 0; k < std::size(cases); ++k) {
    CHECK(naive_counts(cases[k].tracks) == cases[k].expected);
    std::unordered_map<point3D_t, Point3D> points;
    for (const auto& images : cases[k].tracks) {
      points[points.size() + 100].track = elements_of(images);
    }
    Counts actual;
    for (const auto& row : compute_overlaps(points)) actual[row.first].insert(row.second.begin(), row.second.end());
    CHECK_EQ(actual == cases[k].expected, true, "case " + std::to_string(k));
    CHECK_EQ(counts_of_arrays(cases[k].tracks) == cases[k].expected, true, "case " + std::to_string(k) + ", arrays");
    for (size_t m = 0; m < std::size(kMethods); ++m) {
      CHECK_EQ(counts_of(count_with(cases[k].tracks, kMethods[m])) == cases[k].expected, true,
               "case " + std::to_string(k) + ", " + kMethodNames[m]);
    }
  }
}

TEST(later_track_of_a_repeated_point_id_replaces_the_earlier) {
  for (size_t m = 0; m < std::size(kMethods); ++m) {
    TrackSet tracks;
    tracks.note_keys_may_repeat();
    const std::pair<point3D_t, std::vector<image_t>> added[] = {{1, {1, 2}}, {2, {2}}, {1, {3, 3}}};
    for (const auto& [id, images] : added) {
      const auto elements = elements_of(images);
      tracks.add_track(id, elements.data(), elements.size());
    }
    const OverlapCounts counts(std::move(tracks), kMethods[m]);
    CHECK_EQ(counts_of(counts) == naive_counts({{2}, {3, 3}}), true, kMethodNames[m]);
    // Image 1 is only in the replaced track: numbering it would give it an empty row.
    CHECK_EQ(counts.image_count(), size_t{2});
  }
}

TEST(overlaps_match_naive_counts_on_random_tracks) {
  const struct {
    const char* name;
    int points;
    uint64_t max_track, id_range;
    int id_pool;         // image ids drawn from this many values below id_range (0: any)
    int point_id_range;  // 0: distinct point ids; else drawn below this, repeating
  } scenarios[] = {
      {"many small ids", 2000, 12, 60, 0, 0},
      {"few huge ids", 300, 20, uint64_t{1} << 32, 20, 0},
      {"many huge ids, sparse pairs", 3000, 2, uint64_t{1} << 32, 0, 0},
      {"many small ids, sparse pairs", 3000, 1, 5000, 0, 0},
      {"repeated point ids", 500, 8, 40, 0, 200},
  };
  std::mt19937_64 random(7);
  for (const auto& s : scenarios) {
    std::vector<image_t> pool;
    for (int k = 0; k < s.id_pool; ++k) pool.push_back(static_cast<image_t>(random() % s.id_range));
    std::map<point3D_t, std::vector<image_t>> latest;
    TrackSet tracks;
    if (s.point_id_range) tracks.note_keys_may_repeat();
    for (int p = 0; p < s.points; ++p) {
      std::vector<image_t> images(random() % (s.max_track + 1));
      for (image_t& image : images) {
        image = pool.empty() ? static_cast<image_t>(random() % s.id_range) : pool[random() % pool.size()];
      }
      const point3D_t id = s.point_id_range ? random() % s.point_id_range : p;
      const auto elements = elements_of(images);
      tracks.add_track(id, elements.data(), elements.size());
      latest[id] = images;
    }
    Tracks counted;
    for (const auto& entry : latest) counted.push_back(entry.second);
    CHECK_EQ(counts_of(OverlapCounts(std::move(tracks))) == naive_counts(counted), true, s.name);
  }
}

TEST(diagonal_count_beyond_32_bits) {
  // 100000 * 100001 / 2 pair visits of image 7 with itself pass 2^32.
  std::vector<image_t> images(100000, 7);
  images.push_back(8);
  std::unordered_map<point3D_t, Point3D> points;
  points[1].track = elements_of(images);
  const OverlapMap result = compute_overlaps(points);
  CHECK_EQ(result.at(7).at(7), uint64_t{100000} * 100001);
  CHECK_EQ(result.at(7).at(8), uint64_t{100000});
  CHECK_EQ(result.at(8).at(7), uint64_t{100000});
  CHECK_EQ(result.at(8).at(8), uint64_t{2});
}

namespace {

// Tracks near an anchor image among image_count, ids spread by id_stride from id_base,
// with the given share (in percent) of elements that repeat an earlier one.
Tracks random_tracks(std::mt19937_64& random, size_t points, uint32_t image_count, size_t max_length,
                     uint64_t id_base, uint64_t id_stride, unsigned repeat_percent) {
  Tracks tracks(points);
  for (auto& track : tracks) {
    const uint32_t anchor = static_cast<uint32_t>(random() % image_count);
    const size_t length = random() % (max_length + 1);
    for (size_t i = 0; i < length; ++i) {
      if (i != 0 && random() % 100 < repeat_percent) {
        track.push_back(track[random() % track.size()]);
        continue;
      }
      const uint32_t dense = (anchor + static_cast<uint32_t>(random() % 40)) % image_count;
      track.push_back(static_cast<image_t>(id_base + dense * id_stride));
    }
  }
  return tracks;
}

// The same counts from each track's image multiplicities: fast on long repeats.
Counts naive_counts_by_multiplicity(const Tracks& tracks) {
  Counts counts;
  for (const auto& track : tracks) {
    std::map<image_t, uint64_t> times;
    for (image_t image : track) ++times[image];
    for (const auto& [a, ca] : times) {
      for (const auto& [b, cb] : times) counts[a][b] += a == b ? ca * (ca + 1) : ca * cb;
    }
  }
  return counts;
}

}  // namespace

TEST(every_counting_method_matches_naive_counts) {
  const struct {
    const char* name;
    size_t points;
    uint32_t images;
    size_t max_length;
    uint64_t id_base, id_stride;
    unsigned repeat_percent;
  } scenarios[] = {
      {"one image", 50, 1, 6, 9, 1, 0},
      {"few images, long tracks", 400, 6, 40, 1, 1, 0},
      {"few images, repeats", 400, 6, 12, 1, 1, 30},
      {"many images", 3000, 5000, 8, 1, 1, 0},
      {"many images, repeats", 3000, 5000, 8, 1, 1, 25},
      {"sparse ids", 2000, 900, 10, 12345, 4000003, 0},
      {"sparse ids up to the top", 2000, 900, 10, 0xFFFFFFFFu - 899u * 4772185u, 4772185, 10},
      {"single-element tracks", 2000, 3000, 1, 1, 1, 0},
      {"long tracks of many images", 60, 9000, 300, 1, 1, 5},
  };
  std::mt19937_64 random(13);
  for (const auto& s : scenarios) {
    const Tracks tracks =
        random_tracks(random, s.points, s.images, s.max_length, s.id_base, s.id_stride, s.repeat_percent);
    const Counts expected = naive_counts(tracks);
    for (size_t m = 0; m < std::size(kMethods); ++m) {
      CHECK_EQ(counts_of(count_with(tracks, kMethods[m])) == expected, true,
               std::string(s.name) + ", " + kMethodNames[m]);
    }
    CHECK_EQ(counts_of_arrays(tracks) == expected, true, std::string(s.name) + ", arrays");
  }
}

TEST(rows_count_past_32_bits) {
  // 70000 copies each of images 7 and 8: their diagonals are 70000 * 70001, their pair
  // 70000 * 70000. (The dense counters' wraps are checked on their own; it would take
  // 2.5e9 visits here.)
  Tracks tracks = {std::vector<image_t>(70000, 7), {8, 9}, {7, 9, 9}};
  tracks[0].insert(tracks[0].end(), 70000, 8);
  Counts expected = naive_counts({{8, 9}, {7, 9, 9}});
  expected[7][7] += uint64_t{70000} * 70001;
  expected[8][8] += uint64_t{70000} * 70001;
  expected[7][8] = expected[8][7] = uint64_t{70000} * 70000;
  CHECK(expected[7][8] > 0xFFFFFFFFu);
  CHECK(counts_of(count_with(tracks, OverlapCounts::Method::rows)) == expected);
  CHECK(counts_of(count_with(tracks, OverlapCounts::Method::wide_rows)) == expected);
}

TEST(dense_counters_wrap_past_32_bits) {
  // 93000 copies of image 7 visit its diagonal 93000 * 93001 / 2 > 2^32 times; with
  // single-image tracks of 2047 more images the counting leaves the square for the triangle.
  for (uint32_t extra_images : {0u, 2047u}) {
    Tracks tracks = {std::vector<image_t>(93000, 7), {8, 9}, {7, 9, 9}};
    tracks[0].push_back(8);
    Tracks small = {{8, 9}, {7, 9, 9}};
    for (uint32_t i = 0; i < extra_images; ++i) {
      tracks.push_back({100 + i});
      small.push_back({100 + i});
    }
    Counts expected = naive_counts(small);
    expected[7][7] += uint64_t{93000} * 93001;
    expected[7][8] = expected[8][7] = 93000;
    expected[8][8] += 2;
    CHECK(expected[7][7] > 0xFFFFFFFFu);
    CHECK_EQ(counts_of(count_with(tracks, OverlapCounts::Method::triangle)) == expected, true,
             std::to_string(extra_images) + " extra images");
  }
}

TEST(rows_report_each_pair_once_in_ascending_rows) {
  std::mt19937_64 random(5);
  const OverlapCounts counts =
      count_with(random_tracks(random, 500, 700, 9, 3, 2, 10), OverlapCounts::Method::rows);
  uint32_t last_row = 0;
  counts.for_each_pair([&](uint32_t a, uint32_t, uint64_t) {
    CHECK(a >= last_row);
    last_row = a;
  });
  CHECK_EQ(last_row + 1, static_cast<uint32_t>(counts.image_count()));
}

TEST(rows_keep_counts_past_32_bits_anywhere_in_a_long_store) {
  // Enough pairs to fill several blocks of stored counts, with a few 64-bit ones among them.
  std::mt19937_64 random(21);
  Tracks tracks = random_tracks(random, 40000, 6000, 8, 1, 1, 0);
  for (image_t image : {image_t{17}, image_t{3001}, image_t{5999}}) {
    tracks.push_back(std::vector<image_t>(66000, image));
    tracks.back().push_back(image + 1);
  }
  const Counts expected = naive_counts_by_multiplicity(tracks);
  CHECK(expected.at(3001).at(3001) > 0xFFFFFFFFu);
  uint64_t pairs = 0;
  for (const auto& row : expected) pairs += row.second.size();
  CHECK(pairs > 3 * 65536);
  OverlapCounts counts = count_with(tracks, OverlapCounts::Method::rows);
  CHECK(counts_of(counts) == expected);
  // Read once more row by row, each row freed once read, as the binding does.
  Counts by_row;
  for (uint32_t a = 0; a < counts.image_count(); ++a) {
    auto& row = by_row[counts.image_id(a)];
    counts.for_each_in_row(a, [&](uint32_t b, uint64_t count) { row[counts.image_id(b)] = count; });
    counts.release_rows_before(a + 1);
  }
  CHECK(by_row == expected);
}

TEST(arrays_entry_refuses_offsets_out_of_step_with_the_image_ids) {
  const image_t images[] = {1, 2, 3};
  const struct {
    std::vector<int64_t> offsets;  // one more than the points
    size_t element_count;
    const char* names;  // what the message must say
  } cases[] = {
      {{1, 3}, 3, "start at 0"},
      {{0, 2, 1, 3}, 3, "never decrease"},
      {{0, -1}, 0, "never decrease"},
      {{0, 2}, 3, "end at the length"},
      {{0, 3, 4}, 3, "pass the length"},
      {{0, 4, 3}, 3, "pass the length"},
      {{0}, 3, "end at the length"},
  };
  for (const auto& c : cases) {
    std::string message;
    try {
      covisibility_rows(c.offsets.data(), c.offsets.size() - 1, images, c.element_count);
    } catch (const TrackArraysError& error) {
      message = error.what();
    }
    CHECK_EQ(message.find(c.names) != std::string::npos, true, message);
  }
}
