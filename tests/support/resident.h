#pragma once
// The resident memory of this process, for the tests that watch it stay flat and the
// benchmarks that report its peak.

#include <fstream>
#include <string>

namespace support {

// A line of /proc/self/status in kB ("VmRSS:", "VmHWM:"); 0 where there is none.
inline long statusKb(const std::string& wanted) {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == wanted) {
            long kb = 0;
            status >> kb;
            return kb;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0;
}

inline long residentKb() {
    return statusKb("VmRSS:");
}

// The peak of this program's resident set. Unlike getrusage's ru_maxrss, it does not count
// the resident set of the process this one was forked from.
inline long peakResidentKb() {
    return statusKb("VmHWM:");
}

} // namespace support
