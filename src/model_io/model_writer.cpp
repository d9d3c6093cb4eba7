// The model's files written beside their targets, then renamed into place.
#include "model_io/model_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
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

// Writes bytes to a new file beside target, synced; the new file keeps the target's
// permissions when it replaces one, else those a plain open gives.
std::optional<FileFailure> stage(const std::string& target, ByteSpan bytes, Staged* staged) {
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
  bool ok = true;
  if (replaces && ::fchmod(fd, existing.st_mode & 07777) != 0) ok = false, error = errno;
  if (ok) ok = write_all(fd, bytes.data, bytes.size, &error);
  if (ok && ::fsync(fd) != 0) ok = false, error = errno;
  if (::close(fd) != 0 && ok) ok = false, error = errno;
  if (!ok) {
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
std::optional<FileFailure> commit(const std::vector<std::string>& targets,
                                  const std::vector<ByteSpan>& contents) {
  std::vector<Staged> staged;
  staged.reserve(targets.size());
  for (size_t k = 0; k < targets.size(); ++k) {
    Staged one;
    if (auto failed = stage(targets[k], contents[k], &one)) {
      remove_staged(staged, 0);
      return failed;
    }
    staged.push_back(std::move(one));
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

ByteSpan span_of(const FileBytes& bytes) { return ByteSpan{bytes.data(), bytes.size()}; }

}  // namespace

std::optional<FileFailure> write_file_whole(const std::string& path, ByteSpan bytes) {
  return commit({path}, {bytes});
}

std::optional<FileFailure> write_model_files(const ModelPaths& paths, const ModelViews& model,
                                             WriteFormat format) {
  const bool text = format == WriteFormat::Text;
  std::vector<FileBytes> files;
  std::vector<std::string> targets;
  files.reserve(5);
  files.push_back(text ? encode_cameras_text(model.cameras) : encode_cameras_binary(model.cameras));
  targets.push_back(paths.cameras);
  files.push_back(text ? encode_images_text(model.images) : encode_images_binary(model.images));
  targets.push_back(paths.images);
  files.push_back(text ? encode_points3D_text(model.points)
                       : encode_points3D_binary(model.points));
  targets.push_back(paths.points3D);
  if (model.rigs && paths.rigs) {
    files.push_back(text ? encode_rigs_text(*model.rigs) : encode_rigs_binary(*model.rigs));
    targets.push_back(*paths.rigs);
  }
  if (model.frames && paths.frames) {
    files.push_back(text ? encode_frames_text(*model.frames)
                         : encode_frames_binary(*model.frames));
    targets.push_back(*paths.frames);
  }
  std::vector<ByteSpan> contents;
  for (const FileBytes& file : files) contents.push_back(span_of(file));
  if (auto failed = commit(targets, contents)) return failed;
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
