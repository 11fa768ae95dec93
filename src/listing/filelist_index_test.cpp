#include "listing/filelist_index.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/run_state.h"

namespace {

struct FilelistIndexTest : RunStateTest {
    void SetUp() override
    {
        RunStateTest::SetUp();
        Filelist_init(&head);
    }
    void TearDown() override
    {
        Filelist_init(&head);
        RunStateTest::TearDown();
    }
    filelist_t* add(const std::string& name, std::uint64_t size = 0)
    {
        dos_dirent_t entry{};
        std::snprintf(entry.name, sizeof entry.name, "%s", name.c_str());
        entry.size = size;
        Filelist_add(&head, &entry);
        return head.prev;
    }
    filelist_head_t head;
};

}  // namespace

TEST_F(FilelistIndexTest, FindsEveryNameOfSmallAndLargeLists)
{
    for (int count : {3, 24, 25, 1000}) {
        SCOPED_TRACE(count);
        Filelist_init(&head);
        for (int i = 0; i < count; ++i)
            add("name-" + std::to_string(i), static_cast<std::uint64_t>(i));
        const filelist_index_t index(&head);
        for (int i = 0; i < count; ++i) {
            const filelist_t* found = index.find(("name-" + std::to_string(i)).c_str());
            ASSERT_NE(nullptr, found);
            EXPECT_EQ(static_cast<std::uint64_t>(i), found->size);
        }
        EXPECT_EQ(nullptr, index.find("NAME-1"));   // letter case counts
        EXPECT_EQ(nullptr, index.find("name-"));    // whole names only
        EXPECT_EQ(nullptr, index.find(""));
    }
}

TEST_F(FilelistIndexTest, FirstRecordOfANameWinsAsInTheList)
{
    for (int i = 0; i < 40; ++i)
        add("f" + std::to_string(i));
    add("twice", 1);
    add("twice", 2);
    const filelist_index_t index(&head);
    EXPECT_EQ(Filelist_find(&head, "twice"), index.find("twice"));
    EXPECT_EQ(1u, index.find("twice")->size);
}

TEST_F(FilelistIndexTest, ForgottenRecordsAreNotFoundAndOthersStay)
{
    std::vector<filelist_t*> records;
    for (int i = 0; i < 100; ++i)
        records.push_back(add("r" + std::to_string(i)));
    filelist_index_t index(&head);
    for (int i = 0; i < 100; i += 2) {
        index.forget(records[static_cast<std::size_t>(i)]);
        Filelist_remove(&head, records[static_cast<std::size_t>(i)]);
    }
    for (int i = 0; i < 100; ++i) {
        const filelist_t* found = index.find(("r" + std::to_string(i)).c_str());
        if (i % 2 == 0)
            EXPECT_EQ(nullptr, found) << i;
        else
            EXPECT_EQ(records[static_cast<std::size_t>(i)], found) << i;
    }
}
