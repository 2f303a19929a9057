// Memory between two pages that can be neither read nor written, its end touching the second:
// a write or read past either end made inside a library the sanitizers do not see (FFmpeg's)
// stops the process there and then, instead of corrupting what lies beside it.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace testsupport {

class GuardedMemory {
public:
    // bytes usable, ending at the guard; a multiple of 64 keeps the start aligned to 64.
    explicit GuardedMemory(size_t bytes) : m_bytes(bytes) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t inside = (bytes + page - 1) / page * page;
        m_mapped = inside + 2 * page;
        void* base = mmap(nullptr, m_mapped, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) return;
        m_base = static_cast<uint8_t*>(base);
        if (mprotect(m_base + page, inside, PROT_READ | PROT_WRITE) != 0) return;
        m_data = m_base + page + inside - bytes;
    }
    ~GuardedMemory() {
        if (m_base) munmap(m_base, m_mapped);
    }
    GuardedMemory(const GuardedMemory&) = delete;
    GuardedMemory& operator=(const GuardedMemory&) = delete;

    // Null when the memory could not be had.
    uint8_t* data() const { return m_data; }
    size_t size() const { return m_bytes; }
    void fill(uint8_t value) {
        if (m_data) std::memset(m_data, value, m_bytes);
    }

private:
    uint8_t* m_base = nullptr;
    uint8_t* m_data = nullptr;
    size_t m_mapped = 0;
    size_t m_bytes = 0;
};

}  // namespace testsupport
