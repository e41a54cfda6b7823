#include "borrow.hpp"

#include <gtest/gtest.h>

namespace kestrune::python {
namespace {

std::string refusal(auto&& attempt) {
  try {
    attempt();
  } catch (const PythonError& error) {
    EXPECT_EQ(error.kind(), PyErrorKind::RuntimeError);
    return error.message();
  }
  return "";
}

TEST(BorrowFlagTest, SharedBorrowsCoexistAndExcludeTheExclusiveOne) {
  BorrowFlag flag;
  {
    auto first = flag.borrow_shared();
    auto second = flag.borrow_shared();
    EXPECT_EQ(refusal([&] { auto exclusive = flag.borrow_exclusive(); }), "Already borrowed");
  }
  {
    auto exclusive = flag.borrow_exclusive();
    EXPECT_EQ(refusal([&] { auto shared = flag.borrow_shared(); }), "Already mutably borrowed");
    EXPECT_EQ(refusal([&] { auto again = flag.borrow_exclusive(); }), "Already borrowed");
  }
  // Every borrow was given back.
  auto exclusive = flag.borrow_exclusive();
}

}  // namespace
}  // namespace kestrune::python
