#include "core/error.hpp"

#include <gtest/gtest.h>

#include "engine/error.hpp"

namespace kestrune {
namespace {

using core::CoreError;
using engine::EngineError;

TEST(CoreError, DisplayPrefixesEveryKind) {
  EXPECT_STREQ(CoreError::invalid_config("m").what(), "invalid config: m");
  EXPECT_STREQ(CoreError::validation("m").what(), "validation error: m");
  EXPECT_STREQ(CoreError::io("m").what(), "io error: m");
  EXPECT_STREQ(CoreError::serialization("m").what(), "serialization error: m");
  EXPECT_STREQ(CoreError::not_implemented("m").what(), "not implemented: m");
  EXPECT_EQ(CoreError::validation("a \"b\"").debug(), "Validation(\"a \\\"b\\\"\")");
}

TEST(EngineError, WrapsCoreErrorTextUnchanged) {
  EngineError wrapped(CoreError::validation("row_count must be greater than 0"));
  EXPECT_EQ(wrapped.kind(), engine::EngineErrorKind::Core);
  EXPECT_STREQ(wrapped.what(), "core error: validation error: row_count must be greater than 0");
  EXPECT_EQ(wrapped.message(), "validation error: row_count must be greater than 0");
  EXPECT_EQ(wrapped.debug(), "Core(Validation(\"row_count must be greater than 0\"))");
  EXPECT_STREQ(EngineError::contract_violation("x").what(), "contract violation: x");
  EXPECT_STREQ(EngineError::backend_unavailable("x").what(), "backend unavailable: x");
  EXPECT_EQ(EngineError::invalid_config("x").debug(), "InvalidConfig(\"x\")");
}

TEST(EngineError, WithCoreErrorsConvertsThrownCoreErrors) {
  try {
    engine::with_core_errors([]() -> int { throw CoreError::io("disk"); });
    FAIL() << "expected an EngineError";
  } catch (const EngineError& error) {
    EXPECT_STREQ(error.what(), "core error: io error: disk");
    ASSERT_TRUE(error.core().has_value());
    EXPECT_EQ(error.core()->kind(), core::CoreErrorKind::Io);
  }
}

}  // namespace
}  // namespace kestrune
