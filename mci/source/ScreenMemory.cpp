#include "ScreenMemory.h"

#include "LargePages.h"

namespace mci::screenMemory {

namespace {

// The size of the mapping lives in the page before the memory handed out.
constexpr size_t kHeader = kPage;
// The shown picture, the next one converted ahead, and those queued for playback come and go
// together; four at most, and no more than two 4K pictures and a half take.
constexpr size_t kSpares = 4;
constexpr size_t kSpareBytes = size_t(96) << 20;

// The oldest go first: after a new size (a zoom, another file), those of the old one.
KeptMappings& spares()
{
    // Never destroyed: pictures outlive statics.
    static auto* const kept = new KeptMappings([] { return kSpareBytes; }, kSpares);
    return *kept;
}

size_t mappedSize(size_t bytes)
{
    return (bytes + kHeader + kPage - 1) / kPage * kPage;
}

}  // namespace

uint8_t* take(size_t bytes)
{
    const size_t mapped = mappedSize(bytes);
    uint8_t* mapping = spares().take(mapped);
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
    spares().keep(mapping, *reinterpret_cast<const size_t*>(mapping));
}

}  // namespace mci::screenMemory
