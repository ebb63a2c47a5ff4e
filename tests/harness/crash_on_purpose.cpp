// Dereferences a null pointer: the harness test expects this process to fail.
#include <cstdio>

int main()
{
    std::puts("about to crash on purpose");
    std::fflush(stdout);
    volatile int* volatile nowhere = nullptr;
    *nowhere = 42;
    return 0;
}
