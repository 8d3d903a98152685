// SPDX-License-Identifier: Apache-2.0
// Checks every member of std::char_traits<char> against plain C: byte values read as unsigned
// char, and memcmp, memchr, memmove, memcpy, memset and strlen from string.h. Every character,
// all 256 of them, goes through each member, so the checks hold or fail the same way whether
// plain char is signed or unsigned on the target.

#include "common.h"

#include <char_traits>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace kelvo
{

using std::char_traits;

namespace
{

typedef char_traits<char> Traits;

const int kCharCount = 256;

// The byte of c, read without any conversion of char.
int byteOf(char c)
{
    unsigned char byte;
    std::memcpy(&byte, &c, 1);
    return byte;
}

// Every char value, indexed by its byte.
struct AllChars {
    char mChars[kCharCount];

    AllChars()
    {
        for (int i = 0; i != kCharCount; ++i) {
            const unsigned char byte = static_cast<unsigned char>(i);
            std::memcpy(&mChars[i], &byte, 1);
        }
    }
    char operator[](int i) const { return mChars[i]; }
};

const AllChars kAll;

int signOf(int value)
{
    return (value > 0) - (value < 0);
}

} // namespace

// The members constexpr since C++11 answer in constant expressions.
static_assert(Traits::eq('a', 'a') && !Traits::eq('a', 'b'), "eq is constexpr");
static_assert(Traits::lt('a', '\x80') && !Traits::lt('\x80', 'a'), "lt is constexpr");
static_assert(Traits::to_int_type('\xff') == 0xff, "to_int_type is constexpr");
static_assert(Traits::to_int_type(Traits::to_char_type(0x80)) == 0x80, "to_char_type is constexpr");
static_assert(Traits::to_int_type(Traits::to_char(0x80)) == 0x80, "to_char is constexpr");
static_assert(Traits::eq_int_type(Traits::eof(), Traits::eof()), "eof is constexpr");
static_assert(Traits::not_eof(Traits::eof()) != Traits::eof(), "not_eof is constexpr");

static_assert(std::is_same<Traits::char_type, char>::value, "char_type is char");
static_assert(std::is_same<Traits::int_type, int>::value, "int_type is int");

namespace
{

// The members made constexpr by C++17 and C++20, each put to work by a use: a class template
// whose holds() calls the member of the traits T and tells whether every answer was right. A
// use must be a constant expression, and true, from the member's edition on, and must be no
// constant expression at all before it.

// Whether Use<Traits>::holds() is a constant expression: only then can it be a template argument,
// and the first overload, which takes 0 without a conversion, be chosen.
template <template <class> class Use, bool = Use<Traits>::holds()>
constexpr bool isConstant(int)
{
    return true;
}
template <template <class> class Use>
constexpr bool isConstant(long)
{
    return false;
}

// From edition on (a value of __cplusplus), holds() is a constant expression, and true; before
// it, no constant expression.
template <template <class> class Use>
constexpr bool constexprFrom(long edition)
{
    return __cplusplus >= edition ? isConstant<Use>(0) && Use<Traits>::holds()
                                  : !isConstant<Use>(0);
}

constexpr char kText[] = "a\x80\0\x80";

// Those that need no statement but a return can be used in C++11 as well.
template <class T>
struct CompareUse {
    static constexpr bool holds()
    {
        return T::compare("ab\x80", "ab\x01", 3) > 0 && T::compare("a\0b", "a\0c", 3) < 0 &&
               T::compare("x", "y", 0) == 0;
    }
};

template <class T>
struct LengthUse {
    static constexpr bool holds() { return T::length("") == 0 && T::length("\xff\x80") == 2; }
};

template <class T>
struct FindUse {
    static constexpr bool holds()
    {
        return T::find(kText, 4, '\x80') == kText + 1 && T::find(kText, 4, '\0') == kText + 2 &&
               T::find(kText, 1, '\x80') == nullptr;
    }
};

static_assert(constexprFrom<CompareUse>(201703L), "compare: constexpr from C++17 on");
static_assert(constexprFrom<LengthUse>(201703L), "length: constexpr from C++17 on");
static_assert(constexprFrom<FindUse>(201703L), "find: constexpr from C++17 on");

#if __cplusplus >= 201402L
// The others change characters, which a constant expression can do from C++14 on.

// The first n characters at a and b are the same.
constexpr bool sameChars(const char* a, const char* b, size_t n)
{
    for (size_t i = 0; i != n; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

template <class T>
struct AssignOneUse {
    static constexpr bool holds()
    {
        char c = 'a';
        T::assign(c, '\xff');
        return c == '\xff';
    }
};

// Every move of up to 8 characters between offsets 0 to 8 of one array, overlapping forwards,
// backwards or not at all, gives what copying through a separate array gives.
template <class T>
struct MoveWithinOneArrayUse {
    static constexpr bool holds()
    {
        for (size_t from = 0; from != 9; ++from) {
            for (size_t to = 0; to != 9; ++to) {
                for (size_t n = 0; n != 9; ++n) {
                    char moved[17] = "0123456789abcdef";
                    char expected[17] = "0123456789abcdef";
                    char through[8] = {};
                    for (size_t i = 0; i != n; ++i) {
                        through[i] = expected[from + i];
                    }
                    for (size_t i = 0; i != n; ++i) {
                        expected[to + i] = through[i];
                    }
                    if (T::move(moved + to, moved + from, n) != moved + to ||
                        !sameChars(moved, expected, 17)) {
                        return false;
                    }
                }
            }
        }
        return true;
    }
};

// Between two arrays, which a constant expression cannot order, in both directions.
template <class T>
struct MoveBetweenArraysUse {
    static constexpr bool holds()
    {
        char a[4] = {'a', '\x80', 'c', 'd'};
        char b[4] = {};
        const char bMoved[4] = {'a', '\x80', 'c', '\0'};
        const char aMoved[4] = {'a', 'a', '\x80', 'c'};
        return T::move(b, a, 3) == b && sameChars(b, bMoved, 4) && T::move(a + 1, b, 3) == a + 1 &&
               sameChars(a, aMoved, 4);
    }
};

template <class T>
struct CopyUse {
    static constexpr bool holds()
    {
        char copied[4] = {'w', 'x', 'y', 'z'};
        const char expected[4] = {'w', '\x80', '\xff', 'z'};
        return T::copy(copied + 1, expected + 1, 2) == copied + 1 &&
               sameChars(copied, expected, 4) && T::copy(copied, "", 0) == copied;
    }
};

template <class T>
struct AssignManyUse {
    static constexpr bool holds()
    {
        char filled[5] = {'0', '1', '2', '3', '4'};
        const char expected[5] = {'0', '\x80', '\x80', '\x80', '4'};
        return T::assign(filled + 1, 3, '\x80') == filled + 1 && sameChars(filled, expected, 5) &&
               T::assign(filled, 0, 'x') == filled;
    }
};

static_assert(constexprFrom<AssignOneUse>(201703L), "assign of a character: from C++17 on");
static_assert(constexprFrom<MoveWithinOneArrayUse>(202002L), "move in an array: from C++20 on");
static_assert(constexprFrom<MoveBetweenArraysUse>(202002L), "move between arrays: from C++20 on");
static_assert(constexprFrom<CopyUse>(202002L), "copy: constexpr from C++20 on");
static_assert(constexprFrom<AssignManyUse>(202002L), "assign of n characters: from C++20 on");
#endif

} // namespace

bool testAssignCopiesEveryCharacter()
{
    for (int i = 0; i != kCharCount; ++i) {
        char target = kAll[kCharCount - 1 - i];
        Traits::assign(target, kAll[i]);
        CHECK_TRUE(byteOf(target) == i);
    }
    return true;
}

bool testEqIsByteEquality()
{
    for (int i = 0; i != kCharCount; ++i) {
        for (int j = 0; j != kCharCount; ++j) {
            CHECK_TRUE(Traits::eq(kAll[i], kAll[j]) == (i == j));
        }
    }
    return true;
}

bool testLtOrdersAsUnsignedChar()
{
    for (int i = 0; i != kCharCount; ++i) {
        for (int j = 0; j != kCharCount; ++j) {
            CHECK_TRUE(Traits::lt(kAll[i], kAll[j]) == (i < j));
        }
    }
    return true;
}

bool testCompareAgreesWithMemcmp()
{
    for (int i = 0; i != kCharCount; ++i) {
        for (int j = 0; j != kCharCount; ++j) {
            const char a = kAll[i];
            const char b = kAll[j];
            CHECK_TRUE(signOf(Traits::compare(&a, &b, 1)) == signOf(std::memcmp(&a, &b, 1)));
        }
    }
    // A difference at each position of a long run: seen when inside the n characters compared,
    // ignored when beyond them.
    for (int at = 0; at != kCharCount; ++at) {
        char changed[kCharCount];
        std::memcpy(changed, kAll.mChars, kCharCount);
        changed[at] = kAll[(at + 128) % kCharCount];
        const int expected = signOf(std::memcmp(kAll.mChars, changed, kCharCount));
        CHECK_TRUE(signOf(Traits::compare(kAll.mChars, changed, kCharCount)) == expected);
        CHECK_TRUE(signOf(Traits::compare(changed, kAll.mChars, kCharCount)) == -expected);
        CHECK_TRUE(Traits::compare(kAll.mChars, changed, static_cast<size_t>(at)) == 0);
    }
    return true;
}

bool testCompareDoesNotStopAtNul()
{
    const char a[] = {'x', '\0', 'a'};
    const char b[] = {'x', '\0', 'b'};
    CHECK_TRUE(signOf(Traits::compare(a, b, 3)) == signOf(std::memcmp(a, b, 3)));
    CHECK_TRUE(Traits::compare(a, b, 3) != 0);
    return true;
}

bool testCompareOfNothingIsEqual()
{
    CHECK_TRUE(Traits::compare("a", "b", 0) == 0);
    CHECK_TRUE(Traits::compare(nullptr, nullptr, 0) == 0);
    return true;
}

bool testLengthCountsUpToTheFirstNul()
{
    char text[kCharCount];
    for (int i = 1; i != kCharCount; ++i) {
        std::memset(text, 0, sizeof text);
        std::memset(text, byteOf(kAll[i]), static_cast<size_t>(i % 7));
        CHECK_TRUE(Traits::length(text) == std::strlen(text));
    }
    // Every character but NUL in one text: none of them, the high ones included, ends it.
    std::memcpy(text, kAll.mChars + 1, kCharCount - 1);
    text[kCharCount - 1] = '\0';
    CHECK_TRUE(Traits::length(text) == std::strlen(text));
    CHECK_TRUE(Traits::length("") == 0);
    return true;
}

bool testFindReturnsTheFirstMatchWithinN()
{
    for (int i = 0; i != kCharCount; ++i) {
        const void* expected = std::memchr(kAll.mChars, byteOf(kAll[i]), kCharCount);
        CHECK_TRUE(Traits::find(kAll.mChars, kCharCount, kAll[i]) == expected);
        // Each character occurs once in kAll, at its own index, so the first i miss it.
        CHECK_TRUE(Traits::find(kAll.mChars, static_cast<size_t>(i), kAll[i]) == nullptr);
    }
    const char repeated[] = "\x80xy\x80xy";
    CHECK_TRUE(Traits::find(repeated, 6, 'y') == std::memchr(repeated, 'y', 6));
    CHECK_TRUE(Traits::find(repeated, 6, '\x80') == repeated);
    return true;
}

bool testFindInNothingFindsNothing()
{
    const char text[] = "a";
    CHECK_TRUE(Traits::find(text, 0, 'a') == nullptr);
    CHECK_TRUE(Traits::find(nullptr, 0, 'a') == nullptr);
    return true;
}

// Moves of several lengths between every pair of offsets within one buffer: the destination
// before the source, the same, and after it, overlapping or not.
bool testMoveMatchesMemmoveInBothDirections()
{
    const size_t lengths[] = {0, 1, 2, 3, 15, 16, 17, 200};
    for (size_t from = 0; from != 17; ++from) {
        for (size_t to = 0; to != 17; ++to) {
            for (size_t k = 0; k != sizeof lengths / sizeof lengths[0]; ++k) {
                char moved[kCharCount];
                char expected[kCharCount];
                std::memcpy(moved, kAll.mChars, kCharCount);
                std::memcpy(expected, kAll.mChars, kCharCount);
                std::memmove(expected + to, expected + from, lengths[k]);
                CHECK_TRUE(Traits::move(moved + to, moved + from, lengths[k]) == moved + to);
                CHECK_TRUE(std::memcmp(moved, expected, kCharCount) == 0);
            }
        }
    }
    return true;
}

bool testCopyMatchesMemcpy()
{
    const size_t lengths[] = {0, 1, 7, 255};
    for (size_t k = 0; k != sizeof lengths / sizeof lengths[0]; ++k) {
        char copied[kCharCount];
        char expected[kCharCount];
        std::memset(copied, 0x5a, kCharCount);
        std::memset(expected, 0x5a, kCharCount);
        std::memcpy(expected, kAll.mChars + 1, lengths[k]);
        CHECK_TRUE(Traits::copy(copied, kAll.mChars + 1, lengths[k]) == copied);
        CHECK_TRUE(std::memcmp(copied, expected, kCharCount) == 0);
    }
    return true;
}

bool testAssignFillsExactlyNCharacters()
{
    const size_t lengths[] = {0, 1, 5};
    for (int i = 0; i != kCharCount; ++i) {
        for (size_t k = 0; k != sizeof lengths / sizeof lengths[0]; ++k) {
            char filled[8];
            char expected[8];
            std::memcpy(filled, "01234567", 8);
            std::memcpy(expected, "01234567", 8);
            std::memset(expected + 1, byteOf(kAll[i]), lengths[k]);
            CHECK_TRUE(Traits::assign(filled + 1, lengths[k], kAll[i]) == filled + 1);
            CHECK_TRUE(std::memcmp(filled, expected, 8) == 0);
        }
    }
    return true;
}

bool testToIntTypeIsTheUnsignedByte()
{
    for (int i = 0; i != kCharCount; ++i) {
        CHECK_TRUE(Traits::to_int_type(kAll[i]) == byteOf(kAll[i]));
    }
    return true;
}

bool testToCharInvertsToIntType()
{
    for (int i = 0; i != kCharCount; ++i) {
        CHECK_TRUE(byteOf(Traits::to_char_type(i)) == i);
        CHECK_TRUE(Traits::to_char(i) == Traits::to_char_type(i));
        CHECK_TRUE(Traits::to_int_type(Traits::to_char_type(i)) == i);
        CHECK_TRUE(Traits::to_char_type(Traits::to_int_type(kAll[i])) == kAll[i]);
    }
    return true;
}

bool testEqIntTypeComparesIntegerForms()
{
    for (int i = -1; i != kCharCount; ++i) {
        for (int j = -1; j != kCharCount; ++j) {
            CHECK_TRUE(Traits::eq_int_type(i, j) == (i == j));
        }
    }
    CHECK_TRUE(Traits::eq_int_type(Traits::eof(), Traits::eof()));
    CHECK_TRUE(!Traits::eq_int_type(Traits::to_int_type('\xff'), Traits::eof()));
    return true;
}

bool testEofIsTheCLibraryEofAndNoCharacter()
{
    CHECK_TRUE(Traits::eof() == EOF);
    for (int i = 0; i != kCharCount; ++i) {
        CHECK_TRUE(!Traits::eq_int_type(Traits::to_int_type(kAll[i]), Traits::eof()));
    }
    return true;
}

bool testNotEofKeepsCharactersAndAvoidsEof()
{
    for (int i = 0; i != kCharCount; ++i) {
        CHECK_TRUE(Traits::not_eof(Traits::to_int_type(kAll[i])) == byteOf(kAll[i]));
    }
    CHECK_TRUE(!Traits::eq_int_type(Traits::not_eof(Traits::eof()), Traits::eof()));
    return true;
}

} // namespace kelvo

int main(int argc, char** argv)
{
    (void)argc;
    (void)argv;
    RUN_TEST(kelvo::testAssignCopiesEveryCharacter);
    RUN_TEST(kelvo::testEqIsByteEquality);
    RUN_TEST(kelvo::testLtOrdersAsUnsignedChar);
    RUN_TEST(kelvo::testCompareAgreesWithMemcmp);
    RUN_TEST(kelvo::testCompareDoesNotStopAtNul);
    RUN_TEST(kelvo::testCompareOfNothingIsEqual);
    RUN_TEST(kelvo::testLengthCountsUpToTheFirstNul);
    RUN_TEST(kelvo::testFindReturnsTheFirstMatchWithinN);
    RUN_TEST(kelvo::testFindInNothingFindsNothing);
    RUN_TEST(kelvo::testMoveMatchesMemmoveInBothDirections);
    RUN_TEST(kelvo::testCopyMatchesMemcpy);
    RUN_TEST(kelvo::testAssignFillsExactlyNCharacters);
    RUN_TEST(kelvo::testToIntTypeIsTheUnsignedByte);
    RUN_TEST(kelvo::testToCharInvertsToIntType);
    RUN_TEST(kelvo::testEqIntTypeComparesIntegerForms);
    RUN_TEST(kelvo::testEofIsTheCLibraryEofAndNoCharacter);
    RUN_TEST(kelvo::testNotEofKeepsCharactersAndAvoidsEof);
    return kPassed;
}
