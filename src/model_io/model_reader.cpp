// The model reader: maps each file, parses it, on threads where that pays. No Python.h.
#include "model_io/model_reader.hpp"

#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/flat_map.hpp"
#include "core/mapped_file.hpp"
#include "model_io/binary_model.hpp"
#include "model_io/text_model.hpp"

namespace tolv::model_io {
namespace {

// One file's outcome: nothing yet, or the failure that ended its parse.
struct FileJob {
  const std::string* path = nullptr;
  std::optional<FileFailure> io_failure;
  std::optional<FileFormatFailure> format_failure;
  std::exception_ptr other_failure;  // std::bad_alloc and the like, rethrown on the caller

  template <class Parse, class Columns>
  void run(Parse parse, Columns* out) {
    try {
      IoResult<MappedFile> file = MappedFile::open(*path);
      if (!file) {
        io_failure = FileFailure{*path, file.error()};
        return;
      }
      *out = parse(file.value().bytes());
    } catch (FormatError& error) {
      format_failure = FileFormatFailure{*path, std::move(error)};
    } catch (...) {
      other_failure = std::current_exception();
    }
  }
};

template <class T>
bool repeated(const Column<T>& ids) {
  bool increasing = true;
  for (size_t k = 1; k < ids.size() && increasing; ++k) increasing = ids[k - 1] < ids[k];
  if (increasing) return false;
  // FlatMap reserves the all-ones key as its empty marker: that id is tracked apart.
  FlatMap seen(ids.size());
  bool seen_all_ones = false;
  for (T id : ids) {
    if (uint64_t{id} == ~uint64_t{0}) {
      if (seen_all_ones) return true;
      seen_all_ones = true;
      continue;
    }
    uint64_t& count = seen[uint64_t{id}];
    if (count != 0) return true;
    count = 1;
  }
  return false;
}

}  // namespace

bool has_repeated_ids(const Column<uint32_t>& ids) { return repeated(ids); }
bool has_repeated_ids(const Column<uint64_t>& ids) { return repeated(ids); }

ModelReadResult read_model_files(const ModelPaths& paths, ModelFormat format, bool threads) {
  const bool binary = format == ModelFormat::Binary;
  ModelColumns model;
  if (paths.rigs) model.rigs.emplace();
  if (paths.frames) model.frames.emplace();

  FileJob jobs[5];
  jobs[0].path = &paths.cameras;
  jobs[1].path = &paths.images;
  jobs[2].path = &paths.points3D;
  jobs[3].path = paths.rigs ? &*paths.rigs : nullptr;
  jobs[4].path = paths.frames ? &*paths.frames : nullptr;

  // images and points3D are the large files: one on a thread of its own, the other
  // with the small files on the calling thread.
  auto points_job = [&] {
    jobs[2].run(binary ? &parse_points3D_binary : &parse_points3D_text, &model.points);
  };
  auto other_jobs = [&] {
    jobs[0].run(binary ? &parse_cameras_binary : &parse_cameras_text, &model.cameras);
    if (binary) {
      jobs[1].run(&parse_images_binary, &model.images);
    } else {
      // images.txt is the longest parse: with threads, two workers share its second pass.
      const unsigned workers = threads ? 2 : 1;
      jobs[1].run([workers](ByteSpan bytes) { return parse_images_text(bytes, workers); },
                  &model.images);
    }
    if (model.rigs) jobs[3].run(binary ? &parse_rigs_binary : &parse_rigs_text, &*model.rigs);
    if (model.frames) {
      jobs[4].run(binary ? &parse_frames_binary : &parse_frames_text, &*model.frames);
    }
  };
  std::thread points_thread;
  if (threads) {
    try {
      points_thread = std::thread(points_job);
    } catch (...) {  // std::thread throws std::system_error
      // no thread to be had: the points are read on this thread below
    }
  }
  other_jobs();
  if (points_thread.joinable()) {
    points_thread.join();
  } else {
    points_job();
  }

  for (FileJob& job : jobs) {
    if (job.path == nullptr) continue;
    if (job.other_failure) std::rethrow_exception(job.other_failure);
    if (job.io_failure) return std::move(*job.io_failure);
    if (job.format_failure) return std::move(*job.format_failure);
  }
  return model;
}

}  // namespace tolv::model_io
