#include "support/boxed.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace kestrune::support {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One pointer wide, and a record holding one still moves without throwing (a growing vector of
// records then moves them instead of copying).
static_assert(sizeof(Boxed<Bytes>) == sizeof(void*));
static_assert(std::is_nothrow_move_constructible_v<Boxed<Bytes>>);
static_assert(std::is_nothrow_move_assignable_v<Boxed<Bytes>>);

TEST(SupportBoxed, CopiesAreDeep) {
  Boxed<Bytes> original = Bytes{1, 2};
  Boxed<Bytes> copy = original;
  ASSERT_TRUE(copy.has_value());
  EXPECT_NE(&*copy, &*original);
  copy->push_back(3);
  EXPECT_EQ(*original, (Bytes{1, 2}));

  // Assigning over a value, and assigning an empty box, both leave the source alone.
  Boxed<Bytes> target = Bytes{9};
  target = original;
  EXPECT_EQ(*target, (Bytes{1, 2}));
  EXPECT_NE(&*target, &*original);
  target = Boxed<Bytes>();
  EXPECT_FALSE(target.has_value());
  EXPECT_TRUE(original.has_value());
}

TEST(SupportBoxed, MovesHandTheValueOverAndEmptyTheSource) {
  Boxed<Bytes> source = Bytes{4, 5};
  const Bytes* held = &*source;
  Boxed<Bytes> moved = std::move(source);
  EXPECT_EQ(&*moved, held);
  EXPECT_FALSE(source.has_value());  // the moved-from state is specified: empty

  Boxed<Bytes> assigned = Bytes{7};
  assigned = std::move(moved);
  EXPECT_EQ(&*assigned, held);
  EXPECT_FALSE(moved.has_value());
}

TEST(SupportBoxed, AssignsValuesAndNullopt) {
  Boxed<Bytes> box;
  EXPECT_FALSE(box);
  box = Bytes{1};
  EXPECT_TRUE(box);
  EXPECT_EQ(box->size(), 1u);
  box = Bytes{};  // an empty value is still a value
  EXPECT_TRUE(box.has_value());
  box = std::nullopt;
  EXPECT_FALSE(box.has_value());
  box = Bytes{2};
  box.reset();
  EXPECT_FALSE(box.has_value());
}

TEST(SupportBoxed, EqualityComparesContents) {
  EXPECT_EQ(Boxed<Bytes>(), Boxed<Bytes>());
  EXPECT_NE(Boxed<Bytes>(), Boxed<Bytes>(Bytes{}));
  EXPECT_NE(Boxed<Bytes>(Bytes{}), Boxed<Bytes>());
  EXPECT_EQ(Boxed<Bytes>(Bytes{1, 2}), Boxed<Bytes>(Bytes{1, 2}));
  EXPECT_NE(Boxed<Bytes>(Bytes{1, 2}), Boxed<Bytes>(Bytes{1, 3}));
}

}  // namespace
}  // namespace kestrune::support
