// SPDX-License-Identifier: Apache-2.0
// Self-test of the type traits of the traits library.
//
// Every check is a constant expression over the traits, so the compiler decides each one while
// building the program: with a correct library every test function reduces to returning true,
// and at run time the program only sets its exit status. A trait that answers wrongly makes its
// check constantly false, and the program reports that check, by the conventions of common.h,
// and stops. Nothing is written to standard output.

#include "common.h"

#include <type_traits>

namespace kelvo
{

using std::false_type;
using std::is_class;
using std::is_floating_point;
using std::is_integral;
using std::is_pointer;
using std::true_type;

namespace
{

// Kinds of user-defined types the traits must tell apart.
struct Aggregate {
    int mValue;
};

class WithVirtual
{
  public:
    virtual ~WithVirtual() {}
};

union IntOrFloat {
    int mInt;
    float mFloat;
};

enum Colour { kRed, kGreen };

// Takes a bool as a template argument, which the language accepts only as a constant
// expression.
template <bool kValue>
struct Constant {
    static const bool value = kValue;
};

} // namespace

bool testTrueFalseType()
{
    CHECK_TRUE(true_type::value);
    CHECK_TRUE(!false_type::value);
    // Usable wherever a constant is needed: as an array bound and as a template argument.
    CHECK_TRUE(sizeof(char[true_type::value + 1]) == 2);
    CHECK_TRUE(sizeof(char[false_type::value + 1]) == 1);
    CHECK_TRUE(Constant<true_type::value>::value);
    CHECK_TRUE(!Constant<false_type::value>::value);
    return true;
}

bool testIsIntegral()
{
    CHECK_TRUE(is_integral<int>::value);
    CHECK_TRUE(!is_integral<float>::value);
    CHECK_TRUE(is_integral<bool>::value);
    CHECK_TRUE(is_integral<char>::value);
    CHECK_TRUE(is_integral<signed char>::value);
    CHECK_TRUE(is_integral<unsigned long long>::value);
    CHECK_TRUE(is_integral<wchar_t>::value);
    CHECK_TRUE(is_integral<char32_t>::value);
    CHECK_TRUE(is_integral<const int>::value);
    CHECK_TRUE(is_integral<volatile unsigned char>::value);
    CHECK_TRUE(!is_integral<int*>::value);
    CHECK_TRUE(!is_integral<int&>::value);
    CHECK_TRUE(!is_integral<Colour>::value);
    CHECK_TRUE(!is_integral<Aggregate>::value);
    CHECK_TRUE(!is_integral<void>::value);
    return true;
}

bool testIsFloatingPoint()
{
    CHECK_TRUE(is_floating_point<double>::value);
    CHECK_TRUE(!is_floating_point<int>::value);
    CHECK_TRUE(is_floating_point<float>::value);
    CHECK_TRUE(is_floating_point<long double>::value);
    CHECK_TRUE(is_floating_point<const volatile double>::value);
    CHECK_TRUE(!is_floating_point<double*>::value);
    CHECK_TRUE(!is_floating_point<double&>::value);
    CHECK_TRUE(!is_floating_point<double[2]>::value);
    CHECK_TRUE(!is_floating_point<IntOrFloat>::value);
    return true;
}

bool testIsPointer()
{
    CHECK_TRUE(is_pointer<int*>::value);
    CHECK_TRUE(!is_pointer<int>::value);
    CHECK_TRUE(is_pointer<int* const>::value);
    CHECK_TRUE(is_pointer<const char*>::value);
    CHECK_TRUE(is_pointer<void*>::value);
    CHECK_TRUE(is_pointer<Aggregate**>::value);
    CHECK_TRUE(is_pointer<void (*)()>::value);
    CHECK_TRUE(!is_pointer<int Aggregate::*>::value);
    CHECK_TRUE(!is_pointer<int[3]>::value);
    CHECK_TRUE(!is_pointer<char*&>::value);
    CHECK_TRUE(!is_pointer<decltype(nullptr)>::value);
    return true;
}

// is_pod is deprecated from C++20 on, and still offered and tested in every edition.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
bool testIsPodOrClass()
{
    using std::is_pod;
    CHECK_TRUE(is_pod<int>::value);
    CHECK_TRUE(is_pod<Aggregate>::value);
    CHECK_TRUE(is_pod<const Aggregate>::value);
    CHECK_TRUE(is_pod<Aggregate[4]>::value);
    CHECK_TRUE(is_pod<IntOrFloat>::value);
    CHECK_TRUE(is_pod<Colour>::value);
    CHECK_TRUE(is_pod<int*>::value);
    CHECK_TRUE(!is_pod<WithVirtual>::value);
    CHECK_TRUE(!is_pod<int&>::value);
    CHECK_TRUE(!is_pod<void>::value);
    CHECK_TRUE(is_class<Aggregate>::value);
    CHECK_TRUE(is_class<WithVirtual>::value);
    CHECK_TRUE(is_class<const volatile Aggregate>::value);
    CHECK_TRUE(!is_class<int>::value);
    CHECK_TRUE(!is_class<IntOrFloat>::value);
    CHECK_TRUE(!is_class<Colour>::value);
    CHECK_TRUE(!is_class<Aggregate*>::value);
    CHECK_TRUE(!is_class<Aggregate&>::value);
    return true;
}
#pragma GCC diagnostic pop

} // namespace kelvo

int main(int argc, char** argv)
{
    (void)argc;
    (void)argv;
    RUN_TEST(kelvo::testTrueFalseType);
    RUN_TEST(kelvo::testIsIntegral);
    RUN_TEST(kelvo::testIsFloatingPoint);
    RUN_TEST(kelvo::testIsPointer);
    RUN_TEST(kelvo::testIsPodOrClass);
    return kPassed;
}
