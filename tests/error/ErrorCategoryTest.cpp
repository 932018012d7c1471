// The library's error category: texts, the single instance and equivalence.
#include <davro/error/ErrorCategory.h>
#include <gtest/gtest.h>

#include <system_error>
#include <thread>
#include <vector>

namespace {

TEST(ErrorCategoryTest, NameAndMessages) {
    const std::error_category& category = detail::getErrorCategory();
    EXPECT_STREQ("Strell Files - Error", category.name());
    EXPECT_EQ("Attempting to call functionality which is not implemented.",
              category.message(detail::Yaskel_Error_category::NotImplemented));
    EXPECT_EQ("Null value found when expecting allocated memory.",
              category.message(detail::Yaskel_Error_category::NullValue));
    for (const int value : {1001, 0, -1, 999, 1003, 2147483647}) {
        EXPECT_EQ("Unknown Error Code.", category.message(value)) << value;
    }
    EXPECT_EQ(category.message(1000), std::error_code(1000, category).message());
}

TEST(ErrorCategoryTest, OneInstanceEvenWhenFirstCalledFromManyThreadsAndEquivalence) {
    std::vector<const std::error_category*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = &detail::getErrorCategory(); });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    const std::error_category& category = detail::getErrorCategory();
    for (const std::error_category* each : seen) {
        EXPECT_EQ(&category, each);
    }
    EXPECT_NE(category, std::generic_category());

    // Equivalence needs the same category and value, both ways round.
    const std::error_code code(1000, category);
    EXPECT_TRUE(category.equivalent(code, 1000));
    EXPECT_FALSE(category.equivalent(code, 1002));
    EXPECT_FALSE(category.equivalent(std::error_code(1000, std::generic_category()), 1000));
    const std::error_condition condition = category.default_error_condition(1002);
    EXPECT_EQ(1002, condition.value());
    EXPECT_TRUE(condition.category() == category);
    EXPECT_TRUE(category.equivalent(1002, condition));
    EXPECT_FALSE(category.equivalent(1000, condition));
    EXPECT_TRUE(std::error_code(1002, category) == condition);
    EXPECT_FALSE(std::error_code(1002, std::generic_category()) == condition);
}

}  // namespace
