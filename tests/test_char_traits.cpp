// Self-test of std::char_traits<char> from the traits library.
// SPDX-License-Identifier: Apache-2.0
// The integer form of a character is its byte taken as unsigned char, 0 to 255, and the
// end-of-file mark is -1, outside that range. A library that sign-extends the byte turns the
// character with all bits set into -1 and so mistakes it for the end of a stream. This program
// checks exactly that, and it must pass whichever way plain char is signed on the target.
//
// It follows the conventions of common.h: a failed check writes its source line and its
// expression text to standard error, and main returns kFailed at the first test that fails.
// Nothing is written to standard output.
//
// It is compiled against the traits library alone, never the toolchain's C++ headers, so what
// it tests is the library's char_traits.
//
// The two checks of testCharToInt stand on lines 42 and 43, and the failure lines that users
// and the fault-injection tests expect read exactly
//
//   42: char_traits<char>::to_int_type('\xff') == 0xff
//   43: char_traits<char>::to_int_type('\xff') != char_traits<char>::eof()
//
// so keep both checks on those lines, and their text as it is, when editing this file.

#include "common.h"

#include <char_traits>

namespace kelvo
{

// Brought in so that the checks, and therefore the failure lines, read char_traits<char>.
using std::char_traits;

// '\xff' has all bits set: -1 where plain char is signed, 255 where it is unsigned. Either way
// its integer form must be 255, and it must not be taken for the end-of-file mark.
//
// The first check fails for a to_int_type that sign-extends. The second calls the traits again
// rather than reusing the result of the first, so a library whose eof() equals the integer form
// of a character fails there even when its to_int_type is right. When the first check fails,
// the second is not evaluated.
bool testCharToInt()
{
    CHECK_TRUE(char_traits<char>::to_int_type('\xff') == 0xff);
    CHECK_TRUE(char_traits<char>::to_int_type('\xff') != char_traits<char>::eof());
    return true;
}

} // namespace kelvo

int main(int argc, char** argv)
{
    (void)argc;
    (void)argv;
    RUN_TEST(kelvo::testCharToInt);
    return kPassed;
}
