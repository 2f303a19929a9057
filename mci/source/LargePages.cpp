#include "LargePages.h"

#include <QFile>

#include <sys/mman.h>

namespace mci {

namespace {

constexpr size_t kPage = 4096;

size_t roundUp(size_t value, size_t to)
{
    return (value + to - 1) / to * to;
}

}  // namespace

size_t largePageSize()
{
    static const size_t size = [] {
        QFile file(QStringLiteral("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size"));
        const size_t read = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toULongLong() : 0;
        return (read & (read - 1)) == 0 ? read : 0;
    }();
    return size;
}

void preferLargePages(const void* data, size_t bytes)
{
    const size_t page = largePageSize();
    if (page == 0)
        return;
    const auto begin = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = roundUp(begin, page);
    const uintptr_t end = (begin + bytes) & ~(page - 1);
    if (end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

uint8_t* mapLargePages(size_t bytes)
{
    const size_t length = roundUp(bytes, kPage);
    const size_t page = largePageSize();
    // Too small for a large page: mapped with its pages in place, one call instead of a fault
    // for every 4 kB.
    if (page == 0 || length < page) {
        void* data = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        return data == MAP_FAILED ? nullptr : static_cast<uint8_t*>(data);
    }
    // Mapped a large page longer, and the unaligned ends given back.
    void* raw = mmap(nullptr, length + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    auto* begin = static_cast<uint8_t*>(raw);
    auto* aligned = reinterpret_cast<uint8_t*>(roundUp(reinterpret_cast<uintptr_t>(begin), page));
    if (aligned > begin)
        munmap(begin, size_t(aligned - begin));
    const size_t tail = size_t(begin + length + page - (aligned + length));
    if (tail > 0)
        munmap(aligned + length, tail);
    preferLargePages(aligned, length);
    return aligned;
}

void unmapLargePages(uint8_t* data, size_t bytes)
{
    if (data)
        munmap(data, roundUp(bytes, kPage));
}

}  // namespace mci
