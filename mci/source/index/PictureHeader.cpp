#include "PictureHeader.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace mci {

namespace {

const uint8_t* afterStartCodeBytewise(const uint8_t* at, const uint8_t* end)
{
    for (; end - at >= 3; ++at) {
        if (at[0] == 0 && at[1] == 0 && at[2] == 1)
            return at + 3;
    }
    return end;
}

#ifdef __SSE2__
// The last bytes, fewer than a step, are searched as one more step that ends where they do,
// its positions before `at` (searched already) left out: every unit's search ends there, and
// searching them byte by byte took a quarter of the time a transport stream's scan searched.
const uint8_t* afterStartCodeSse2(const uint8_t* at, const uint8_t* end)
{
    if (end - at < 18)
        return afterStartCodeBytewise(at, end);
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
    const auto found = [&](const uint8_t* from) {
        const auto bytes = [from](int offset) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + offset));
        };
        const __m128i zeroZero = _mm_and_si128(_mm_cmpeq_epi8(bytes(0), zero), _mm_cmpeq_epi8(bytes(1), zero));
        return unsigned(_mm_movemask_epi8(_mm_and_si128(zeroZero, _mm_cmpeq_epi8(bytes(2), one))));
    };
    for (; end - at >= 18; at += 16) {
        if (const unsigned mask = found(at))
            return at + __builtin_ctz(mask) + 3;
    }
    if (end - at < 3)
        return end;
    const uint8_t* last = end - 18;
    if (const unsigned mask = found(last) >> (at - last))
        return at + __builtin_ctz(mask) + 3;
    return end;
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#define MCI_AVX2_START_CODES
__attribute__((target("avx2"))) const uint8_t* afterStartCodeAvx2(const uint8_t* at, const uint8_t* end)
{
    if (end - at < 34)
        return afterStartCodeSse2(at, end);
    const __m256i zero = _mm256_setzero_si256(), one = _mm256_set1_epi8(1);
    const auto found = [&](const uint8_t* from) __attribute__((target("avx2"))) {
        const auto bytes = [from](int offset) __attribute__((target("avx2"))) {
            return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + offset));
        };
        const __m256i zeroZero = _mm256_and_si256(_mm256_cmpeq_epi8(bytes(0), zero), _mm256_cmpeq_epi8(bytes(1), zero));
        return unsigned(_mm256_movemask_epi8(_mm256_and_si256(zeroZero, _mm256_cmpeq_epi8(bytes(2), one))));
    };
    for (; end - at >= 34; at += 32) {
        if (const unsigned mask = found(at))
            return at + __builtin_ctz(mask) + 3;
    }
    if (end - at < 3)
        return end;
    const uint8_t* last = end - 34;
    if (const unsigned mask = found(last) >> (at - last))
        return at + __builtin_ctz(mask) + 3;
    return end;
}
#endif

}  // namespace

// Just past the next start code (00 00 01) in [at, end), or end. Picture data is most of every
// access unit and holds few start codes: it is passed over 32 bytes at a time where the
// processor has AVX2, 16 where it has SSE2. The opening of a long transport stream is much of
// it this search.
const uint8_t* afterStartCode(const uint8_t* at, const uint8_t* end)
{
#ifdef MCI_AVX2_START_CODES
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return afterStartCodeAvx2(at, end);
#endif
#ifdef __SSE2__
    return afterStartCodeSse2(at, end);
#else
    return afterStartCodeBytewise(at, end);
#endif
}

H264Start h264Start(const uint8_t* frame, int size, int lengthSize)
{
    for (int at = 0; at + lengthSize < size;) {
        quint64 length = 0;
        for (int i = 0; i < lengthSize; ++i)
            length = (length << 8) | frame[at + i];
        at += lengthSize;
        if (length == 0 || length > quint64(size - at))
            break;
        const int type = frame[at] & 0x1f;
        if (type == 5)
            return H264Start::Idr;
        if (type >= 1 && type <= 4)
            break;
        if (type >= 6 && type <= 8)
            return H264Start::ForTheParser;
        at += int(length);
    }
    return H264Start::Slice;
}

namespace {

// Reads bits from a few header bytes; past the end it reads zeros and says so in overrun.
// Where the codec inserts emulation prevention bytes (00 00 03), they are skipped.
class BitReader {
public:
    BitReader(const uint8_t* data, int size, bool emulationPrevention)
        : m_data(data), m_size(size), m_emulation(emulationPrevention)
    {
    }

    unsigned bits(int count)
    {
        unsigned value = 0;
        for (int i = 0; i < count; ++i)
            value = (value << 1) | bit();
        return value;
    }

    // Exp-Golomb code, as H.264 and HEVC headers use; large values are damage.
    unsigned unsignedGolomb()
    {
        int zeros = 0;
        while (bit() == 0 && !overrun) {
            if (++zeros > 31)
                return overrun = true, 0;
        }
        return (1u << zeros) - 1 + bits(zeros);
    }

    bool overrun = false;

private:
    unsigned bit()
    {
        if (m_bit == 0 && m_emulation && m_at >= 2 && m_at < m_size && m_data[m_at] == 3 && m_data[m_at - 1] == 0
            && m_data[m_at - 2] == 0)
            ++m_at;
        if (m_at >= m_size) {
            overrun = true;
            return 0;
        }
        const unsigned value = (m_data[m_at] >> (7 - m_bit)) & 1;
        if (++m_bit == 8) {
            m_bit = 0;
            ++m_at;
        }
        return value;
    }

    const uint8_t* m_data;
    int m_size;
    bool m_emulation;
    int m_at = 0;
    int m_bit = 0;
};

// The offset just past the next start code 00 00 01 at or after from, or -1.
int afterStartCode(const uint8_t* data, int size, int from)
{
    if (from < 0 || size - from < 3)
        return -1;
    const uint8_t* end = data + size;
    const uint8_t* after = mci::afterStartCode(data + from, end);
    if (after == end && !(end[-3] == 0 && end[-2] == 0 && end[-1] == 1))
        return -1;
    return int(after - data);
}

// Calls unit(begin, size) for each unit of an H.264/HEVC access unit, either length-prefixed
// (lengthSize bytes, as MP4 and Matroska store them) or behind start codes (then size runs to
// the end of the packet); stops when unit answers true or the bytes end. False when the lengths
// do not fit the packet (damage).
template <typename Unit>
bool forEachUnit(const uint8_t* data, int size, int lengthSize, Unit unit)
{
    if (lengthSize > 0) {
        for (int at = 0; at + lengthSize <= size;) {
            qint64 length = 0;
            for (int i = 0; i < lengthSize; ++i)
                length = (length << 8) | data[at + i];
            at += lengthSize;
            if (length <= 0 || length > size - at)
                return false;
            if (unit(data + at, int(length)))
                return true;
            at += int(length);
        }
        return true;
    }
    // A unit's end is looked for only to go on past it: the picture's own unit, which is most
    // of the packet, is read no further than its header.
    for (int at = afterStartCode(data, size, 0); at >= 0 && at < size; at = afterStartCode(data, size, at)) {
        if (unit(data + at, size - at))
            return true;
    }
    return true;
}

}  // namespace

PictureHeaderReader::PictureHeaderReader(const AVCodecParameters* parameters) : m_codec(parameters->codec_id)
{
    const uint8_t* extra = parameters->extradata;
    const int extraSize = parameters->extradata_size;
    // Length-prefixed streams say so in a configuration record that starts with version 1.
    if (m_codec == AV_CODEC_ID_H264 && extraSize >= 7 && extra[0] == 1)
        m_lengthSize = (extra[4] & 3) + 1;
    else if (m_codec == AV_CODEC_ID_HEVC && extraSize >= 23 && extra[0] == 1)
        m_lengthSize = (extra[21] & 3) + 1, readHevcRecord(extra, extraSize);
    else if (m_codec == AV_CODEC_ID_HEVC && extraSize > 0)
        hevc(extra, extraSize);
    else if (m_codec == AV_CODEC_ID_MPEG4 && extraSize > 0)
        readVideoObjectLayer(extra, extraSize);
}

PictureKind PictureHeaderReader::kindOf(const uint8_t* data, int size)
{
    if (size <= 0)
        return PictureKind::None;
    switch (m_codec) {
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
        return mpegVideo(data, size);
    case AV_CODEC_ID_MPEG4:
        return mpeg4Part2(data, size);
    case AV_CODEC_ID_H263:
    case AV_CODEC_ID_H263P:
        return h263(data, size);
    case AV_CODEC_ID_H264:
        return unitsOverrun(data, size) ? PictureKind::None : h264(data, size);
    case AV_CODEC_ID_HEVC:
        return unitsOverrun(data, size) ? PictureKind::None : hevc(data, size);
    case AV_CODEC_ID_VP8:
        // The frame tag: bit 0 clear for a key frame, bit 4 set for a frame that is shown.
        if (size < 3)
            return PictureKind::Unknown;
        if (!(data[0] & 0x10))
            return PictureKind::None;
        return data[0] & 1 ? PictureKind::Unknown : PictureKind::Intra;
    case AV_CODEC_ID_THEORA:
        // The first bit is set in the headers, which come again in the middle of a chained Ogg
        // file (two recordings joined end to end); in a frame the next bit is clear for a key
        // frame.
        if (data[0] & 0x80)
            return PictureKind::None;
        return data[0] & 0x40 ? PictureKind::Unknown : PictureKind::Intra;
    default:
        return PictureKind::Unknown;
    }
}

// The picture header (start code 00 00 01 00): a 10-bit temporal reference, then the coding
// type 1 I, 2 P, 3 B, 4 D (MPEG-1's intra-only pictures).
PictureKind PictureHeaderReader::mpegVideo(const uint8_t* data, int size) const
{
    for (int at = afterStartCode(data, size, 0); at >= 0; at = afterStartCode(data, size, at)) {
        if (data[at] != 0x00)
            continue;
        if (at + 3 > size)
            return PictureKind::Unknown;
        switch ((data[at + 2] >> 3) & 7) {
        case 1:
        case 4:
            return PictureKind::Intra;
        case 2:
            return PictureKind::Reference;
        case 3:
            return PictureKind::Unreferenced;
        default:
            return PictureKind::Unknown;
        }
    }
    return PictureKind::None;
}

// The picture header: a 22-bit start code and the temporal reference, then the type, whose
// coding bit says intra or inter; where the source format is 7, the extended type of H.263
// version 2, whose code says I, P, improved PB, B or a scalability layer's EI or EP (which
// refer to another layer).
PictureKind PictureHeaderReader::h263(const uint8_t* data, int size)
{
    BitReader header(data, size, false);
    if (header.bits(22) != 0x20)
        return PictureKind::Unknown;
    header.bits(8);
    if (header.bits(2) != 2)
        return PictureKind::Unknown;
    header.bits(3);  // split screen, document camera, freeze release
    unsigned code = 0;
    if (header.bits(3) != 7) {
        code = header.bits(1);
    } else {
        if (header.bits(3) == 1)
            header.bits(18);  // the optional part, sent with this update flag
        code = header.bits(3);
    }
    if (header.overrun || code > 3)
        return PictureKind::Unknown;
    static constexpr PictureKind kinds[] = {PictureKind::Intra, PictureKind::Reference, PictureKind::Reference,
                                            PictureKind::Unreferenced};
    return kinds[code];
}

// A video object plane (start code 00 00 01 B6): its coding type, then the time it is shown
// at, then whether it is coded at all. A plane that is not coded repeats the previous picture
// and the decoder gives nothing for it. The width of the time field comes from the video
// object layer header, which may precede the plane in the same packet.
PictureKind PictureHeaderReader::mpeg4Part2(const uint8_t* data, int size)
{
    for (int at = afterStartCode(data, size, 0); at >= 0 && at < size; at = afterStartCode(data, size, at)) {
        if (data[at] >= 0x20 && data[at] <= 0x2f) {
            readVideoObjectLayer(data + at - 3, size - at + 3);
            continue;
        }
        if (data[at] != 0xb6)
            continue;
        BitReader header(data + at + 1, size - at - 1, false);
        const unsigned type = header.bits(2);
        if (m_timeIncrementBits >= 0) {
            while (header.bits(1) == 1 && !header.overrun) {
            }
            header.bits(1);  // marker
            header.bits(m_timeIncrementBits);
            header.bits(1);  // marker
            if (!header.overrun && header.bits(1) == 0)
                return PictureKind::None;
        }
        static constexpr PictureKind kinds[] = {PictureKind::Intra, PictureKind::Reference, PictureKind::Unreferenced,
                                                PictureKind::Reference};
        return kinds[type];
    }
    return PictureKind::Unknown;
}

// The video object layer header, as far as the resolution of the time stamps (start code 00
// 00 01 2x). Reading stops without a result at anything unexpected.
void PictureHeaderReader::readVideoObjectLayer(const uint8_t* data, int size)
{
    for (int at = afterStartCode(data, size, 0); at >= 0 && at < size; at = afterStartCode(data, size, at)) {
        if (data[at] < 0x20 || data[at] > 0x2f)
            continue;
        BitReader layer(data + at + 1, size - at - 1, false);
        layer.bits(1);  // random accessible
        layer.bits(8);  // object type
        int version = 1;
        if (layer.bits(1)) {
            version = int(layer.bits(4));
            layer.bits(3);  // priority
        }
        if (layer.bits(4) == 15)  // extended pixel aspect ratio
            layer.bits(16);
        if (layer.bits(1)) {  // control parameters
            layer.bits(3);    // chroma format, low delay
            if (layer.bits(1))
                layer.bits(79);  // buffer parameters
        }
        const unsigned shape = layer.bits(2);
        if (shape == 3 && version != 1)
            layer.bits(4);
        if (layer.bits(1) != 1)  // marker
            return;
        const unsigned resolution = layer.bits(16);
        if (layer.overrun || resolution == 0)
            return;
        int bits = 1;
        while ((1u << bits) < resolution)
            ++bits;
        m_timeIncrementBits = bits;
        return;
    }
}

// Network abstraction units: 1 to 5 are slices, the picture itself; an access unit without one
// is damaged. The first slice says the kind: nal_ref_idc 0 for a picture nothing refers to,
// else slice types 2 and 7 (I), 4 and 9 (SI) for intra pictures. A unit holding two fields is
// unreferenced only when the second is too: a jump passes over such a picture.
PictureKind PictureHeaderReader::h264(const uint8_t* data, int size) const
{
    PictureKind kind = PictureKind::None;
    const bool whole = forEachUnit(data, size, m_lengthSize, [&](const uint8_t* unit, int length) {
        const int type = unit[0] & 0x1f;
        if (type < 1 || type > 5)
            return false;
        if ((unit[0] & 0x60) == 0) {
            kind = PictureKind::Unreferenced;
            return false;
        }
        if (kind == PictureKind::Unreferenced)
            return kind = PictureKind::Reference, true;
        BitReader slice(unit + 1, length - 1, true);
        slice.unsignedGolomb();  // first macroblock
        const unsigned sliceType = slice.unsignedGolomb() % 5;
        kind = slice.overrun ? PictureKind::Unknown
                             : (sliceType == 2 || sliceType == 4 ? PictureKind::Intra : PictureKind::Reference);
        return true;
    });
    return whole || kind != PictureKind::None ? kind : PictureKind::Unknown;
}

// A unit whose length runs past the end of its packet (a file cut short in the middle of its
// last picture): the decoders then refuse the whole packet, whatever units come before it.
bool PictureHeaderReader::unitsOverrun(const uint8_t* data, int size) const
{
    for (int at = 0; m_lengthSize > 0 && at + m_lengthSize <= size;) {
        qint64 length = 0;
        for (int i = 0; i < m_lengthSize; ++i)
            length = (length << 8) | data[at + i];
        at += m_lengthSize;
        if (length > size - at)
            return true;
        if (length <= 0)
            return false;
        at += int(length);
    }
    return false;
}

// The type of an HEVC picture's first slice unit; -1 where none is found.
int PictureHeaderReader::firstHevcSlice(const uint8_t* data, int size) const
{
    int slice = -1;
    forEachUnit(data, size, m_lengthSize, [&](const uint8_t* unit, int length) {
        const int type = length >= 2 ? (unit[0] >> 1) & 0x3f : 63;
        if (type > 31)
            return false;  // parameter sets, delimiters, SEI: the picture comes later
        slice = type;
        return true;
    });
    return slice;
}

bool PictureHeaderReader::startsAnew(const uint8_t* data, int size) const
{
    if (m_codec == AV_CODEC_ID_HEVC) {
        // IDR and BLA pictures (16 to 20); a CRA picture's count goes on.
        const int slice = firstHevcSlice(data, size);
        return slice >= 16 && slice <= 20;
    }
    bool anew = false;
    forEachUnit(data, size, m_lengthSize, [&](const uint8_t* unit, int) {
        const int type = unit[0] & 0x1f;
        anew = type == 5;
        return type >= 1 && type <= 5;
    });
    return m_codec == AV_CODEC_ID_H264 && anew;
}

bool PictureHeaderReader::beginsDecoding(const uint8_t* data, int size) const
{
    if (m_codec != AV_CODEC_ID_HEVC)
        return true;
    const int slice = firstHevcSlice(data, size);
    return slice < 0 || slice >= 16;
}

// Units 0 to 31 are slices; 16 to 23 begin a picture decoded on its own. The even types below
// 16 are sub-layer non-reference pictures: only pictures of higher sub-layers may refer to them,
// so in the highest one nothing does. The sequence header (unit 33) says how many there are.
PictureKind PictureHeaderReader::hevc(const uint8_t* data, int size)
{
    PictureKind kind = PictureKind::None;
    const bool whole = forEachUnit(data, size, m_lengthSize, [&](const uint8_t* unit, int length) {
        if (length < 2)
            return false;
        const int type = (unit[0] >> 1) & 0x3f;
        if (type == 33 && length >= 3)
            m_highestSubLayer = (unit[2] >> 1) & 7;
        if (type > 31)
            return false;
        const bool unreferenced = type < 16 && type % 2 == 0 && (unit[1] & 7) - 1 == m_highestSubLayer;
        kind = type >= 16 && type <= 23 ? PictureKind::Intra
               : unreferenced           ? PictureKind::Unreferenced
                                        : PictureKind::Unknown;
        return true;
    });
    return whole || kind != PictureKind::None ? kind : PictureKind::Unknown;
}

// The sequence header in an HEVC configuration record (arrays of units, each with a 2-byte
// length), for the number of sub-layers.
void PictureHeaderReader::readHevcRecord(const uint8_t* data, int size)
{
    int at = 23;
    for (int array = 0, arrays = size > 22 ? data[22] : 0; array < arrays && at + 3 <= size; ++array) {
        const int type = data[at] & 0x3f;
        const int units = (data[at + 1] << 8) | data[at + 2];
        at += 3;
        for (int i = 0; i < units && at + 2 <= size; ++i) {
            const int length = (data[at] << 8) | data[at + 1];
            at += 2;
            if (type == 33 && length >= 3 && at + 3 <= size)
                m_highestSubLayer = (data[at + 2] >> 1) & 7;
            at += length;
        }
    }
}

}  // namespace mci
