#include "NetCounters.h"

#include <sys/sysctl.h>
#include <sys/types.h>

int netSysctl(const int* name, unsigned nameLength, void* buffer, std::size_t* length) {
    return ::sysctl(const_cast<int*>(name), nameLength, buffer, length, nullptr, 0);
}
