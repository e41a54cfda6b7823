// The data model's error: one exception type carrying a kind and a message.
#pragma once

#include <exception>
#include <string>

namespace kestrune::core {

enum class CoreErrorKind { InvalidConfig, Validation, Io, Serialization, NotImplemented };

class CoreError : public std::exception {
 public:
  CoreError(CoreErrorKind kind, std::string message);

  static CoreError invalid_config(std::string message) { return {CoreErrorKind::InvalidConfig, std::move(message)}; }
  static CoreError validation(std::string message) { return {CoreErrorKind::Validation, std::move(message)}; }
  static CoreError io(std::string message) { return {CoreErrorKind::Io, std::move(message)}; }
  static CoreError serialization(std::string message) { return {CoreErrorKind::Serialization, std::move(message)}; }
  static CoreError not_implemented(std::string message) { return {CoreErrorKind::NotImplemented, std::move(message)}; }

  CoreErrorKind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  // Display text: the kind's prefix followed by the message, e.g. "validation error: ...".
  const char* what() const noexcept override { return display_.c_str(); }
  const std::string& display() const noexcept { return display_; }
  // Debug rendering, e.g. Validation("row_count must be greater than 0").
  std::string debug() const;

 private:
  CoreErrorKind kind_;
  std::string message_;
  std::string display_;
};

const char* core_error_kind_name(CoreErrorKind kind) noexcept;

}  // namespace kestrune::core
