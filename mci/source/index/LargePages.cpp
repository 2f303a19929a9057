#include "LargePages.h"

#include <QFile>

#include <sys/mman.h>

#include <cstdint>

namespace mci {

namespace {

// The size of the pages the kernel makes of large, aligned ranges it is asked to.
size_t largePageSize()
{
    static const size_t size = [] {
        QFile file(QStringLiteral("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toULongLong() : 0;
    }();
    return size;
}

}  // namespace

void preferLargePages(const void* data, size_t bytes)
{
    const size_t page = largePageSize();
    if (page == 0 || (page & (page - 1)) != 0)
        return;
    const auto begin = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (begin + page - 1) & ~(page - 1);
    const uintptr_t end = (begin + bytes) & ~(page - 1);
    if (end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

}  // namespace mci
