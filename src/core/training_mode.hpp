// Records of the morph training mode shared by the trainers and the artifact codecs.
#pragma once

namespace kestrune::core {

// Exponential moving average of one output's gradient mean and standard deviation.
struct GradientEmaStats {
  float mean = 0.0f;
  float std = 1.0f;
  float rate = 0.05f;

  friend bool operator==(const GradientEmaStats&, const GradientEmaStats&) = default;
};

}  // namespace kestrune::core
