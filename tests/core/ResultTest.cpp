#include "core/Result.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace kestrel;

namespace {

using Texts = Result<std::string, std::string>;

Result<int, std::string> Half(int n) {
    if (n % 2 != 0)
        return Fail("odd"); // the error converts from what Fail was given
    return n / 2;
}

Result<void, std::string> Check(bool good) {
    if (!good)
        return Fail(std::string("refused"));
    return Ok();
}

} // namespace

TEST(Result, HoldsEitherTheValueOrTheError) {
    const Result<int, std::string> half = Half(8);
    ASSERT_TRUE(half);
    EXPECT_EQ(*half, 4);
    EXPECT_EQ(half.value(), 4);
    const Result<int, std::string> odd = Half(7);
    ASSERT_FALSE(odd);
    EXPECT_EQ(odd.error(), "odd");

    EXPECT_TRUE(Check(true));
    ASSERT_FALSE(Check(false));
    EXPECT_EQ(Check(false).error(), "refused");
    // A result nobody set is a success, as a member that no step has failed yet.
    EXPECT_TRUE((Result<void, std::string>()));
    EXPECT_TRUE(Texts());
    EXPECT_EQ(*Texts(), "");
}

TEST(Result, ValueAndErrorOfTheSameTypeStayApart) {
    Texts value = std::string("v");
    Texts error = Fail(std::string("e"));
    EXPECT_TRUE(value);
    EXPECT_FALSE(error);
    EXPECT_EQ(value->size(), 1u);
    error = value;
    EXPECT_EQ(*error, "v");
    value = Fail(std::string("later"));
    EXPECT_EQ(value.error(), "later");
}

TEST(Result, MoveOnlyValuesAndErrorsMoveOut) {
    Result<std::unique_ptr<int>, std::unique_ptr<std::string>> made = std::make_unique<int>(5);
    std::unique_ptr<int> taken = *std::move(made);
    EXPECT_EQ(*taken, 5);
    Result<void, std::unique_ptr<std::string>> failed = Fail(std::make_unique<std::string>("why"));
    std::unique_ptr<std::string> why = std::move(failed).error();
    EXPECT_EQ(*why, "why");
}

TEST(ResultDeathTest, AskingForTheSideItDoesNotHoldStopsTheProgram) {
    EXPECT_DEATH((void)Check(true).error(), "");
    EXPECT_DEATH((void)Half(3).value(), "");
    EXPECT_DEATH((void)Half(4).error(), "");
}
