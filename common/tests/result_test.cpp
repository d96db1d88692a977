#include "common/result.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

namespace common::test {
namespace {

Result<std::string> nameOf(int n) {
  if (n < 0) return Failure{"no name for " + std::to_string(n)};
  return std::string(static_cast<std::size_t>(n), 'x');
}

Result<void> check(bool fine) {
  if (!fine) return Failure{"not fine"};
  return {};
}

TEST(Result, HoldsTheValueOrTheReason) {
  const Result<std::string> named = nameOf(2);
  ASSERT_TRUE(named.ok());
  EXPECT_EQ(*named, "xx");
  const Result<std::string> refused = nameOf(-1);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "no name for -1");
  EXPECT_THROW((void)refused.value(), std::bad_variant_access);

  EXPECT_TRUE(check(true).ok());
  EXPECT_EQ(check(false).error(), "not fine");

  // A value that only moves, and a reason that is a number.
  Result<std::unique_ptr<int>, std::uint32_t> opened = std::make_unique<int>(7);
  ASSERT_TRUE(opened);
  const std::unique_ptr<int> taken = std::move(opened).value();
  EXPECT_EQ(*taken, 7);
  const Result<std::unique_ptr<int>, std::uint32_t> failed = Failure{std::uint32_t{2}};
  EXPECT_EQ(failed.error(), 2U);
}

}  // namespace
}  // namespace common::test
