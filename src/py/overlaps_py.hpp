// The Python side of compute_overlaps.
#pragma once

#include "core/line_writer.hpp"
#include "py/owned_ref.hpp"

namespace tolv::py {

// compute_overlaps(points3D) once the argument is bound; empty with an exception set
// when the dict cannot be converted.
OwnedRef compute_overlaps_call(PyObject* points, LineSink& progress);

}  // namespace tolv::py
