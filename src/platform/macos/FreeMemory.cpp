#include "FreeMemory.h"

#include <malloc/malloc.h>

void memory::returnFreePages() {
    malloc_zone_pressure_relief(nullptr, 0);
}
