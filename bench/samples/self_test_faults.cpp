/*
 * A program with the two faults the self-test program checks look for: a
 * test function whose answer is left to run time, and code of namespace std
 * from the toolchain's library. The checks must reject it; it never ships.
 */
#include <string>

namespace kelvo
{

bool testDecidedAtRunTime()
{
    volatile int seen = 1;
    return seen == 1;
}

bool testUsesLibraryCode(const char* text)
{
    const std::string joined = std::string(text) + text;
    return joined.size() == 2 * std::string(text).size();
}

} // namespace kelvo

int main(int argc, char** argv)
{
    return kelvo::testDecidedAtRunTime() && kelvo::testUsesLibraryCode(argc > 0 ? argv[0] : "") ? 0
                                                                                                : 1;
}
