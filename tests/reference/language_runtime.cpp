// SPDX-License-Identifier: Apache-2.0
// Needs libc and the C++ language runtime, for the reasons the self-test programs may: object
// deletion and run-time type information. Its needed libraries are the most those programs may
// have. It is linked, never run.

#include <cstdio>

namespace
{

struct Base {
    virtual ~Base() {}
};

struct Derived : Base {
};

} // namespace

int main(int argc, char** argv)
{
    (void)argv;
    Base* base = argc > 1 ? new Derived : new Base;
    const bool derived = dynamic_cast<Derived*>(base) != nullptr;
    delete base;
    return std::fputs(derived ? "derived\n" : "", stderr) < 0;
}
