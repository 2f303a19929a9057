#include "ScreenMemory.h"

#include "LargePages.h"

#include <mutex>
#include <vector>

namespace mci::screenMemory {

namespace {

constexpr size_t kPage = 4096;
// The size of the mapping lives in the page before the memory handed out.
constexpr size_t kHeader = kPage;
// The shown picture, the next one converted ahead, and those queued for playback come and go
// together; four at most, and no more than two 4K pictures and a half take.
constexpr size_t kSpares = 4;
constexpr size_t kSpareBytes = size_t(96) << 20;

struct Pool {
    std::mutex mutex;
    size_t size = 0;  // of every spare mapping
    std::vector<uint8_t*> spares;
};

Pool& pool()
{
    static Pool* const instance = new Pool;  // never destroyed: pictures may outlive statics
    return *instance;
}

size_t mappedSize(size_t bytes)
{
    return (bytes + kHeader + kPage - 1) / kPage * kPage;
}

}  // namespace

uint8_t* take(size_t bytes)
{
    const size_t mapped = mappedSize(bytes);
    uint8_t* mapping = nullptr;
    {
        Pool& p = pool();
        std::lock_guard lock(p.mutex);
        if (p.size == mapped && !p.spares.empty()) {
            mapping = p.spares.back();
            p.spares.pop_back();
        }
    }
    if (!mapping) {
        mapping = mapLargePages(mapped);
        if (!mapping)
            return nullptr;
        *reinterpret_cast<size_t*>(mapping) = mapped;
    }
    return mapping + kHeader;
}

void giveBack(void* memory)
{
    if (!memory)
        return;
    uint8_t* mapping = static_cast<uint8_t*>(memory) - kHeader;
    const size_t mapped = *reinterpret_cast<const size_t*>(mapping);
    Pool& p = pool();
    std::unique_lock lock(p.mutex);
    // A new size (a zoom, another file) makes the spares of the old one useless.
    if (p.size != mapped) {
        std::vector<uint8_t*> old;
        old.swap(p.spares);
        const size_t oldSize = p.size;
        p.size = mapped;
        lock.unlock();
        for (uint8_t* spare : old)
            unmapLargePages(spare, oldSize);
        lock.lock();
    }
    if (p.size == mapped && p.spares.size() < kSpares && (p.spares.size() + 1) * mapped <= kSpareBytes) {
        p.spares.push_back(mapping);
        return;
    }
    lock.unlock();
    unmapLargePages(mapping, mapped);
}

}  // namespace mci::screenMemory
