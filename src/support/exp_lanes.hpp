// Exponentials of many floats at once, each the very float std::exp gives for it.
//
// The losses take exp(-|f|) of every row, always of a non-positive value. For those, where the
// processor has AVX2 and FMA, the exponentials are computed four doubles to a register with the
// steps the C library's own single-precision exp takes there, so the results are its results bit
// for bit. That holds only for a C library that takes those steps: the vector form is used after
// it has been compared with std::exp on a set of inputs that tell the variants apart, once per
// process; otherwise every element goes to std::exp.
#pragma once

#include <cstdint>
#include <span>

namespace kestrune::support {

// out[i] = std::exp(x[i]), bit for bit, for every i. Fastest for inputs <= 0; positive and NaN
// inputs are handed to std::exp one at a time. `out` has x's length and is either x's own storage
// (the exponentials replace the inputs) or does not overlap it.
void exp_batch(std::span<const float> x, std::span<float> out);

namespace detail {

// How exp_batch computes in this process, decided on its first call.
enum class ExpForm { scalar, avx2_fma };
ExpForm exp_batch_form();

// The two forms, under exp_batch's contract; the vector one only where cpu_has_avx2_fma().
void exp_batch_scalar(std::span<const float> x, std::span<float> out);
void exp_batch_avx2_fma(std::span<const float> x, std::span<float> out);

// The vector form's table: entry i holds the bits of 2^(i/32) rounded to double, less i << 47.
std::span<const std::uint64_t, 32> exp2_fraction_table();

}  // namespace detail
}  // namespace kestrune::support
