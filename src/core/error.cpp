#include "core/error.hpp"

#include "support/debug_text.hpp"

namespace kestrune::core {
namespace {

const char* display_prefix(CoreErrorKind kind) noexcept {
  switch (kind) {
    case CoreErrorKind::InvalidConfig: return "invalid config: ";
    case CoreErrorKind::Validation: return "validation error: ";
    case CoreErrorKind::Io: return "io error: ";
    case CoreErrorKind::Serialization: return "serialization error: ";
    case CoreErrorKind::NotImplemented: return "not implemented: ";
  }
  return "";
}

}  // namespace

const char* core_error_kind_name(CoreErrorKind kind) noexcept {
  switch (kind) {
    case CoreErrorKind::InvalidConfig: return "InvalidConfig";
    case CoreErrorKind::Validation: return "Validation";
    case CoreErrorKind::Io: return "Io";
    case CoreErrorKind::Serialization: return "Serialization";
    case CoreErrorKind::NotImplemented: return "NotImplemented";
  }
  return "";
}

CoreError::CoreError(CoreErrorKind kind, std::string message)
    : kind_(kind), message_(std::move(message)), display_(display_prefix(kind) + message_) {}

std::string CoreError::debug() const {
  return std::string(core_error_kind_name(kind_)) + "(" + support::debug_quote(message_) + ")";
}

}  // namespace kestrune::core
