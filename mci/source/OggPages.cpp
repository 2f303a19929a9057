#include "OggPages.h"

#include <QFile>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace mci {

OggChains oggChains(const QString& path)
{
    // Read in large blocks: pages are a few kB, and a call for each would cost more than the
    // reading.
    constexpr qint64 kBlock = 1 << 20;
    constexpr qint64 kHeader = 27;  // "OggS", version, flags, granule, serial, sequence, CRC, segments
    constexpr uint8_t kBeginsStream = 0x02;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return OggChains::Unsure;
    const qint64 size = file.size();
    std::vector<uint8_t> block(size_t(kBlock + kHeader + 255));
    qint64 blockStart = 0, blockEnd = 0;
    // Whether bytes [at, at + count) are in the block, reading on as needed.
    const auto have = [&](qint64 at, qint64 count) {
        if (at >= blockStart && at + count <= blockEnd)
            return true;
        if (!file.seek(at))
            return false;
        const qint64 read = file.read(reinterpret_cast<char*>(block.data()), qint64(block.size()));
        blockStart = at;
        blockEnd = at + std::max<qint64>(read, 0);
        return at + count <= blockEnd;
    };
    bool dataSeen = false;
    for (qint64 page = 0; page < size;) {
        if (!have(page, kHeader))
            return OggChains::Unsure;
        const uint8_t* header = block.data() + (page - blockStart);
        if (std::memcmp(header, "OggS", 4) != 0 || header[4] != 0)
            return OggChains::Unsure;
        const int segments = header[26];
        if (!have(page, kHeader + segments))
            return OggChains::Unsure;
        header = block.data() + (page - blockStart);
        qint64 body = 0;
        for (int i = 0; i < segments; ++i)
            body += header[kHeader + i];
        if (header[5] & kBeginsStream) {
            if (dataSeen)
                return OggChains::Several;
        } else {
            dataSeen = true;
        }
        page += kHeader + segments + body;
    }
    return OggChains::One;
}

}  // namespace mci
