// What the fuzz targets share: a check that stops the run with a crash (so libFuzzer keeps the
// input) and a private scratch folder for the files a target writes.
#pragma once

#include "Leftovers.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// A folder of our own, in memory when the machine has /dev/shm (a save syncs its file, which
// costs nothing there), removed with its files when the run ends.
inline const std::string& scratchFolder() {
    static const std::string folder = [] {
        std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        pattern += "/tavolen-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) std::abort();
        new RemovedWithProcess(pattern);  // never destroyed: the watcher removes the folder
        return pattern;
    }();
    return folder;
}
