#include "Exception.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace fw {

std::string format(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, pattern, copy);
    va_end(copy);
    std::string out;
    if (size > 0) {
        std::vector<char> buffer(std::size_t(size) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), pattern, args);
        out.assign(buffer.data(), std::size_t(size));
    }
    va_end(args);
    return out;
}

}  // namespace fw
