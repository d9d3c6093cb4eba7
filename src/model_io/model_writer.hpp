// Writing a whole model, binary or text, to its files' paths. No Python.h.
#pragma once

#include <optional>
#include <string>

#include "model_io/model_reader.hpp"
#include "model_io/model_views.hpp"

namespace tolv::model_io {

// Writes each file of the model to a new file beside its target as it is encoded
// (points3D on a thread of its own while images is written), synced to disk, and only once all of them are there renames them into place (and
// syncs the folder): a failure before the renames leaves every target as it was, and
// no file is ever half written. Paths of rigs and frames are used when the model has
// them; paths.rigs or paths.frames of a model without them name stale files, which are
// removed. On a failure no new file remains beside a target; the failure names the
// target. The views must have passed check_views.
std::optional<FileFailure> write_model_files(const ModelPaths& paths, const ModelViews& model,
                                             WriteFormat format);

// Writes bytes to path as write_model_files writes each file.
std::optional<FileFailure> write_file_whole(const std::string& path, ByteSpan bytes);

}  // namespace tolv::model_io
