// SPDX-License-Identifier: Apache-2.0
/*
 * Programs with one of the faults the self-test program checks look for,
 * and nothing else wrong with them; the macro defined chooses the fault:
 *   SAMPLE_FAULT_STD    code of namespace std from the toolchain's library;
 *   SAMPLE_FAULT_TESTS  test functions whose answer is left to run time, or
 *                       is false;
 *   SAMPLE_FAULT_MAIN   a main whose answer is left to run time.
 * Each shows that the check for its fault rejects it while the others let
 * it pass, whichever compiler built it. They never ship.
 */
#ifdef SAMPLE_FAULT_STD
#include <string>
#endif

namespace kelvo
{

bool testDecidedByTheCompiler()
{
    const int two = 2;
    return two * two == 4;
}

#ifdef SAMPLE_FAULT_STD
// Takes an argument, so it is no test function: it only brings in the
// library's string code.
unsigned long joinedLength(const char* text)
{
    return (std::string(text) + text).size();
}
#endif

#ifdef SAMPLE_FAULT_TESTS
bool testDecidedAtRunTime()
{
    volatile int seen = 1;
    return seen == 1;
}

bool testAlwaysFalse()
{
    return false;
}
#endif

} // namespace kelvo

#ifdef SAMPLE_FAULT_MAIN
int main(int argc, char** argv)
{
    (void)argv;
    return kelvo::testDecidedByTheCompiler() && argc < 1000 ? 0 : 1;
}
#else
int main()
{
    return kelvo::testDecidedByTheCompiler() ? 0 : 1;
}
#endif
