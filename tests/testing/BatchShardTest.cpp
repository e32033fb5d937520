// The split of a plan over CI jobs: every part computed on its own must add up to the plan.
#include "testing/batch/BatchShard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

namespace kestrel {
namespace {

std::vector<std::string> Names(int count, const std::string& prefix = "m") {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i)
        names.push_back(prefix + std::to_string(i * 7919 % 100003) + ".kst");
    return names;
}

// Every name lands in exactly one part in range, and the parts together are the plan.
void ExpectPartition(const std::vector<int>& parts, std::size_t size, int count) {
    ASSERT_EQ(parts.size(), size);
    for (const int part : parts) {
        EXPECT_GE(part, 0);
        EXPECT_LT(part, count);
    }
}

TEST(BatchShard, EveryPartitionHoldsEachModuleOnceForOneToSevenParts) {
    for (const int size : {0, 1, 5, 1000}) {
        const std::vector<std::string> names = Names(size);
        std::map<std::string, double> known;
        for (int i = 0; i < size; i += 3)
            known[names[static_cast<std::size_t>(i)]] = 0.1 * (i % 17);
        const std::vector<double> seconds = ExpectedSeconds(names, known);
        for (int count = 1; count <= 7; ++count) {
            SCOPED_TRACE(std::to_string(size) + " modules, " + std::to_string(count) + " parts");
            ExpectPartition(SplitByHash(names, count), names.size(), count);
            const std::vector<int> timed = SplitBySeconds(names, seconds, count);
            ExpectPartition(timed, names.size(), count);
            // The same inputs in another order (another machine's folder order) give each
            // module the same part.
            std::vector<std::size_t> order(names.size());
            for (std::size_t i = 0; i < order.size(); ++i)
                order[i] = i;
            std::mt19937 random(7);
            std::shuffle(order.begin(), order.end(), random);
            std::vector<std::string> shuffled;
            std::vector<double> shuffledSeconds;
            for (const std::size_t i : order) {
                shuffled.push_back(names[i]);
                shuffledSeconds.push_back(seconds[i]);
            }
            const std::vector<int> again = SplitBySeconds(shuffled, shuffledSeconds, count);
            const std::vector<int> hashed = SplitByHash(names, count);
            const std::vector<int> hashedAgain = SplitByHash(shuffled, count);
            for (std::size_t k = 0; k < order.size(); ++k) {
                EXPECT_EQ(again[k], timed[order[k]]) << names[order[k]];
                EXPECT_EQ(hashedAgain[k], hashed[order[k]]);
            }
        }
    }
}

TEST(BatchShard, AddingOrRemovingAModuleMovesNoOtherWithoutDurations) {
    std::vector<std::string> names = Names(300);
    const std::vector<int> before = SplitByHash(names, 4);
    names.push_back("new_module.kst");
    const std::vector<int> added = SplitByHash(names, 4);
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(added[i], before[i]) << names[i];
    names.erase(names.begin() + 17);
    const std::vector<int> removed = SplitByHash(names, 4);
    for (std::size_t i = 0; i + 1 < names.size(); ++i)
        EXPECT_EQ(removed[i], added[i < 17 ? i : i + 1]) << names[i];
    // The split is not all in one part.
    EXPECT_GT(std::set<int>(before.begin(), before.end()).size(), 3u);
}

TEST(BatchShard, DurationsOfAnotherCatalogueStillSplitCompletely) {
    // Renamed and deleted modules in the file, new ones in the plan: the unknown count as the
    // median of the known.
    const std::vector<std::string> names = {"a.kst", "b.kst", "c.kst", "new1.kst", "new2.kst"};
    const std::map<std::string, double> known = {{"a.kst", 10}, {"b.kst", 2}, {"c.kst", 4}, {"gone.kst", 100}};
    const std::vector<double> seconds = ExpectedSeconds(names, known);
    EXPECT_EQ(seconds, (std::vector<double>{10, 2, 4, 4, 4}));
    const std::vector<int> parts = SplitBySeconds(names, seconds, 2);
    ExpectPartition(parts, names.size(), 2);
    // Longest first onto the least loaded: a (10) on the first, c, new1, new2 (4 each, in
    // name order) on the second, then b onto the first, now the lighter (10 against 12).
    EXPECT_EQ(parts, (std::vector<int>{0, 0, 1, 1, 1}));
    // Nothing known: each counts 1 s, and the split is by count.
    const std::vector<double> none = ExpectedSeconds(names, {});
    EXPECT_EQ(none, std::vector<double>(5, 1.0));
    const std::vector<int> even = SplitBySeconds(names, none, 2);
    EXPECT_EQ(std::count(even.begin(), even.end(), 0), 3);
}

TEST(BatchShard, ShardTextsAndGlobs) {
    EXPECT_EQ(ParseShard("1/1")->count, 1);
    EXPECT_EQ(ParseShard("3/4")->index, 3);
    for (const char* bad : {"0/4", "5/4", "1/0", "a/b", "1/", "/2", "1/2/3", "-1/2", "1 /2", "", "2"})
        EXPECT_FALSE(ParseShard(bad)) << bad;
    EXPECT_TRUE(NameMatches("a_*.kst", "a_ok.kst"));
    EXPECT_FALSE(NameMatches("a_*.kst", "b_a_ok.kst"));
    EXPECT_TRUE(NameMatches("[ab]?.kst", "b1.kst"));
    EXPECT_TRUE(NameSelected("x.kst", {}, {}));
    EXPECT_FALSE(NameSelected("x.kst", {"y*"}, {}));
    EXPECT_FALSE(NameSelected("y1.kst", {"y*"}, {"*1.kst"}));
    EXPECT_TRUE(NameSelected("y2.kst", {"q*", "y*"}, {"*1.kst"}));
}

} // namespace
} // namespace kestrel
