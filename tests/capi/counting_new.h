// Every operator new of the process counted (the shared library's too: the program's
// definitions take the place of the C++ runtime's), for the check that a call allocates nothing.
#pragma once

#include <atomic>

extern std::atomic<long> allocations;
