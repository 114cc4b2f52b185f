// The replaced operator new and delete of counting_new.h (a file of their own, so that no
// caller sees malloc behind new).
#include "counting_new.h"

#include <cstdlib>
#include <new>

std::atomic<long> allocations{0};

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
