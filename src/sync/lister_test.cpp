#include "sync/lister.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/run_state.h"
#include "support/system.h"

namespace {

using namespace std::chrono_literals;

// A pair of directories with sub-directories c0, c1, ... on both sides,
// listed as the walk lists them, whose sub-directories the test offers.
class ListerTest : public RunStateTest {
  protected:
    void make(int children)
    {
        for (int i = 0; i < children; ++i) {
            const std::string name = "c" + std::to_string(i);
            tree.file("src/" + name + "/f" + std::to_string(i), "f");
            tree.file("dst/" + name + "/g" + std::to_string(i), "g");
        }
        tree.file("src/c0/deeper/s", "s");
        tree.dir("dst/c0/deeper");
        Filelist_scan(run, dir(tree.path("src")), "", &src_dirs, &src_files, {});
        Filelist_scan(run, dir(tree.path("dst")), "", &dst_dirs, &dst_files, {});
    }

    void offer(lister_t& lister, offered_t* into)
    {
        lister.offer(into, {}, dir(tree.path("src")), dir(tree.path("dst")), &src_dirs, &dst_dirs);
    }

    // Waits until `count` directories are open, at most ten seconds.
    static bool open_dirs_reach(int count)
    {
        for (int i = 0; i < 1000 && open_directories() < count; ++i)
            std::this_thread::sleep_for(10ms);
        return open_directories() == count;
    }

    filelist_head_t src_dirs, src_files, dst_dirs, dst_files;
};

TEST_F(ListerTest, PairsAreHandedOverWholeWithTheOffersOfTheirOwnAndAFailureIsLeftToTheWalk)
{
    make(4);
    fault_plan.fail(fault_op_t::dir_open, tree.path("src/c2"));
    lister_t lister(run, 3);
    offered_t offered;
    offer(lister, &offered);
    // Claimed before a thread took it, a pair is the walk's to list; here
    // they are all listed first: the parent pair, three of its pairs (c2
    // cannot be opened) and c0's own pair, two directories each.
    ASSERT_TRUE(open_dirs_reach(10));
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const std::string name = "c" + std::to_string(i);
        const std::unique_ptr<listed_pair_t> listed = offered.claim(name.c_str());
        if (i == 2) {
            EXPECT_EQ(nullptr, listed);
            continue;
        }
        ASSERT_NE(nullptr, listed);
        EXPECT_STREQ(("f" + std::to_string(i)).c_str(), listed->src_files.next->name());
        EXPECT_STREQ(("g" + std::to_string(i)).c_str(), listed->dst_files.next->name());
        EXPECT_EQ(1u, listed->files_scanned);
        // A claimed pair is gone from the offers.
        EXPECT_EQ(nullptr, offered.claim(name.c_str()));
        if (i == 0) {
            const std::unique_ptr<listed_pair_t> deeper = listed->children.claim("deeper");
            ASSERT_NE(nullptr, deeper);
            EXPECT_STREQ("s", deeper->src_files.next->name());
        }
    }
    EXPECT_EQ(nullptr, offered.claim("not offered"));
}

TEST_F(ListerTest, ListingsAheadStayWithinTheirBudget)
{
    make(6);
    lister_t lister(run, 4, 2, 1000);
    offered_t offered;
    offer(lister, &offered);
    // The test holds the parent pair open (2); each pair listed ahead holds
    // two more, and two pairs are the most.
    ASSERT_TRUE(open_dirs_reach(6));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(6, open_directories());
    // A claim of one of the first two in the walk's order makes room for
    // one more.
    std::unique_ptr<listed_pair_t> claimed = offered.claim(src_dirs.next->name());
    ASSERT_NE(nullptr, claimed);
    EXPECT_TRUE(open_dirs_reach(8));
}

TEST_F(ListerTest, CancelledOffersWaitForAPairBeingListedAndCloseEverything)
{
    make(3);
    std::atomic<bool> listing{false};
    fault_plan.before_dir_open = [&](const std::string& path) {
        if (path == tree.path("src/c0")) {
            listing = true;
            std::this_thread::sleep_for(100ms);
        }
    };
    lister_t lister(run, 2);
    {
        offered_t offered;
        offer(lister, &offered);
        for (int i = 0; i < 200 && !listing; ++i)
            std::this_thread::sleep_for(5ms);
        ASSERT_TRUE(listing);
    }
    // Only the parent pair the test holds is open: nothing listed or being
    // listed outlived its offers.
    EXPECT_EQ(2, open_directories());
}

}  // namespace
