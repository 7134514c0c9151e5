#pragma once
// This process's resident memory, for the benchmarks that report what a loop costs.

#include <cstdio>
#include <unistd.h>

namespace quellon::bench {

/// Resident set size in MiB from /proc/self/statm; 0 when it cannot be read.
inline double residentMiB()
{
    unsigned long size = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu %lu", &size, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

} // namespace quellon::bench
