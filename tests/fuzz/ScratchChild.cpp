// fuzz_scratch_child HOW: makes the fuzz targets' scratch folder, writes a file into it, prints
// the folder's path and ends as HOW says: "return", "_Exit" (as libFuzzer leaves after a
// crash), "abort" or "kill".
#include "FuzzCheck.h"

#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <string_view>

int main(int argc, char** argv) {
    const std::string_view how = argc > 1 ? argv[1] : "return";
    const std::string& folder = scratchFolder();
    std::ofstream(folder + "/input") << "bytes";
    std::printf("%s\n", folder.c_str());
    std::fflush(stdout);
    const rlimit noCore{0, 0};  // a core file would be something left behind as well
    ::setrlimit(RLIMIT_CORE, &noCore);
    if (how == "_Exit") std::_Exit(1);
    if (how == "abort") std::abort();
    if (how == "kill") ::raise(SIGKILL);
    return 0;
}
