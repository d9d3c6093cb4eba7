// FlatMap: open-addressing hash map from 64-bit keys to 64-bit values. No Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolv {

// Linear probing over a power-of-two table. The all-ones key is reserved as the
// empty marker; callers never use it (their keys are 32-bit ids or packed pairs
// of dense indices, which stay below it).
class FlatMap {
 public:
  static constexpr uint64_t kEmpty = ~uint64_t{0};

  explicit FlatMap(size_t expected = 16) { rehash(capacity_for(expected)); }

  // The value slot of key, inserted as 0 when missing.
  uint64_t& operator[](uint64_t key) {
    if ((size_ + 1) * 8 > keys_.size() * 7) rehash(keys_.size() * 2);
    size_t slot = find_slot(key);
    if (keys_[slot] == kEmpty) {
      keys_[slot] = key;
      values_[slot] = 0;
      ++size_;
    }
    return values_[slot];
  }

  // Pointer to the value of key, or nullptr.
  const uint64_t* find(uint64_t key) const {
    size_t slot = find_slot(key);
    return keys_[slot] == kEmpty ? nullptr : &values_[slot];
  }

  size_t size() const { return size_; }

  template <class F>
  void for_each(F&& f) const {
    for (size_t i = 0; i < keys_.size(); ++i) {
      if (keys_[i] != kEmpty) f(keys_[i], values_[i]);
    }
  }

 private:
  static size_t capacity_for(size_t expected) {
    size_t capacity = 16;
    while (capacity / 8 * 7 < expected + 1) capacity *= 2;
    return capacity;
  }

  static uint64_t mix(uint64_t key) {
    // A bijective finaliser: sequential ids spread over the whole table.
    key ^= key >> 33;
    key *= 0xff51afd7ed558ccdULL;
    key ^= key >> 33;
    return key;
  }

  size_t find_slot(uint64_t key) const {
    const size_t mask = keys_.size() - 1;
    size_t slot = static_cast<size_t>(mix(key)) & mask;
    while (keys_[slot] != kEmpty && keys_[slot] != key) slot = (slot + 1) & mask;
    return slot;
  }

  void rehash(size_t capacity) {
    std::vector<uint64_t> old_keys(capacity, kEmpty);
    std::vector<uint64_t> old_values(capacity, 0);
    old_keys.swap(keys_);
    old_values.swap(values_);
    for (size_t i = 0; i < old_keys.size(); ++i) {
      if (old_keys[i] == kEmpty) continue;
      const size_t slot = find_slot(old_keys[i]);
      keys_[slot] = old_keys[i];
      values_[slot] = old_values[i];
    }
  }

  std::vector<uint64_t> keys_;
  std::vector<uint64_t> values_;
  size_t size_ = 0;
};

}  // namespace tolv
