#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tamrel/fnv_set.hpp"

namespace tamrel {
namespace {

TEST(FnvStringSet, HoldsEveryGivenStringOnceAndNothingSkipped) {
    // Enough strings that every shard is filled on the pool; duplicates, an
    // empty string and skipped items among them.
    std::mt19937 rng(5);
    std::vector<std::string> items;
    for (int i = 0; i < 40000; ++i) {
        std::string s(rng() % 12, 'A');
        for (char& c : s) c = static_cast<char>('A' + rng() % 4);
        items.push_back(s);
    }
    items.push_back("");
    const auto skipped = [](std::size_t i) { return i % 7 == 3; };
    const FnvStringSet set(items.size(), [&](std::size_t i) -> std::optional<std::string_view> {
        if (skipped(i)) return std::nullopt;
        return items[i];
    });
    std::set<std::string> given;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!skipped(i)) given.insert(items[i]);
    }
    for (const std::string& s : items) {
        EXPECT_EQ(set.contains(s), given.count(s) == 1) << s;
    }
    EXPECT_FALSE(set.contains("AAAAAAAAAAAAB"));  // longer than any given
    EXPECT_FALSE(FnvStringSet(0, [](std::size_t) { return std::optional<std::string_view>(); }).contains(""));
}

}  // namespace
}  // namespace tamrel
