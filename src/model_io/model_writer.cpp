// The model's files written beside their targets, then renamed into place.
#include "model_io/model_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "model_io/binary_writer.hpp"
#include "model_io/text_writer.hpp"

namespace tolv::model_io {
namespace {

FileFailure failure(const std::string& path, int code) {
  return FileFailure{path, IoError::from_errno(code)};
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// ".points3D.bin.<pid>-<n>.tmp" beside path: hidden, and unique within this process and
// across processes (O_EXCL settles the rest).
std::string temporary_beside(const std::string& path, uint64_t attempt) {
  static std::atomic<uint64_t> counter{0};
  const size_t slash = path.rfind('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  const uint64_t salt = static_cast<uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  return path.substr(0, base) + "." + path.substr(base) + "." +
         std::to_string(static_cast<long long>(getpid())) + "-" +
         std::to_string(counter.fetch_add(1) + attempt) + "-" + std::to_string(salt % 1000003) +
         ".tmp";
}

// A file written but not yet in place.
struct Staged {
  std::string target;
  std::string temporary;
};

bool write_all(int fd, const uint8_t* data, size_t size, int* error) {
  while (size != 0) {
    const size_t chunk = size < (size_t{1} << 30) ? size : (size_t{1} << 30);
    const ssize_t written = ::write(fd, data, chunk);
    if (written < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// What a file's content is made by: it hands its bytes to the sink, a block at a time.
using Producer = std::function<void(ByteSink&)>;

// Writes to a file descriptor; a failed write stops the producer with its errno.
struct WriteFailed {
  int code;
};

class FileSink final : public ByteSink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}
  void write(const uint8_t* data, size_t size) override {
    int error = 0;
    if (!write_all(fd_, data, size, &error)) throw WriteFailed{error};
  }

 private:
  int fd_;
};

// Writes the content to a new file beside target, synced; the new file keeps the
// target's permissions when it replaces one, else those a plain open gives.
std::optional<FileFailure> stage(const std::string& target, const Producer& produce,
                                 Staged* staged) {
  struct stat existing;
  const bool replaces = ::stat(target.c_str(), &existing) == 0;
  if (replaces && S_ISDIR(existing.st_mode)) return failure(target, EISDIR);
  int fd = -1;
  std::string temporary;
  for (uint64_t attempt = 0; fd < 0; ++attempt) {
    temporary = temporary_beside(target, attempt);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && !(errno == EEXIST && attempt < 100) && errno != EINTR) {
      return failure(target, errno);
    }
  }
  int error = 0;
  if (replaces && ::fchmod(fd, existing.st_mode & 07777) != 0) error = errno;
  if (error == 0) {
    FileSink sink(fd);
    try {
      produce(sink);
    } catch (const WriteFailed& failed) {
      error = failed.code;
    } catch (...) {
      ::close(fd);
      ::unlink(temporary.c_str());
      throw;
    }
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return failure(target, error);
  }
  *staged = Staged{target, temporary};
  return std::nullopt;
}

void remove_staged(const std::vector<Staged>& staged, size_t from) {
  for (size_t k = from; k < staged.size(); ++k) ::unlink(staged[k].temporary.c_str());
}

// Writes the files, then renames them all into place.
// One file staged: its new file, or why not.
struct StageResult {
  Staged staged;
  std::optional<FileFailure> failed;
  std::exception_ptr thrown;
  bool done = false;
};

void stage_into(const std::string& target, const Producer& produce, StageResult* result) {
  try {
    result->failed = stage(target, produce, &result->staged);
  } catch (...) {
    result->thrown = std::current_exception();
  }
  result->done = true;
}

// Writes the files, file `parallel` on a thread of its own (the two large files are
// encoded at once), then renames them all into place. On a failure the new files are
// removed and the first failure in file order is reported.
std::optional<FileFailure> commit(const std::vector<std::string>& targets,
                                  const std::vector<Producer>& contents,
                                  size_t parallel = SIZE_MAX) {
  std::vector<StageResult> results(targets.size());
  {
    std::thread worker;
    if (parallel < targets.size()) {
      try {
        worker = std::thread(stage_into, std::cref(targets[parallel]),
                             std::cref(contents[parallel]), &results[parallel]);
      } catch (...) {  // std::system_error, caught as any: no typeinfo of it needed
        parallel = SIZE_MAX;  // no thread to be had: this one stages it in turn
      }
    }
    for (size_t k = 0; k < targets.size(); ++k) {
      if (k == parallel) continue;
      stage_into(targets[k], contents[k], &results[k]);
      if (results[k].failed || results[k].thrown) break;
    }
    if (worker.joinable()) worker.join();
  }
  std::vector<Staged> staged;
  for (const StageResult& result : results) {
    if (result.done && !result.failed && !result.thrown) staged.push_back(result.staged);
  }
  for (const StageResult& result : results) {
    if (!result.done || (!result.failed && !result.thrown)) continue;
    remove_staged(staged, 0);
    if (result.thrown) std::rethrow_exception(result.thrown);
    return result.failed;
  }
  for (size_t k = 0; k < staged.size(); ++k) {
    if (::rename(staged[k].temporary.c_str(), staged[k].target.c_str()) != 0) {
      const int error = errno;
      remove_staged(staged, k);
      return failure(staged[k].target, error);
    }
  }
  // The renames themselves reach the disk with the folder's entries.
  if (!targets.empty()) {
    const int folder = ::open(folder_of(targets[0]).c_str(), O_RDONLY | O_CLOEXEC);
    if (folder >= 0) {
      ::fsync(folder);  // some file systems cannot sync a folder; the files are synced
      ::close(folder);
    }
  }
  return std::nullopt;
}

Producer bytes_of(ByteSpan bytes) {
  return [bytes](ByteSink& sink) { sink.write(bytes.data, bytes.size); };
}

// The file in the format, encoded a block at a time as it is written.
template <class Views>
Producer file_of(const Views& views, void (*binary)(const Views&, ByteSink&),
                 void (*text)(const Views&, ByteSink&), bool as_text) {
  auto encode = as_text ? text : binary;
  return [&views, encode](ByteSink& sink) { encode(views, sink); };
}

}  // namespace

std::optional<FileFailure> write_file_whole(const std::string& path, ByteSpan bytes) {
  return commit({path}, {bytes_of(bytes)});
}

std::optional<FileFailure> write_model_files(const ModelPaths& paths, const ModelViews& model,
                                             WriteFormat format) {
  const bool text = format == WriteFormat::Text;
  std::vector<Producer> files;
  std::vector<std::string> targets;
  files.push_back(file_of<CameraViews>(model.cameras, &encode_cameras_binary,
                                       &encode_cameras_text, text));
  targets.push_back(paths.cameras);
  files.push_back(file_of<ImageViews>(model.images, &encode_images_binary, &encode_images_text,
                                      text));
  targets.push_back(paths.images);
  files.push_back(file_of<PointViews>(model.points, &encode_points3D_binary,
                                      &encode_points3D_text, text));
  targets.push_back(paths.points3D);
  if (model.rigs && paths.rigs) {
    files.push_back(file_of<RigViews>(*model.rigs, &encode_rigs_binary, &encode_rigs_text, text));
    targets.push_back(*paths.rigs);
  }
  if (model.frames && paths.frames) {
    files.push_back(file_of<FrameViews>(*model.frames, &encode_frames_binary,
                                        &encode_frames_text, text));
    targets.push_back(*paths.frames);
  }
  // points3D alongside images: the two that take long.
  if (auto failed = commit(targets, files, 2)) return failed;
  // A model without rigs leaves no rigs file of an earlier model to be read with it.
  for (const auto* stale : {model.rigs ? nullptr : &paths.rigs,
                            model.frames ? nullptr : &paths.frames}) {
    if (stale != nullptr && *stale && ::unlink((*stale)->c_str()) != 0 && errno != ENOENT) {
      return failure(**stale, errno);
    }
  }
  return std::nullopt;
}

}  // namespace tolv::model_io
