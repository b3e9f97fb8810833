#include "FreeMemory.h"

#include <cstdlib> // defines __GLIBC__ where the C library is glibc
#if defined(__GLIBC__)
#include <malloc.h>
#endif

void memory::returnFreePages() {
#if defined(__GLIBC__)
    // glibc gives back by itself only the free memory at the top of each heap; freed blocks
    // below one still in use stay resident. This hands back every free page of every arena.
    malloc_trim(0);
#endif
}
