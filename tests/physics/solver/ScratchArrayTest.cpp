// The step's scratch arrays: pages handed back past a cut keep everything
// before it, and the array stays usable past it.
#include "physics/solver/ScratchArray.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace Tolvane::Physics {
namespace {

TEST(ScratchArray, DroppingPagesPastACutKeepsEveryElementBeforeItAndLeavesTheRestWritable)
{
    // Elements of an odd size, so that the cut falls inside a page and an
    // element straddles a page boundary.
    struct Element {
        std::uint32_t values[13];
    };
    constexpr std::size_t count = 3000;
    ScratchArray<Element> array;
    array.makeRoom(count);
    for (std::size_t k = 0; k < count; ++k)
        for (std::uint32_t& value : array[k].values)
            value = static_cast<std::uint32_t>(k) + 1;

    for (const std::size_t cut : {std::size_t{2999}, std::size_t{1234}, std::size_t{1}, std::size_t{0}}) {
        array.dropFrom(cut);
        for (std::size_t k = 0; k < cut; ++k)
            for (const std::uint32_t value : array[k].values)
                ASSERT_EQ(value, k + 1) << "element " << k << " before cut " << cut;
        // Written again, the dropped elements hold what was written.
        for (std::size_t k = cut; k < count; ++k)
            for (std::uint32_t& value : array[k].values)
                value = static_cast<std::uint32_t>(k) + 1;
        for (std::size_t k = cut; k < count; ++k)
            ASSERT_EQ(array[k].values[12], k + 1) << "element " << k << " after cut " << cut;
    }

    // Growing past the capacity still gives room for every element.
    array.makeRoom(2 * count);
    for (std::size_t k = 0; k < 2 * count; ++k)
        array[k].values[0] = static_cast<std::uint32_t>(k);
    EXPECT_EQ(array[2 * count - 1].values[0], 2 * count - 1);
}

TEST(ScratchArray, GrowingKeepsEveryElementHeldThroughSeveralMoves)
{
    // From empty, then from a block smaller than a page, then past several
    // pages: each growth may move the block.
    ScratchArray<std::uint32_t> array;
    std::size_t filled = 0;
    for (const std::size_t count :
         {std::size_t{10}, std::size_t{700}, std::size_t{5000}, std::size_t{200000}}) {
        array.growKeeping(count);
        ASSERT_GE(array.capacity(), count);
        for (std::size_t k = 0; k < filled; ++k)
            ASSERT_EQ(array[k], k * 7 + 1) << "element " << k << " after growing to " << count;
        for (; filled < count; ++filled)
            array[filled] = static_cast<std::uint32_t>(filled * 7 + 1);
    }
    // Room already there: nothing moves.
    const std::uint32_t* before = array.data();
    array.growKeeping(filled);
    EXPECT_EQ(array.data(), before);
}

TEST(StagePages, HandingBackKeepsWhatTheStagesUsedAndGrowingGivesRoom)
{
    StagePages pages;
    constexpr std::size_t large = 1 << 20;
    std::byte* bytes = pages.room(large);
    for (std::size_t k = 0; k < large; ++k)
        bytes[k] = static_cast<std::byte>(k % 251);
    pages.used(large);
    pages.handBackUnused();
    // A step using a tenth: the pages past it (and an eighth more) go back,
    // what it used stays.
    constexpr std::size_t small = large / 10;
    pages.used(small);
    pages.handBackUnused();
    EXPECT_EQ(pages.room(small), bytes);
    for (std::size_t k = 0; k < small; ++k)
        ASSERT_EQ(bytes[k], static_cast<std::byte>(k % 251)) << "byte " << k;
    // Handed back pages are still there to write.
    bytes[large - 1] = std::byte{7};
    EXPECT_EQ(bytes[large - 1], std::byte{7});
    // Growing gives room for all that is asked.
    bytes = pages.room(3 * large);
    bytes[3 * large - 1] = std::byte{9};
    EXPECT_EQ(bytes[3 * large - 1], std::byte{9});
}

} // namespace
} // namespace Tolvane::Physics
