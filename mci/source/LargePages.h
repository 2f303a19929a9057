// Memory the system may back with large pages (2 MB on x86), asked for where the system gives
// them on request (transparent huge pages in "madvise" mode) and simply small pages elsewhere.
//
// Every small page is a fault when first written, and on a virtual machine each fault is an
// exit to the host: a 720p picture written into fresh memory there costs about 2 ms in faults,
// more than decoding it. A large page is one fault for 512 small ones.
//
// Threads: any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace mci {

// The small page, the unit of every mapping.
inline constexpr size_t kPage = 4096;

constexpr size_t roundUp(size_t value, size_t to)
{
    return (value + to - 1) / to * to;
}

// The size of the pages the kernel makes of large, aligned ranges it is asked to; 0 without.
size_t largePageSize();
// Asks for large pages under a block not yet written (the whole large pages inside it). A
// system without large pages ignores it, and so does a block too small to hold one.
void preferLargePages(const void* data, size_t bytes);

// Room for count items, reserved once (a list grown from empty writes about twice its size in
// new pages) and on large pages where it holds any: a two-hour file's index takes tens of
// megabytes.
template <typename T>
void reserveOnLargePages(std::vector<T>& items, size_t count)
{
    items.reserve(count);
    preferLargePages(items.data(), items.capacity() * sizeof(T));
}

// bytes of zeroed memory, page-aligned, and aligned to a large page when at least one large
// page long, so that every whole large page inside can be one; nullptr when the system has none.
uint8_t* mapLargePages(size_t bytes);
// What mapLargePages(bytes) gave.
void unmapLargePages(uint8_t* data, size_t bytes);

// Mappings let go, kept for the next taker of the same size: memory already written costs a
// tenth of fresh memory. The most recent first; beyond the bounds the oldest are unmapped.
// Any thread.
class KeptMappings {
public:
    // mostBytes is asked at every change: it may follow a setting.
    KeptMappings(size_t (*mostBytes)(), size_t mostCount) : m_mostBytes(mostBytes), m_mostCount(mostCount) {}

    // A kept mapping of exactly bytes, or nullptr.
    uint8_t* take(size_t bytes);
    // How many mappings of exactly bytes are kept, and how many more of them the bounds leave
    // room for.
    size_t count(size_t bytes);
    size_t room(size_t bytes);
    // Keeps what mapLargePages(bytes) gave.
    void keep(uint8_t* data, size_t bytes);
    // Unmaps all that is kept.
    void giveBackAll();

private:
    size_t (*const m_mostBytes)();
    const size_t m_mostCount;
    std::mutex m_mutex;
    std::vector<std::pair<uint8_t*, size_t>> m_kept;  // oldest first
    size_t m_bytes = 0;
};

}  // namespace mci
