#pragma once
// The resident memory of this process, for the tests that watch it stay flat.

#include <fstream>
#include <string>

namespace support {

// VmRSS from /proc/self/status in kB; 0 where there is none.
inline long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kb = 0;
            status >> kb;
            return kb;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0;
}

} // namespace support
