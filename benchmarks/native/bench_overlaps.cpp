// Micro-benchmark of the native overlap counting: nanoseconds per pair visit on
// synthetic tracks (mean length about 5, long tail, images near each other).
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "overlaps.hpp"

int main(int argc, char** argv) {
  const size_t num_points = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 500000;
  const uint32_t num_images = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 1000;
  std::mt19937_64 rng(7);
  std::geometric_distribution<int> extra_length(0.3);
  std::uniform_int_distribution<uint32_t> image(0, num_images - 1);
  std::uniform_int_distribution<int> near(-8, 8);

  std::vector<std::vector<tolv::TrackElement>> tracks(num_points);
  uint64_t visits = 0;
  for (auto& track : tracks) {
    size_t length = 2 + static_cast<size_t>(extra_length(rng));
    if (rng() % 1000 == 0) length = 100 + rng() % 300;  // the long tail
    const uint32_t centre = image(rng);
    for (size_t i = 0; i < length; ++i) {
      const uint32_t id = (centre + num_images + static_cast<uint32_t>(near(rng))) % num_images;
      track.push_back({id + 1, static_cast<uint32_t>(i)});
    }
    visits += length * (length + 1) / 2;
  }

  double best = 1e30;
  for (int round = 0; round < 5; ++round) {
    tolv::TrackSet set;
    set.reserve_tracks(tracks.size());
    for (size_t p = 0; p < tracks.size(); ++p) set.add_track(p, tracks[p].data(), tracks[p].size());
    const std::clock_t start = std::clock();  // CPU time: steady on a shared machine
    tolv::OverlapCounts counts(std::move(set));
    uint64_t entries = 0;
    counts.for_each_pair([&](uint32_t, uint32_t, uint64_t) { ++entries; });
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    if (seconds < best) best = seconds;
    if (round == 0) std::printf("%zu points, %u images, %llu pair visits, %llu image pairs\n",
                                num_points, num_images, static_cast<unsigned long long>(visits),
                                static_cast<unsigned long long>(entries));
  }
  std::printf("counting: %.3f s CPU, %.2f ns per pair visit\n", best, best * 1e9 / visits);
  return 0;
}
