#include "LargePages.h"

#include <QFile>

#include <sys/mman.h>

#include <algorithm>

namespace mci {

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

uint8_t* KeptMappings::take(size_t bytes)
{
    std::lock_guard lock(m_mutex);
    for (auto kept = m_kept.rbegin(); kept != m_kept.rend(); ++kept) {
        if (kept->second != bytes)
            continue;
        uint8_t* const data = kept->first;
        m_kept.erase(std::next(kept).base());
        m_bytes -= bytes;
        return data;
    }
    return nullptr;
}

size_t KeptMappings::count(size_t bytes)
{
    std::lock_guard lock(m_mutex);
    const auto ofSize = [bytes](const auto& kept) { return kept.second == bytes; };
    return size_t(std::count_if(m_kept.begin(), m_kept.end(), ofSize));
}

size_t KeptMappings::room(size_t bytes)
{
    std::lock_guard lock(m_mutex);
    const size_t mostBytes = m_mostBytes();
    if (bytes == 0 || m_bytes >= mostBytes || m_kept.size() >= m_mostCount)
        return 0;
    return std::min((mostBytes - m_bytes) / bytes, m_mostCount - m_kept.size());
}

void KeptMappings::keep(uint8_t* data, size_t bytes)
{
    std::vector<std::pair<uint8_t*, size_t>> old;
    {
        std::lock_guard lock(m_mutex);
        m_kept.emplace_back(data, bytes);
        m_bytes += bytes;
        const size_t mostBytes = m_mostBytes();
        while (m_bytes > mostBytes || m_kept.size() > m_mostCount) {
            old.push_back(m_kept.front());
            m_bytes -= m_kept.front().second;
            m_kept.erase(m_kept.begin());
        }
    }
    for (const auto& [first, length] : old)
        unmapLargePages(first, length);
}

void KeptMappings::giveBackAll()
{
    std::vector<std::pair<uint8_t*, size_t>> all;
    {
        std::lock_guard lock(m_mutex);
        all.swap(m_kept);
        m_bytes = 0;
    }
    for (const auto& [first, length] : all)
        unmapLargePages(first, length);
}

}  // namespace mci
