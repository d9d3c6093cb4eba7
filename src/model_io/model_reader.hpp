// Reading a whole model, binary or text, from its files' paths. No Python.h.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "core/io_error.hpp"
#include "model_io/format_error.hpp"
#include "model_io/model_columns.hpp"

namespace tolv::model_io {

enum class ModelFormat : uint8_t { Binary = 0, Text = 1 };

// The files of one model; rigs and frames only when the folder has them.
struct ModelPaths {
  std::string cameras;
  std::string images;
  std::string points3D;
  std::optional<std::string> rigs;
  std::optional<std::string> frames;
};

// A file that could not be opened or read.
struct FileFailure {
  std::string path;
  IoError error;
};

// A file whose data are malformed.
struct FileFormatFailure {
  std::string path;
  FormatError error;
};

using ModelReadResult = std::variant<ModelColumns, FileFailure, FileFormatFailure>;

// Reads and parses every file, the large ones on threads of their own when threads is
// true. The result never depends on the threads: when several files fail, the failure
// reported is that of the first in the order cameras, images, points3D, rigs, frames.
ModelReadResult read_model_files(const ModelPaths& paths, ModelFormat format, bool threads);

// True when some id occurs twice (ids stored in increasing order are checked in one pass).
bool has_repeated_ids(const Column<uint32_t>& ids);
bool has_repeated_ids(const Column<uint64_t>& ids);

}  // namespace tolv::model_io
