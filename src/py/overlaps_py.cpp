// compute_overlaps: walks the dict of points into a native TrackSet, counts natively,
// and builds the dict of dicts.
#include "py/overlaps_py.hpp"

#include <vector>

#include "overlaps.hpp"
#include "py/records_py.hpp"

namespace tolv::py {
namespace {

constexpr const char* kPointsParam = "points3D";

// The key through the index protocol into 0..2^64-1. False with the exception set.
bool convert_point_key(PyObject* key, point3D_t* out) {
  OwnedRef index;
  PyObject* number = key;
  if (!PyLong_CheckExact(key)) {
    index = OwnedRef::steal(PyNumber_Index(key));  // may run Python code
    if (!index) {
      resume_panic_from_python();
      return fail_argument(kPointsParam);
    }
    number = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(number);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return fail_argument(kPointsParam);  // OverflowError passes without the prefix
  }
  *out = value;
  return true;
}

// A second walk of the dict, some items ahead of the one being copied, that only asks
// the memory for each item's key and point: their objects lie scattered over the heap,
// and many misses in flight cost hardly more than one. A prefetch never faults, so the
// addresses may go stale (a key's __index__ may change the dict) without harm.
class ItemPrefetch {
 public:
  explicit ItemPrefetch(PyObject* dict) : dict_(dict) {
    for (int k = 0; k < kDistance; ++k) next();
  }
  void next() {
    PyObject *key, *value;
    if (!more_ || !PyDict_Next(dict_, &position_, &key, &value)) {
      more_ = false;
      return;
    }
    __builtin_prefetch(key);
    const char* point = reinterpret_cast<const char*>(value);
    for (int line = 0; line < 3; ++line) __builtin_prefetch(point + 64 * line);
  }

 private:
  static constexpr int kDistance = 12;
  PyObject* dict_;
  Py_ssize_t position_ = 0;
  bool more_ = true;
};

// Copies the tracks of every (key, Point3D) item, in the dict's storage order.
bool collect_tracks(PyObject* points, TrackSet* tracks) {
  PyTypeObject* point_type = point3D_type();
  if (point_type == nullptr) return false;
  const Py_ssize_t initial_size = PyDict_Size(points);
  tracks->reserve_tracks(static_cast<size_t>(initial_size));
  Py_ssize_t position = 0, seen = 0;
  PyObject *borrowed_key, *borrowed_value;
  ItemPrefetch prefetch(points);
  while (PyDict_Next(points, &position, &borrowed_key, &borrowed_value)) {
    prefetch.next();
    if (++seen > initial_size) abort_call("dictionary keys changed during iteration");
    // Held while a key's __index__ may run and change the dict.
    OwnedRef key = OwnedRef::borrow(borrowed_key), value = OwnedRef::borrow(borrowed_value);
    point3D_t point_id = 0;
    if (!convert_point_key(key.get(), &point_id)) return false;
    if (!PyLong_CheckExact(key.get())) tracks->note_keys_may_repeat();
    if (!PyObject_TypeCheck(value.get(), point_type)) {
      set_conversion_error(value.get(), "Point3D");
      return fail_argument(kPointsParam);
    }
    const TrackSpan track = point3D_track(value.get());
    tracks->add_track(point_id, track.elements, track.length);
    if (PyDict_Size(points) != initial_size) {
      abort_call("dictionary changed size during iteration");
    }
  }
  return true;
}

// Image after image, its whole row at once (its dict stays in cache while it fills),
// each dict made at its final size so that filling it never rebuilds its table. The
// counts of the rows already built are freed as the dicts grow.
OwnedRef overlaps_to_dict(OverlapCounts& counts) {
  const size_t image_count = counts.image_count();
  std::vector<OwnedRef> keys(image_count);
  for (uint32_t a = 0; a < image_count; ++a) keys[a] = to_py_uint(counts.image_id(a));
  OwnedRef result = new_py_dict_for(image_count);
  for (uint32_t a = 0; a < image_count; ++a) {
    const OwnedRef row = new_py_dict_for(counts.row_size(a));
    counts.for_each_in_row(a, [&](uint32_t b, uint64_t count) {
      dict_set(row.get(), keys[b].get(), to_py_uint(count).get());
    });
    dict_set(result.get(), keys[a].get(), row.get());
    counts.release_rows_before(a + 1);
  }
  return result;
}

}  // namespace

OwnedRef compute_overlaps_call(PyObject* points, LineSink& progress) {
  if (!PyDict_Check(points)) {
    set_conversion_error(points, "PyDict");
    fail_argument(kPointsParam);
    return {};
  }
  TrackSet tracks;
  if (!collect_tracks(points, &tracks)) return {};
  progress.write_line("Making sets...\n");
  OverlapCounts counts(std::move(tracks));
  progress.write_line("Done!\n");
  return overlaps_to_dict(counts);
}

}  // namespace tolv::py
