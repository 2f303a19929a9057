// Long lists on large pages. A two-hour file's index takes tens of megabytes, and every small
// page of it is a fault when first written: on a virtual machine each costs tens of
// microseconds, as much in all as the rest of the open.
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <vector>

namespace mci {

// Asks the system for large pages under a block not yet written (the whole large pages inside
// it). A system without large pages ignores it, and so does a block too small to hold one.
void preferLargePages(const void* data, size_t bytes);

// Room for count items, reserved once (a list grown from empty writes about twice its size in
// new pages) and on large pages where it holds any.
template <typename T>
void reserveOnLargePages(std::vector<T>& items, size_t count)
{
    items.reserve(count);
    preferLargePages(items.data(), items.capacity() * sizeof(T));
}

}  // namespace mci
