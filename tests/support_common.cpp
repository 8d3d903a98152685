// SPDX-License-Identifier: Apache-2.0
// Checks the helper classes of common.h: B owns its array, no two live objects share one and
// deleting through a B pointer releases everything, and the counters count what they are named
// for.
//
// The program replaces the global allocation functions with ones that record every block, so
// the tests can ask what became of a block, and how many releases there were.

#include "common.h"

namespace
{

// Every block the program allocates, in the order allocated. Blocks are never reused, so an
// address names one block for the whole run.
struct Heap {
    enum State { kUnknown, kLiveObject, kLiveArray, kReleased };

    struct Block {
        alignas(16) unsigned char mBytes[64];
        State mState;
    };

    static Block mBlocks[128];
    static size_t mCount;
    static size_t mReleaseCount;
    static size_t mBadReleaseCount;

    static void* allocate(size_t size, State state)
    {
        if (size > sizeof mBlocks[0].mBytes || mCount == sizeof mBlocks / sizeof mBlocks[0]) {
            __builtin_trap();
        }
        mBlocks[mCount].mState = state;
        return mBlocks[mCount++].mBytes;
    }

    // Releasing anything but a live block of the same kind (object or array) is a fault.
    static void release(void* address, State expected)
    {
        if (address == nullptr) {
            return;
        }
        Block* block = find(address);
        if (block == nullptr || block->mState != expected) {
            ++mBadReleaseCount;
            return;
        }
        block->mState = kReleased;
        ++mReleaseCount;
    }

    static State stateOf(const void* address)
    {
        const Block* block = find(address);
        return block == nullptr ? kUnknown : block->mState;
    }

    static size_t liveCount()
    {
        size_t live = 0;
        for (size_t i = 0; i != mCount; ++i) {
            live += mBlocks[i].mState == kReleased ? 0 : 1;
        }
        return live;
    }

    static Block* find(const void* address)
    {
        for (size_t i = 0; i != mCount; ++i) {
            if (mBlocks[i].mBytes == address) {
                return &mBlocks[i];
            }
        }
        return nullptr;
    }
};

Heap::Block Heap::mBlocks[128];
size_t Heap::mCount;
size_t Heap::mReleaseCount;
size_t Heap::mBadReleaseCount;

// A class derived from B with an array of its own, released only if B's destructor is virtual.
struct DerivedFromB : B {
    char* mExtra;

    DerivedFromB() : mExtra(new char[4]) {}
    ~DerivedFromB() { delete[] mExtra; }

    DerivedFromB(const DerivedFromB&) = delete;
    DerivedFromB& operator=(const DerivedFromB&) = delete;
};

} // namespace

void* operator new(size_t size)
{
    return Heap::allocate(size, Heap::kLiveObject);
}
void* operator new[](size_t size)
{
    return Heap::allocate(size, Heap::kLiveArray);
}
void operator delete(void* address) noexcept
{
    Heap::release(address, Heap::kLiveObject);
}
void operator delete[](void* address) noexcept
{
    Heap::release(address, Heap::kLiveArray);
}
#ifdef __cpp_sized_deallocation
void operator delete(void* address, size_t) noexcept
{
    Heap::release(address, Heap::kLiveObject);
}
void operator delete[](void* address, size_t) noexcept
{
    Heap::release(address, Heap::kLiveArray);
}
#endif

namespace kelvo
{

bool testBOwnsAnArray()
{
    const B b;
    CHECK_TRUE(Heap::stateOf(b.mChunk) == Heap::kLiveArray);
    return true;
}

bool testCopiedBHasAnArrayOfItsOwn()
{
    const B original;
    original.mChunk[0] = 'x';
    // NOLINTNEXTLINE(performance-unnecessary-copy-initialization): the copy is what is tested
    const B copy(original);
    CHECK_TRUE(copy.mChunk != original.mChunk);
    CHECK_TRUE(Heap::stateOf(copy.mChunk) == Heap::kLiveArray);
    CHECK_TRUE(Heap::stateOf(original.mChunk) == Heap::kLiveArray);
    CHECK_TRUE(copy.mChunk[0] == 'x');
    return true;
}

bool testAssignedBKeepsAnArrayOfItsOwn()
{
    const size_t liveBefore = Heap::liveCount();
    {
        const B source;
        B target;
        target = source;
        CHECK_TRUE(target.mChunk != source.mChunk);
        CHECK_TRUE(Heap::stateOf(target.mChunk) == Heap::kLiveArray);
        CHECK_TRUE(Heap::stateOf(source.mChunk) == Heap::kLiveArray);
        // The array that target held before is not leaked: two objects, two arrays.
        CHECK_TRUE(Heap::liveCount() == liveBefore + 2);
    }
    CHECK_TRUE(Heap::liveCount() == liveBefore);
    CHECK_TRUE(Heap::mBadReleaseCount == 0);
    return true;
}

bool testSelfAssignedBKeepsItsArray()
{
    B b;
    b.mChunk[0] = 'y';
    const B& same = b;
    b = same;
    CHECK_TRUE(Heap::stateOf(b.mChunk) == Heap::kLiveArray);
    CHECK_TRUE(b.mChunk[0] == 'y');
    CHECK_TRUE(Heap::mBadReleaseCount == 0);
    return true;
}

bool testDeletingBReleasesTheArrayAndTheObject()
{
    B* b = new B;
    const void* object = b;
    const char* chunk = b->mChunk;
    delete b;
    CHECK_TRUE(Heap::stateOf(chunk) == Heap::kReleased);
    CHECK_TRUE(Heap::stateOf(object) == Heap::kReleased);
    CHECK_TRUE(Heap::mBadReleaseCount == 0);
    return true;
}

bool testDeletingBWithoutArrayReleasesOnlyTheObject()
{
    B* b = new B;
    const void* object = b;
    delete[] b->mChunk;
    b->mChunk = nullptr;
    const size_t releasesBefore = Heap::mReleaseCount;
    delete b;
    CHECK_TRUE(Heap::mReleaseCount == releasesBefore + 1);
    CHECK_TRUE(Heap::stateOf(object) == Heap::kReleased);
    CHECK_TRUE(Heap::mBadReleaseCount == 0);
    return true;
}

bool testDeletingThroughBRunsTheDerivedDestructor()
{
    DerivedFromB* derived = new DerivedFromB;
    const char* extra = derived->mExtra;
    const char* chunk = derived->mChunk;
    B* b = derived;
    delete b;
    CHECK_TRUE(Heap::stateOf(extra) == Heap::kReleased);
    CHECK_TRUE(Heap::stateOf(chunk) == Heap::kReleased);
    CHECK_TRUE(Heap::mBadReleaseCount == 0);
    return true;
}

bool testCopyCounterCountsCopies()
{
    CopyCounter::mCount = 0;
    CopyCounter original;
    CHECK_TRUE(CopyCounter::mCount == 0);
    CopyCounter copy(original);
    CHECK_TRUE(CopyCounter::mCount == 1);
    copy = original;
    CHECK_TRUE(CopyCounter::mCount == 2);
    return true;
}

bool testCtorDtorCounterCountsEachOperation()
{
    CtorDtorCounter::reset();
    {
        CtorDtorCounter original;
        CtorDtorCounter copy(original);
        copy = original;
        CHECK_TRUE(CtorDtorCounter::mCtorCount == 1);
        CHECK_TRUE(CtorDtorCounter::mCopyCtorCount == 1);
        CHECK_TRUE(CtorDtorCounter::mAssignCount == 1);
        CHECK_TRUE(CtorDtorCounter::mDtorCount == 0);
    }
    CHECK_TRUE(CtorDtorCounter::mDtorCount == 2);
    CtorDtorCounter::reset();
    CHECK_TRUE(CtorDtorCounter::mCtorCount == 0);
    CHECK_TRUE(CtorDtorCounter::mCopyCtorCount == 0);
    CHECK_TRUE(CtorDtorCounter::mAssignCount == 0);
    CHECK_TRUE(CtorDtorCounter::mDtorCount == 0);
    return true;
}

bool testMaxSizeTHasAllBitsSet()
{
    CHECK_TRUE(kMaxSizeT + 1 == 0);
    CHECK_TRUE(kMaxSizeT != 0);
    return true;
}

} // namespace kelvo

int main(int argc, char** argv)
{
    (void)argc;
    (void)argv;
    RUN_TEST(kelvo::testBOwnsAnArray);
    RUN_TEST(kelvo::testCopiedBHasAnArrayOfItsOwn);
    RUN_TEST(kelvo::testAssignedBKeepsAnArrayOfItsOwn);
    RUN_TEST(kelvo::testSelfAssignedBKeepsItsArray);
    RUN_TEST(kelvo::testDeletingBReleasesTheArrayAndTheObject);
    RUN_TEST(kelvo::testDeletingBWithoutArrayReleasesOnlyTheObject);
    RUN_TEST(kelvo::testDeletingThroughBRunsTheDerivedDestructor);
    RUN_TEST(kelvo::testCopyCounterCountsCopies);
    RUN_TEST(kelvo::testCtorDtorCounterCountsEachOperation);
    RUN_TEST(kelvo::testMaxSizeTHasAllBitsSet);
    return kPassed;
}
