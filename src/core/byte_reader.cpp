// Out-of-bounds messages of the byte reader. No Python.h.
#include "core/byte_reader.hpp"

#include "core/abort.hpp"

namespace tolv {

void throw_range_error(uint64_t end, uint64_t size) {
  abort_call("range end index " + std::to_string(end) + " out of range for slice of length " +
             std::to_string(size));
}

void throw_index_error(uint64_t index, uint64_t size) {
  abort_call("index out of bounds: the len is " + std::to_string(size) + " but the index is " +
             std::to_string(index));
}

}  // namespace tolv
