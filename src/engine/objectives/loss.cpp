#include "engine/objectives/loss.hpp"

#include <cmath>
#include <cstddef>

namespace kestrune::engine::objectives {
namespace {

// The running float total of `terms` in row order over their count, the arithmetic of
// mean_logistic_loss: given the terms its rows would give, the same float. 0 for no terms.
float mean_of_loss_terms(std::span<const float> terms) {
  if (terms.empty()) return 0.0f;
  float sum = 0.0f;
  for (const float term : terms) sum += term;
  return sum / static_cast<float>(terms.size());
}

}  // namespace

float squared_error_loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights) {
  check_lengths(predictions.size(), targets.size(), weights);
  const std::size_t n = targets.size();
  if (n == 0) return 0.0f;
  float sum = 0.0f;
  if (weights) {
    const float* w = weights->data();
    for (std::size_t i = 0; i < n; ++i) {
      const float d = predictions[i] - targets[i];
      sum += w[i] * (d * d);
    }
  } else {
    // Four interleaved partial sums (row i goes to sum i mod 4) so the loop vectorises; the result
    // is fixed by this order, not by what the compiler picks.
    float partial[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    const std::size_t blocked = n - n % 4;
    for (std::size_t i = 0; i < blocked; i += 4) {
      for (std::size_t k = 0; k < 4; ++k) {
        const float d = predictions[i + k] - targets[i + k];
        partial[k] += d * d;
      }
    }
    sum = ((partial[0] + partial[1]) + partial[2]) + partial[3];
    for (std::size_t i = blocked; i < n; ++i) {
      const float d = predictions[i] - targets[i];
      sum += d * d;
    }
  }
  return sum / static_cast<float>(n);
}

float mean_logistic_loss_when_idle(std::span<const float> predictions, std::span<const float> targets,
                                   const Weights& weights, std::span<float> terms) {
  parallel::for_chunks_when_idle(terms.size(), kRowChunk, [&](std::size_t first, std::size_t last) {
    const std::span<const float> f = predictions.subspan(first, last - first);
    const std::span<float> out = terms.subspan(first, last - first);
    exp_minus_abs_into(f, out);
    for (std::size_t k = 0; k < out.size(); ++k) {
      const float term = logistic_loss_term(f[k], targets[first + k], out[k]);
      out[k] = weights ? term * (*weights)[first + k] : term;
    }
  });
  return mean_of_loss_terms(terms);
}

float binary_crossentropy_loss(std::span<const float> predictions, std::span<const float> targets,
                               const Weights& weights) {
  check_lengths(predictions.size(), targets.size(), weights);
  return mean_logistic_loss(targets, weights, [&](std::size_t first, std::span<float> terms) {
    const std::span<const float> f = predictions.subspan(first, terms.size());
    exp_minus_abs_into(f, terms);
    for (std::size_t k = 0; k < terms.size(); ++k) terms[k] = logistic_loss_term(f[k], targets[first + k], terms[k]);
  });
}

}  // namespace kestrune::engine::objectives
