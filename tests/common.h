/* SPDX-License-Identifier: Apache-2.0 */
// Test support shared by the self-test programs of the traits library.
//
// Every definition is in an anonymous namespace, so each program has its own copy. Nothing of
// namespace std is brought into scope here: each test source brings in the names it uses.
//
// The conventions every test program follows:
// - a test function takes no arguments and returns true when all its checks hold;
// - CHECK_TRUE(expr) writes "<line>: <expr>" to standard error and returns false from the test
//   function when expr is false, so later checks in that function are not evaluated;
// - main runs the test functions in a fixed order with RUN_TEST(fn), which returns kFailed from
//   main at the first test that fails, and returns kPassed after the last one.
// Nothing is written to standard output.

#ifndef KELVO_TESTS_COMMON_H
#define KELVO_TESTS_COMMON_H

#include <cstddef>
#include <cstdio>

namespace
{

const size_t kMaxSizeT = static_cast<size_t>(-1);
const int kPassed = 0;
const int kFailed = 1;

// Counts how often an object of the class is copied, by construction or by assignment.
struct CopyCounter {
    static size_t mCount;

    CopyCounter() {}
    CopyCounter& operator=(const CopyCounter&)
    {
        ++mCount;
        return *this;
    }
    CopyCounter(const CopyCounter&) { ++mCount; }
};

// Counts each kind of construction, assignment and destruction of objects of the class.
class CtorDtorCounter
{
  public:
    static size_t mCtorCount;
    static size_t mCopyCtorCount;
    static size_t mAssignCount;
    static size_t mDtorCount;

    CtorDtorCounter() { ++mCtorCount; }
    CtorDtorCounter(const CtorDtorCounter&) { ++mCopyCtorCount; }
    CtorDtorCounter& operator=(const CtorDtorCounter&)
    {
        ++mAssignCount;
        return *this;
    }
    ~CtorDtorCounter() { ++mDtorCount; }

    static void reset()
    {
        mCtorCount = 0;
        mCopyCtorCount = 0;
        mAssignCount = 0;
        mDtorCount = 0;
    }

    // Writes the counters to standard error, which is where test programs report.
    static void printf()
    {
        std::fprintf(stderr, "ctor %zu copy ctor %zu assign %zu dtor %zu\n", mCtorCount,
                     mCopyCtorCount, mAssignCount, mDtorCount);
    }
};

size_t CopyCounter::mCount;
size_t CtorDtorCounter::mCtorCount;
size_t CtorDtorCounter::mCopyCtorCount;
size_t CtorDtorCounter::mAssignCount;
size_t CtorDtorCounter::mDtorCount;

// The size of the array a B owns.
const size_t kChunkSize = 16;

// A fresh copy of a B's array, or none for none.
char* copyChunk(const char* chunk)
{
    if (chunk == nullptr) {
        return nullptr;
    }
    char* copy = new char[kChunkSize];
    for (size_t i = 0; i != kChunkSize; ++i) {
        copy[i] = chunk[i];
    }
    return copy;
}

// A polymorphic class that owns a heap array. Each object holds an array of its own, or none:
// copies get a fresh array with the same contents, so no two live objects ever share one.
struct B {
    char* mChunk;

    B() : mChunk(new char[kChunkSize]()) {}
    B(const B& other) : mChunk(copyChunk(other.mChunk)) {}
    virtual ~B()
    {
        if (mChunk != nullptr) {
            delete[] mChunk;
        }
    }
    B& operator=(const B& other)
    {
        if (this != &other) {
            char* chunk = copyChunk(other.mChunk);
            if (mChunk != nullptr) {
                delete[] mChunk;
            }
            mChunk = chunk;
        }
        return *this;
    }
};

} // namespace

#define CHECK_TRUE(expr)                                                                           \
    do {                                                                                           \
        if (!(expr)) {                                                                             \
            std::fprintf(stderr, "%d: %s\n", __LINE__, #expr);                                     \
            return false;                                                                          \
        }                                                                                          \
    } while (0)

#define RUN_TEST(fn)                                                                               \
    do {                                                                                           \
        if (!fn()) {                                                                               \
            return kFailed;                                                                        \
        }                                                                                          \
    } while (0)

#endif // KELVO_TESTS_COMMON_H
