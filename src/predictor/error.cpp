#include "predictor/error.hpp"

#include "support/debug_text.hpp"

namespace kestrune::predictor {
namespace {

const char* kind_name(PredictorErrorKind kind) noexcept {
  switch (kind) {
    case PredictorErrorKind::Core: return "Core";
    case PredictorErrorKind::InvalidInput: return "InvalidInput";
    case PredictorErrorKind::InvalidModel: return "InvalidModel";
  }
  return "";
}

}  // namespace

PredictorError::PredictorError(PredictorErrorKind kind, std::string message)
    : kind_(kind), message_(std::move(message)) {}

PredictorError::PredictorError(core::CoreError inner)
    : kind_(PredictorErrorKind::Core), message_(inner.display()), core_(std::move(inner)) {}

std::string PredictorError::debug() const {
  const std::string payload = core_ ? core_->debug() : support::debug_quote(message_);
  return std::string(kind_name(kind_)) + "(" + payload + ")";
}

}  // namespace kestrune::predictor
