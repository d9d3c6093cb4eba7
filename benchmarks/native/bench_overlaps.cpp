// Micro-benchmark of the native overlap counting: CPU nanoseconds per pair visit as a
// function of the image count, at a fixed number of pair visits, for each counting
// method and for the automatic choice between them.
//
//   bench_overlaps [PAIR_VISITS [IMAGE_COUNT...]]
//
// Tracks are like those of benchmarks/generate.py: 2 plus a Pareto draw long (mean
// about 6, at most 300), their images drawn near an anchor image among its 300
// neighbours in numbering order, tracks in random order of anchor.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "overlaps.hpp"

namespace {

using tolv::OverlapCounts;

struct Tracks {
  std::vector<std::vector<tolv::TrackElement>> tracks;
  uint64_t visits = 0;
};

Tracks make_tracks(uint64_t target_visits, uint32_t images) {
  std::mt19937_64 rng(images);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<uint32_t> anchor_of(0, images - 1);
  const uint32_t band = std::min<uint32_t>(images, 300);
  Tracks out;
  std::vector<uint32_t> pool;
  while (out.visits < target_visits) {
    // 2 + floor(Lomax(2.5) * 6.6), capped: the generator's track lengths.
    const double lomax = std::pow(1.0 - unit(rng), -1.0 / 2.5) - 1.0;
    const size_t length = std::min<size_t>({2 + static_cast<size_t>(lomax * 6.6), 300, band});
    const uint32_t anchor = anchor_of(rng);
    pool.clear();
    for (uint32_t k = 0; k < band; ++k) pool.push_back(k);
    std::vector<tolv::TrackElement> track;
    for (size_t i = 0; i < length; ++i) {
      // Nearer neighbours likelier: pick from a prefix that grows with i.
      const size_t reach = std::min(pool.size(), i + 1 + length / 2);
      const size_t pick = static_cast<size_t>(unit(rng) * reach);
      const uint32_t offset = pool[pick];
      pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(pick));
      const uint32_t image = (anchor + offset + images - band / 2) % images;
      track.push_back({image + 1, static_cast<uint32_t>(i)});
    }
    out.visits += length * (length + 1) / 2;
    out.tracks.push_back(std::move(track));
  }
  return out;
}

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// Best CPU time of several rounds: counting, then one walk over the counted pairs.
double time_counting(const Tracks& input, OverlapCounts::Method method, uint64_t* pairs) {
  double best = 1e30;
  for (int round = 0; round < 3; ++round) {
    tolv::TrackSet set;
    set.reserve_tracks(input.tracks.size());
    for (size_t p = 0; p < input.tracks.size(); ++p) {
      set.add_track(p, input.tracks[p].data(), input.tracks[p].size());
    }
    const double start = cpu_seconds();
    const OverlapCounts counts(std::move(set), method);
    uint64_t entries = 0;
    counts.for_each_pair([&](uint32_t, uint32_t, uint64_t) { ++entries; });
    best = std::min(best, cpu_seconds() - start);
    *pairs = entries;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t visits = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 50000000;
  std::vector<uint32_t> image_counts;
  for (int i = 2; i < argc; ++i) image_counts.push_back(static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)));
  if (image_counts.empty()) image_counts = {100, 300, 1000, 2000, 4000, 8000, 12000, 20000, 30000, 50000};
  const struct {
    const char* name;
    OverlapCounts::Method method;
  } methods[] = {{"automatic", OverlapCounts::Method::automatic},
                 {"triangle", OverlapCounts::Method::triangle},
                 {"rows", OverlapCounts::Method::rows}};
  std::printf("images,tracks,pair_visits,image_pairs,method,seconds,ns_per_visit\n");
  for (const uint32_t images : image_counts) {
    const Tracks input = make_tracks(visits, images);
    for (const auto& m : methods) {
      // A triangle of more than 2^25 cells (about 8,200 images) is never chosen.
      if (m.method == OverlapCounts::Method::triangle && uint64_t{images} * (images + 1) / 2 > (1u << 25)) continue;
      uint64_t pairs = 0;
      const double seconds = time_counting(input, m.method, &pairs);
      std::printf("%u,%zu,%llu,%llu,%s,%.4f,%.3f\n", images, input.tracks.size(),
                  static_cast<unsigned long long>(input.visits), static_cast<unsigned long long>(pairs), m.name,
                  seconds, seconds * 1e9 / static_cast<double>(input.visits));
      std::fflush(stdout);
    }
  }
  return 0;
}
