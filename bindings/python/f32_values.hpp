// A float32 list from Python read where it lies when the object's memory already is one, else
// copied. Training matrices are the largest inputs a call takes; reading them in place keeps the
// quantizer from working on a private copy as large as the caller's array.
//
// A borrowed list is read only while the call prepares its data, before any Python code of the
// caller (objective, metric) runs; the held buffer export keeps the object from being resized or
// freed until the call ends.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "numpy.hpp"
#include "python.hpp"

namespace kestrune::python {

class F32Values {
 public:
  F32Values() = default;
  explicit F32Values(std::vector<float> owned) : owned_(std::move(owned)), values_(owned_) {}
  F32Values(const F32Values&) = delete;
  F32Values& operator=(const F32Values&) = delete;
  // Moving a vector keeps its storage, and a buffer export stays where it was, so the view
  // stays valid.
  F32Values(F32Values&&) noexcept = default;
  F32Values& operator=(F32Values&&) noexcept = default;

  std::span<const float> span() const { return values_; }
  // True when the values are the Python object's own memory.
  bool borrowed() const { return owned_.empty() && !values_.empty(); }

 private:
  friend F32Values to_f32_values(PyObject* object);
  friend F32Values bytes_to_f32_values(std::span<const std::uint8_t> bytes);
  BufferView buffer_;
  std::vector<float> owned_;
  std::span<const float> values_;
};

// Accepts and refuses what to_f32_list does, with the same values and messages; borrows a
// one-dimensional float32 buffer with unit stride at a float-aligned address.
F32Values to_f32_values(PyObject* object);

// bytes_to_f32_vec's values and refusal; borrows the bytes when the machine is little-endian and
// they start at a float-aligned address. `bytes` must outlive the result (a bytes object held by
// the call's arguments does).
F32Values bytes_to_f32_values(std::span<const std::uint8_t> bytes);

}  // namespace kestrune::python
