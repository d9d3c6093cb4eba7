// The rows method: image after image in ascending order, its whole row counted in one
// array of counters, for many images. No Python.h.
#include <algorithm>
#include <cstring>
#include <vector>

#include "overlaps.hpp"
#include "overlaps_internal.hpp"

namespace tolv {
using namespace counting;
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

template void OverlapCounts::count_rows<uint32_t>(TrackSet& tracks);
template void OverlapCounts::count_rows<uint64_t>(TrackSet& tracks);

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

}  // namespace tolv
