// The joint multi-output trainer and its predictor report failures as plain message text (a
// callee's engine error arrives as its display or debug text), so they share one exception type
// whose what() is exactly that text.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrune::engine::joint {

class JointError : public std::runtime_error {
 public:
  explicit JointError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kestrune::engine::joint
