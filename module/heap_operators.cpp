// The general heap for the library's objects, class factories and tables:
// every allocation is `new (std::nothrow)`, which answers null when memory runs
// out. The C++ runtime's own nothrow operators catch the exception of the
// throwing ones, which would link its exception machinery and its diagnostics
// (about half of the library's code) into a library that throws nothing; these
// go to the C runtime's heap directly.
#include <cstdlib>
#include <new>

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete[](void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
