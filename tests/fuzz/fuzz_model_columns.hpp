// Invariants of parsed model columns, shared by the model parsers' fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "model_io/model_columns.hpp"

namespace fuzz {

[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void expect(bool holds, const char* what) {
  if (!holds) broken(what);
}

// Offsets of rows + 1 entries from 0, non-decreasing, ending at the flat length.
inline void check_offsets(const tolv::model_io::Column<int64_t>& offsets, size_t rows, size_t flat,
                          const char* what) {
  expect(offsets.size() == rows + 1 && offsets[0] == 0, what);
  for (size_t k = 0; k < rows; ++k) expect(offsets[k] <= offsets[k + 1], what);
  expect(static_cast<uint64_t>(offsets[rows]) == flat, what);
}

}  // namespace fuzz
