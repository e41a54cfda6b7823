// The per-round metric contract: a caller-supplied score of the validation predictions that can
// drive early stopping in place of the objective's validation loss. The Python module implements
// it over a user callable; the boosting loop only sees this interface.
#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace kestrune::engine::trainer {

class PerRoundMetricCallback {
 public:
  virtual ~PerRoundMetricCallback() = default;

  // The metric of one validated round. `predictions` and `targets` are the validation set's, of
  // equal length; `weights` are its sample weights when it has them. Failures are EngineErrors
  // and end the fit unchanged.
  virtual float evaluate(std::span<const float> predictions, std::span<const float> targets,
                         std::optional<std::span<const float>> weights) const = 0;
  // True when a larger metric value is better.
  virtual bool higher_is_better() const = 0;
  // The name reported with the metric's history; the loop copies it once per fit.
  virtual std::string_view metric_name() const = 0;
};

}  // namespace kestrune::engine::trainer
