// Memory for pictures converted for the screen, kept for the next conversion of the same size.
//
// Every step and every played frame converts a picture into new memory (8 MB at 1080p, 33 MB at
// 4K), and the one shown before is let go. Fresh memory is faulted in page by page as the scaler
// first writes it, which costs more than the conversion itself: several milliseconds a picture,
// and on some virtual machines tens. So the memory of pictures let go is kept, a few pictures'
// worth, and fresh memory is mapped on large pages (LargePages.h).
//
// Threads: any. A buffer may be given back on any thread (a QImage's last copy may go anywhere).
#pragma once

#include <cstddef>
#include <cstdint>

namespace mci::screenMemory {

// At least bytes, 64-byte aligned (page aligned in fact); nullptr when the system has none.
uint8_t* take(size_t bytes);
// What take() gave, as a QImageCleanupFunction; nullptr is ignored.
void giveBack(void* memory);

}  // namespace mci::screenMemory
