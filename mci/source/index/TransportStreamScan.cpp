#include "TransportStreamScan.h"

#include "Demuxer.h"
#include "PictureHeader.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace mci {

namespace {

constexpr int kTsSize = 188;
// Read at a time: large enough that the system calls do not count, small enough to stay in the
// core's cache while its packets are looked at.
constexpr qint64 kReadSize = 1 << 20;
// How far the demuxer looks for a sync byte it has lost, before it gives up.
constexpr qint64 kResyncSize = 65536;
// The demuxer gives out a PES of unstated length in pieces of at most this many bytes; the
// scan, which takes a PES for one packet, declines such a piece and so holds no more.
constexpr qint64 kMaxPesPiece = 200 * 1024;
// The picture timing message the demuxer's parser keeps, in bytes; a longer one fails there.
constexpr unsigned kMaxPictureTiming = 40;

// Bits of a header, first bit first; in H.264 units the emulation prevention bytes (00 00 03)
// are passed over. Past the end it reads zeros and says so.
class Bits {
public:
    Bits(const uint8_t* at, const uint8_t* end, bool escaped) : m_at(at), m_end(end), m_escaped(escaped) {}

    unsigned bits(int count)
    {
        unsigned value = 0;
        while (count-- > 0)
            value = (value << 1) | bit();
        return value;
    }
    unsigned golomb()
    {
        int zeros = 0;
        while (!bit()) {
            if (++zeros > 31)
                return overrun = true, 0;
        }
        return (1u << zeros) - 1 + bits(zeros);
    }
    void skipGolombs(int count)
    {
        while (count-- > 0)
            golomb();
    }

    bool overrun = false;

private:
    unsigned bit()
    {
        if (m_at >= m_end)
            return overrun = true, 0;
        const unsigned value = (*m_at >> (7 - m_bit)) & 1;
        if (++m_bit == 8) {
            m_bit = 0;
            m_zeros = *m_at == 0 ? m_zeros + 1 : 0;
            if (++m_at < m_end && m_escaped && m_zeros >= 2 && *m_at == 3)
                ++m_at, m_zeros = 0;
        }
        return value;
    }

    const uint8_t* m_at;
    const uint8_t* m_end;
    bool m_escaped;
    int m_bit = 0;
    int m_zeros = 0;
};

// What the demuxer's parser reads from each access unit, read the same way: whether it is a
// keyframe or a B-picture, and how long it lasts; its state carries from one unit to the next
// as the parser's does. False wherever the parser would cut the bytes into other units than the
// PES packets are, or read something this reader does not follow.
class AccessUnitReader {
public:
    // midStream: reading starts after the stream's first pictures, where the demuxer's parser
    // has read one (see askParser()).
    AccessUnitReader(const AVCodecParameters* parameters, bool midStream);

    bool read(const uint8_t* data, const uint8_t* end);
    bool keyframe() const { return m_keyframe; }
    bool bPicture() const { return m_bPicture; }
    // A unit without a picture holds off the parser's cut to the next one.
    bool hasPicture() const { return m_hasPicture; }
    // The kind headers.kindOf() gives the unit last read, which it reads no further than the
    // walk over its units left to read: H.264's first referenced slice, from its start code on.
    PictureKind kindOf(const uint8_t* data, size_t size, PictureHeaderReader& headers) const;
    // The decoder's reordering delay in pictures, as the demuxer keeps it.
    int delay() const { return m_delay; }
    // What the demuxer makes the duration (90 kHz): the codec's frame rate in ticks (fields
    // where the codec counts them) times the picture's repeats; -1 while the rate is unknown.
    qint64 duration() const;
    // Whether the demuxer's parser has read a picture by now (H.264; see askParser()). Until it
    // has, the demuxer does not know the frame rate of the codec, and times by the stream's.
    bool pictureRead() const { return !m_parser; }
    // All that carries from one unit to the next: two readers in the same state read the units
    // that follow the same.
    auto state() const
    {
        return std::tuple(m_codec, m_delay, m_keyframe, m_bPicture, m_hasPicture, m_repeat, m_rate.num, m_rate.den,
                          m_ticksPerFrame, m_pictureType, m_sequenceRate.num, m_sequenceRate.den,
                          m_progressiveSequence, m_spsBytes, m_separatePlanes, m_frameMbsOnly, m_hrd, m_picStruct,
                          m_frameNumBits, m_cpbDelayBits, m_dpbDelayBits, pictureRead());
    }

private:
    bool mpegVideo(const uint8_t* data, const uint8_t* end);
    bool h264(const uint8_t* data, const uint8_t* end);
    bool slice(Bits bits, int type, bool recovery, int picStruct);
    bool sequenceParameters(const uint8_t* at, const uint8_t* end);
    bool supplementalInformation(const uint8_t* at, const uint8_t* end, bool* recovery, int* picStruct);
    bool setRate(AVRational rate, int ticksPerFrame);
    void askParser(const uint8_t* data, const uint8_t* end);

    AVCodecID m_codec;
    int m_delay;
    bool m_keyframe = false, m_bPicture = false, m_hasPicture = false;
    int m_repeat = 0;  // fields beyond the first, as the parser counts them
    AVRational m_rate{0, 0};
    int m_ticksPerFrame = 1;
    // MPEG-1/2
    int m_pictureType = 0;
    AVRational m_sequenceRate{0, 0};
    bool m_progressiveSequence = false;
    // H.264: the sequence parameter set as far as the parser uses it, and its bytes.
    std::vector<uint8_t> m_spsBytes;
    bool m_separatePlanes = false, m_frameMbsOnly = true, m_hrd = false, m_picStruct = false;
    int m_frameNumBits = 0, m_cpbDelayBits = 0, m_dpbDelayBits = 0;
    // H.264: where the unit's first slice that others may refer to begins, after its start code
    // (-1: none), and whether a slice nothing refers to came before it.
    ptrdiff_t m_referencedSlice = -1;
    bool m_unreferencedSlice = false;
    std::vector<uint8_t> m_rbsp;
    // H.264: a parser like the demuxer's, until it has read a picture (see h264()).
    ParserPtr m_parser;
    CodecContextPtr m_parserContext;
};

AccessUnitReader::AccessUnitReader(const AVCodecParameters* parameters, bool midStream)
    : m_codec(parameters->codec_id), m_delay(parameters->video_delay)
{
    // The demuxer's parser starts afresh where its open left the codec context: knowing the frame
    // rate of the headers it kept as extradata (the rate must stay the same, see setRate()).
    if (parameters->extradata && parameters->extradata_size > 0)
        read(parameters->extradata, parameters->extradata + parameters->extradata_size);
    m_pictureType = 0;
    m_progressiveSequence = false;
    m_delay = parameters->video_delay;
    if (m_codec != AV_CODEC_ID_H264 || midStream)
        return;
    m_parserContext.reset(avcodec_alloc_context3(nullptr));
    m_parser.reset(av_parser_init(AV_CODEC_ID_H264));
    if (m_parser && m_parserContext && avcodec_parameters_to_context(m_parserContext.get(), parameters) >= 0)
        m_parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    else
        m_codec = AV_CODEC_ID_NONE;
}

bool AccessUnitReader::read(const uint8_t* data, const uint8_t* end)
{
    // Bytes that begin with their first start code (only zeros before it) and end on no part of
    // one: no start code spans two PES packets, so the parser cuts where they meet.
    const uint8_t* first = afterStartCode(data, end);
    if (first - data < 3 || first >= end || !std::all_of(data, first - 1, [](uint8_t b) { return b == 0; })
        || (end[-3] == 0 && end[-2] == 0 && end[-1] == 1))
        return false;
    if (m_codec == AV_CODEC_ID_MPEG1VIDEO || m_codec == AV_CODEC_ID_MPEG2VIDEO)
        return mpegVideo(data, end);
    return m_codec == AV_CODEC_ID_H264 && h264(data, end);
}

qint64 AccessUnitReader::duration() const
{
    if (m_rate.num <= 0 || m_rate.den <= 0)
        return -1;
    if (m_rate.den * 1000LL <= m_rate.num)
        return 0;
    return 90000LL * m_rate.den * (1 + m_repeat) / (qint64(m_rate.num) * m_ticksPerFrame);
}

// The demuxer's codec context holds the rate of the last headers its open read, which are not
// known here: where the rate changes, which one the first pictures had is not sure.
bool AccessUnitReader::setRate(AVRational rate, int ticksPerFrame)
{
    if (m_rate.num > 0 && (av_cmp_q(rate, m_rate) != 0 || ticksPerFrame != m_ticksPerFrame))
        return false;
    m_rate = rate;
    m_ticksPerFrame = ticksPerFrame;
    return true;
}

// The sequence header gives the frame rate, its extension the rate's fraction and whether
// pictures are reordered, the picture header the coding type (1 I, 3 B), its extension the
// repeated fields. The parser's picture ends at the first start code after its slices that is
// no slice; a sequence end code ends it there and then.
bool AccessUnitReader::mpegVideo(const uint8_t* data, const uint8_t* end)
{
    static constexpr AVRational kRates[] = {{0, 0},  {24000, 1001}, {24, 1},       {25, 1}, {30000, 1001},
                                            {30, 1}, {50, 1},       {60000, 1001}, {60, 1}};
    m_repeat = 0;
    m_hasPicture = false;
    AVRational rate = m_rate;
    int ticks = m_ticksPerFrame;
    const uint8_t* code = afterStartCode(data, end);
    if (code[0] != 0x00 && code[0] != 0xb3 && code[0] != 0xb8)
        return false;
    for (; code < end; code = afterStartCode(code, end)) {
        const uint8_t* h = code + 1;
        const qint64 size = end - h;
        if (code[0] >= 0x01 && code[0] <= 0xaf) {
            m_hasPicture = true;
        } else if (m_hasPicture || code[0] == 0xb7) {
            if (code[0] != 0xb7 || size != 0)
                return false;
        } else if (code[0] == 0x00 && size >= 2) {
            m_pictureType = (h[1] >> 3) & 7;
        } else if (code[0] == 0xb3 && size >= 7) {
            if ((h[3] & 15) == 0 || (h[3] & 15) > 8)
                return false;  // no standard rate
            rate = m_sequenceRate = kRates[h[3] & 15];
            ticks = 1;
        } else if (code[0] == 0xb5 && size >= 6 && h[0] >> 4 == 1) {
            m_progressiveSequence = h[1] & 8;
            m_delay = !(h[5] >> 7);
            rate = {m_sequenceRate.num * (((h[5] >> 5) & 3) + 1), m_sequenceRate.den * ((h[5] & 31) + 1)};
            ticks = 2;
        } else if (code[0] == 0xb5 && size >= 5 && h[0] >> 4 == 8) {
            // A field picture is half of a frame the parser joins with the next: not followed.
            if ((h[2] & 3) != 3)
                return false;
            const bool topFirst = h[3] & 0x80, repeatFirst = h[3] & 2, progressive = h[4] & 0x80;
            m_repeat = !repeatFirst ? 1 : m_progressiveSequence ? (topFirst ? 5 : 3) : progressive ? 2 : 1;
        }
    }
    m_keyframe = m_pictureType == 1;
    m_bPicture = m_pictureType == 3;
    m_delay = m_bPicture && m_delay == 0 ? 1 : m_delay;  // the demuxer's own guess
    return (rate.num == 0 || setRate(rate, ticks)) && m_pictureType != 0;
}

// Units 6 to 9 (messages, parameter sets, delimiter) begin an access unit, and after a slice
// they begin the parser's next picture, as does a slice that starts at or before the last one's
// first macroblock. Whether the picture is a keyframe, and how long it lasts, comes from what
// precedes its first slice and from that slice's header.
bool AccessUnitReader::h264(const uint8_t* data, const uint8_t* end)
{
    const uint8_t* unit = afterStartCode(data, end);
    if ((unit[0] & 0x1f) < 6 || (unit[0] & 0x1f) > 9)
        return false;
    m_hasPicture = m_keyframe = m_bPicture = m_unreferencedSlice = false;
    m_referencedSlice = -1;
    bool recovery = false;
    int picStruct = -1;
    unsigned lastMacroblock = 0;
    for (const uint8_t* next; unit < end; unit = next) {
        next = afterStartCode(unit, end);
        const uint8_t* unitEnd = next < end ? next - 3 : end;
        while (unitEnd > unit && unitEnd[-1] == 0)
            --unitEnd;
        const int type = unit[0] & 0x1f;
        if (type >= 1 && type <= 5 && m_referencedSlice < 0) {
            if (unit[0] & 0x60)
                m_referencedSlice = unit - data;
            else
                m_unreferencedSlice = true;
        }
        Bits bits(unit + 1, unitEnd, true);
        if (type == 1 || type == 2 || type == 5) {
            const unsigned macroblock = bits.golomb();
            if (type == 2 || (m_hasPicture && macroblock <= lastMacroblock)
                || (!m_hasPicture && !slice(bits, type, recovery, picStruct)))
                return false;
            m_hasPicture = true;
            lastMacroblock = macroblock;
        } else if (m_hasPicture) {
            if (type >= 6 && type <= 9)
                return false;
        } else if ((type == 7 && !sequenceParameters(unit, unitEnd))
                   || (type == 6 && !supplementalInformation(unit + 1, unitEnd, &recovery, &picStruct))) {
            return false;
        }
    }
    m_delay = m_bPicture && m_delay == 0 ? 1 : m_delay;  // the demuxer's own guess
    askParser(data, end);
    return true;
}

PictureKind AccessUnitReader::kindOf(const uint8_t* data, size_t size, PictureHeaderReader& headers) const
{
    const auto kind = [&headers](const uint8_t* from, size_t bytes) {
        return headers.kindOf(from, int(std::min<size_t>(bytes, INT_MAX)));
    };
    if (m_codec != AV_CODEC_ID_H264)
        return kind(data, size);
    // The reader takes a picture for one others refer to where any slice of it is one.
    if (m_referencedSlice < 0)
        return m_unreferencedSlice ? PictureKind::Unreferenced : PictureKind::None;
    if (m_unreferencedSlice)
        return PictureKind::Reference;
    const size_t startCode = size_t(m_referencedSlice) - 3;
    return kind(data + startCode, size - startCode);
}

// After the first macroblock. The keyframe and the kind come first: where the parser does not
// know the parameter sets it stops after them, and the repeat it last read stays.
bool AccessUnitReader::slice(Bits bits, int type, bool recovery, int picStruct)
{
    m_keyframe = type == 5 || recovery;
    m_bPicture = bits.golomb() % 5 == 1;
    bits.golomb();  // picture parameter set
    if (m_spsBytes.empty())
        return true;
    bits.bits(m_separatePlanes ? 2 : 0);
    bits.bits(m_frameNumBits);
    // A field is half of a frame: not followed.
    if ((!m_frameMbsOnly && bits.bits(1)) || bits.overrun)
        return false;
    static constexpr int kRepeats[] = {1, 0, 0, 1, 1, 2, 2, 3, 5};
    m_repeat = m_picStruct && picStruct >= 0 ? kRepeats[picStruct] : 1;
    return true;
}

// The demuxer's parser reads a slice header to its end, and where that fails (damage) it keeps
// the repeat of the last picture it read: after a first picture, the repeat of a picture like
// this one (the parameter sets do not change); before it, none. Until then its answer is taken.
void AccessUnitReader::askParser(const uint8_t* data, const uint8_t* end)
{
    if (!m_parser)
        return;
    std::vector<uint8_t> padded(data, end);
    padded.resize(padded.size() + AV_INPUT_BUFFER_PADDING_SIZE);
    uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(m_parser.get(), m_parserContext.get(), &out, &outSize, padded.data(), int(end - data),
                     AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    m_repeat = m_parser->repeat_pict;
    if (m_parser->picture_structure != AV_PICTURE_STRUCTURE_UNKNOWN)
        m_parser.reset();
}

// One set, repeated as it was, is followed: the parser forgets the picture parameter sets of a
// set that changes, and which set a picture uses would take those.
bool AccessUnitReader::sequenceParameters(const uint8_t* at, const uint8_t* end)
{
    if (!m_spsBytes.empty())
        return std::equal(at, end, m_spsBytes.begin(), m_spsBytes.end());
    static constexpr unsigned kHighProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    Bits bits(at + 1, end, true);
    const unsigned profile = bits.bits(8);
    bits.bits(16);  // constraints, level
    const unsigned id = bits.golomb();
    if (std::find(std::begin(kHighProfiles), std::end(kHighProfiles), profile) != std::end(kHighProfiles)) {
        const unsigned chroma = bits.golomb();
        m_separatePlanes = chroma == 3 && bits.bits(1);
        bits.skipGolombs(2);  // bit depths
        bits.bits(1);
        for (int list = 0, lists = bits.bits(1) ? (chroma != 3 ? 8 : 12) : 0; list < lists; ++list) {
            for (int j = 0, last = 8, next = bits.bits(1) ? 8 : 0; j < (list < 6 ? 16 : 64) && next; ++j) {
                const unsigned delta = bits.golomb();  // signed: odd codes are positive
                next = (last + (delta & 1 ? int(delta + 1) / 2 : -int(delta / 2)) + 256) % 256;
                last = next ? next : last;
                next = bits.overrun ? 0 : next;
            }
        }
    }
    m_frameNumBits = int(bits.golomb()) + 4;
    const unsigned order = bits.golomb();
    if (order == 0) {
        bits.golomb();
    } else if (order == 1) {
        bits.bits(1);
        bits.skipGolombs(2);
        bits.skipGolombs(int(std::min(bits.golomb(), 256u)));
    }
    bits.golomb();  // reference frames
    bits.bits(1);   // gaps in frame numbers
    bits.skipGolombs(2);  // size
    m_frameMbsOnly = bits.bits(1);
    bits.bits(m_frameMbsOnly ? 1 : 2);  // adaptive frame/field, direct 8x8 inference
    if (bits.bits(1))
        bits.skipGolombs(4);  // cropping
    if (bits.bits(1)) {  // usability information
        if (bits.bits(1) && bits.bits(8) == 255)
            bits.bits(32);  // sample aspect ratio
        if (bits.bits(1))
            bits.bits(1);  // overscan
        if (bits.bits(1)) {  // video signal type
            bits.bits(4);
            bits.bits(bits.bits(1) ? 24 : 0);  // colour description
        }
        if (bits.bits(1))
            bits.skipGolombs(2);  // chroma location
        if (bits.bits(1)) {
            const unsigned unitsInTick = bits.bits(32), timeScale = bits.bits(32);
            bits.bits(1);
            // The parser's frame rate, in fields: two ticks to a frame.
            if (unitsInTick > 0 && timeScale > 0 && unitsInTick < (1u << 29) && timeScale < (1u << 30)
                && !setRate({int(timeScale), int(unitsInTick * 2)}, 2))
                return false;
        }
        for (int hrd = 0; hrd < 2; ++hrd) {  // network and coding layer
            if (!bits.bits(1))
                continue;
            m_hrd = true;
            const unsigned count = bits.golomb() + 1;
            bits.bits(8);
            for (unsigned i = 0; i < count && i <= 32; ++i) {
                bits.skipGolombs(2);
                bits.bits(1);
            }
            bits.bits(5);
            m_cpbDelayBits = int(bits.bits(5)) + 1;
            m_dpbDelayBits = int(bits.bits(5)) + 1;
            bits.bits(5);
            bits.overrun |= count > 32;
        }
        bits.bits(m_hrd ? 1 : 0);  // low delay
        m_picStruct = bits.bits(1);
    }
    if (bits.overrun || id >= 32 || m_frameNumBits > 16)
        return false;
    m_spsBytes.assign(at, end);
    return true;
}

// The messages before the picture: a recovery point makes it a keyframe, as it does for the
// parser, and the picture timing's structure says how many fields it lasts. An x264 of 2006
// wrote half the frame rate, and the parser doubles it for a picture that says so.
bool AccessUnitReader::supplementalInformation(const uint8_t* at, const uint8_t* end, bool* recovery, int* picStruct)
{
    m_rbsp.clear();
    for (int zeros = 0; at < end; ++at) {
        if (zeros < 2 || *at != 3)
            m_rbsp.push_back(*at);
        zeros = *at == 0 ? std::min(zeros + 1, 2) : 0;
    }
    const uint8_t* p = m_rbsp.data();
    const uint8_t* e = p + m_rbsp.size();
    while (e - p > 2 && (p[0] || p[1])) {
        unsigned type = 0, size = 0;
        for (unsigned* value : {&type, &size}) {
            do {
                if (p == e)
                    return false;
                *value += *p;
            } while (*p++ == 255);
        }
        if (size > unsigned(e - p))
            return false;
        Bits payload(p, p + size, false);
        int build = 0;
        if (type == 6) {
            if (payload.golomb() >= 65536)
                return false;
            *recovery = true;
        } else if (type == 1) {
            if (size > kMaxPictureTiming)
                return false;
            payload.bits(m_hrd ? m_cpbDelayBits : 0);
            payload.bits(m_hrd ? m_dpbDelayBits : 0);
            *picStruct = m_picStruct ? int(payload.bits(4)) : -1;
            *picStruct = *picStruct <= 8 ? *picStruct : -1;
        } else if (type == 5 && size >= 16
                   && std::sscanf(std::string(p + 16, p + size).c_str(), "x264 - core %d", &build) == 1
                   && build > 0 && build < 44) {
            return false;
        }
        p += size;
    }
    return true;
}

// Complete PES packets of the video PID, their payloads side by side, handed from the pass over
// the file to the reading of their access units.
struct PesBatch {
    struct Pes {
        qint64 position, pts, dts;
        size_t begin, end;  // of the payload in bytes
    };
    std::vector<Pes> pes;
    // Payloads are copied into these bytes, sized once: a growing vector's bookkeeping at every
    // transport packet was a tenth of the pass.
    std::vector<uint8_t> bytes;
    size_t used = 0;

    void clear()
    {
        pes.clear();
        used = 0;
    }
};

// Batches in flight: one filled, one read, one waiting.
constexpr int kBatches = 3;
// Where the pass reads its batches itself, they are read while still in the core's cache.
constexpr size_t kPartBatchBytes = size_t(128) << 10;

// Batches between the two threads; either side's failure ends both.
class BatchExchange {
public:
    BatchExchange(size_t batchBytes, int batches)
    {
        for (int i = 0; i < batches; ++i) {
            auto batch = std::make_unique<PesBatch>();
            // A PES of unstated length is declined past kMaxPesPiece, and one of stated length
            // holds at most 64 kB: a batch never outgrows this.
            reserveOnLargePages(batch->bytes, batchBytes + 2 * kMaxPesPiece);
            batch->bytes.resize(batch->bytes.capacity());
            m_empty.push_back(std::move(batch));
        }
    }

    // Filled batches, in file order; nullptr once the pass is over and all are taken, or on a
    // failure.
    std::unique_ptr<PesBatch> takeFilled()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_filled.empty() || m_closed || m_failed; });
        if (m_failed || m_filled.empty())
            return nullptr;
        auto batch = std::move(m_filled.front());
        m_filled.pop_front();
        return batch;
    }
    void giveBackRead(std::unique_ptr<PesBatch> batch)
    {
        batch->clear();
        std::lock_guard lock(m_mutex);
        m_empty.push_back(std::move(batch));
        m_changed.notify_all();
    }
    // An empty batch for the filled one (nullptr at the start); nullptr on a failure.
    std::unique_ptr<PesBatch> exchange(std::unique_ptr<PesBatch> filled)
    {
        std::unique_lock lock(m_mutex);
        if (filled)
            m_filled.push_back(std::move(filled));
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_empty.empty() || m_failed; });
        if (m_failed)
            return nullptr;
        auto batch = std::move(m_empty.back());
        m_empty.pop_back();
        return batch;
    }
    void close(std::unique_ptr<PesBatch> last)
    {
        std::lock_guard lock(m_mutex);
        if (last && !last->pes.empty())
            m_filled.push_back(std::move(last));
        m_closed = true;
        m_changed.notify_all();
    }
    void fail()
    {
        std::lock_guard lock(m_mutex);
        m_failed = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::unique_ptr<PesBatch>> m_filled;
    std::vector<std::unique_ptr<PesBatch>> m_empty;
    bool m_closed = false, m_failed = false;
};

// Each complete PES turned into the packet the demuxer gives, in file order; false where the
// demuxer would give something else.
class AccessUnits {
public:
    AccessUnits(const Demuxer& demuxer, const AVProgram* program, std::vector<PacketEntry>* packets, bool midStream)
        : m_program(program), m_units(demuxer.videoParameters(), midStream), m_headers(demuxer.videoParameters()),
          m_packets(packets)
    {
    }

    bool read(const PesBatch& batch);
    // Whether what was read ends as the demuxer's reading would.
    bool endedWell() const { return m_units.pictureRead(); }
    size_t written() const { return m_packets->size(); }
    void writeTo(std::vector<PacketEntry>* packets) { m_packets = packets; }
    // The picture header reader keeps nothing from one picture to the next in these codecs.
    auto state() const { return std::tuple(m_units.state(), m_openEnded, m_lastDts); }

private:
    bool readPes(const PesBatch::Pes& pes, const uint8_t* data);
    qint64 unwrapped(qint64 stamp) const;

    const AVProgram* m_program;
    AccessUnitReader m_units;
    PictureHeaderReader m_headers;
    std::vector<PacketEntry>* m_packets;
    bool m_openEnded = false;  // the last access unit held no picture
    qint64 m_lastDts = kNoTime;
};

using UnitsState = decltype(std::declval<const AccessUnits&>().state());

bool AccessUnits::read(const PesBatch& batch)
{
    for (const PesBatch::Pes& pes : batch.pes) {
        if (!readPes(pes, batch.bytes.data() + pes.begin))
            return false;
    }
    return true;
}

// The demuxer moves timestamps on the far side of the wrap reference of the stream's program,
// which its open set from the first timestamp it met.
qint64 AccessUnits::unwrapped(qint64 stamp) const
{
    constexpr qint64 kWrap = qint64(1) << 33;
    if (m_program->pts_wrap_behavior == AV_PTS_WRAP_ADD_OFFSET && stamp < m_program->pts_wrap_reference)
        return stamp + kWrap;
    if (m_program->pts_wrap_behavior == AV_PTS_WRAP_SUB_OFFSET && stamp >= m_program->pts_wrap_reference)
        return stamp - kWrap;
    return stamp;
}

bool AccessUnits::readPes(const PesBatch::Pes& pes, const uint8_t* data)
{
    const size_t size = pes.end - pes.begin;
    if (m_openEnded || size == 0 || !m_units.read(data, data + size))
        return false;
    m_openEnded = !m_units.hasPicture();
    PacketEntry entry;
    entry.pts = unwrapped(pes.pts);
    entry.dts = unwrapped(pes.dts);
    entry.duration = m_units.duration();
    // Where the demuxer would drop the decode time as damage and make up one of its own: one
    // after the presentation time, one equal to it on a picture the decoder holds back, or one
    // that goes back where the two are equal.
    if (entry.duration < 0 || entry.pts < entry.dts
        || (entry.pts == entry.dts
            && ((m_units.delay() != 0 && !m_units.bPicture()) || (m_lastDts != kNoTime && m_lastDts > entry.dts))))
        return false;
    m_lastDts = entry.dts;
    entry.position = pes.position;
    entry.keyframe = m_units.keyframe();
    entry.kind = m_units.kindOf(data, size, m_headers);
    entry.shown = entry.kind != PictureKind::None;
    entry.key = timeKey(entry.dts);
    m_packets->push_back(entry);
    return true;
}

// The first batches a part of the file read, and where its reader, starting from a state of its
// own guessing, stood after each.
struct Seam {
    struct Read {
        PesBatch batch;
        bool read = false;
        size_t packets = 0;  // the part's, from this batch and those before
        UnitsState state;
    };
    std::vector<Read> reads;
    size_t bytes = 0;
    bool all = true;  // every batch the part read is here
};

// One pass over the file, or over a part of it: transport packets as the demuxer reads them
// (resynchronising where it does), the video PID's PES packets gathered in batches. Over the
// whole file the batches go to a thread of their own, which reads their access units while the
// pass reads on; over a part, the pass reads them itself (see scanInParts()).
class Scanner {
public:
    Scanner(const Demuxer& demuxer, ScanReading& reading, size_t batchBytes, int batches);
    bool canScan() const { return m_pid >= 0; }
    const AVProgram* program() const { return m_program; }
    // How many packets the demuxer's guess of the length holds, and some.
    qint64 expectedPackets() const { return m_expectedPackets; }

    ContainerScan run(const QString& path);
    // The PES packets that start from `from` on and before `until`; where `from` is not the
    // file's start, the pass walks up to it first. tells: this is the calling thread.
    bool readPart(const QString& path, qint64 from, qint64 until, AccessUnits& units, Seam* seam, bool tells);
    // Where the part's first PES began, and where the first PES of the part after begins; -1 for
    // none.
    qint64 startedAt() const { return m_startedAt; }
    qint64 stoppedAt() const { return m_stoppedAt; }

private:
    bool pass(qint64 from);
    bool have(qint64 position, qint64 count);
    const uint8_t* at(qint64 position) const { return m_buffer.data() + (position - m_bufferStart); }
    qint64 resync(qint64 from);
    bool packet(const uint8_t* packet, qint64 position);
    bool startPes(const uint8_t* payload, int size, qint64 position);
    bool append(const uint8_t* payload, qint64 size);
    bool finishPes();
    bool readHere();

    const Demuxer& m_demuxer;
    ScanReading& m_reading;
    bool m_tells = true;
    ContainerScan m_result;
    int m_pid = -1;
    qint64 m_packetSize = 0;
    const AVProgram* m_program = nullptr;

    QFile m_file;
    qint64 m_expectedPackets = 0;
    std::vector<uint8_t> m_buffer;
    qint64 m_bufferStart = 0, m_bufferEnd = 0;
    bool m_cancelled = false;

    const size_t m_batchBytes;
    BatchExchange m_exchange;
    std::unique_ptr<PesBatch> m_batch;  // being filled
    AccessUnits* m_unitsHere = nullptr;  // where the pass reads the units itself: their reader
    Seam* m_seam = nullptr;
    bool m_inPes = false;
    PesBatch::Pes m_pes{};
    qint64 m_remaining = -1;  // payload bytes the PES says it has left; -1 unbounded

    // The part: PES packets before m_from are the part before's, from m_until on the next's.
    qint64 m_from = 0, m_until = std::numeric_limits<qint64>::max();
    bool m_started = true;
    bool m_stopped = false;
    qint64 m_startedAt = -1, m_stoppedAt = -1;
};

Scanner::Scanner(const Demuxer& demuxer, ScanReading& reading, size_t batchBytes, int batches)
    : m_demuxer(demuxer), m_reading(reading), m_batchBytes(batchBytes), m_exchange(batchBytes, batches)
{
    const int video = demuxer.videoStream();
    const AVStream* stream = demuxer.stream(video);
    AVFormatContext* context = demuxer.context();
    // Only the transport stream demuxer has a packet size.
    int64_t packetSize = 0;
    if (av_opt_get_int(context, "ts_packetsize", AV_OPT_SEARCH_CHILDREN, &packetSize) < 0 || demuxer.unpacksVideo()
        || stream->time_base.num != 1 || stream->time_base.den != 90000 || stream->pts_wrap_bits != 33)
        return;
    m_program = av_find_program_from_stream(context, nullptr, video);
    if (!m_program || m_program->pts_wrap_reference == AV_NOPTS_VALUE || (packetSize != 188 && packetSize != 192))
        return;
    m_pid = stream->id;
    m_packetSize = packetSize;
    m_expectedPackets = qint64(expectedVideoPackets(demuxer, m_reading.fileSize, kTsSize));
}

ContainerScan Scanner::run(const QString& path)
{
    m_file.setFileName(path);
    if (m_pid < 0 || !m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return m_result;
    reservePackets(m_result, size_t(expectedPackets()));
    AccessUnits units(m_demuxer, m_program, &m_result.packets, false);
    bool unitsOk = true;
    std::exception_ptr unitsFailure;
    const auto readUnits = [&] {
        try {
            while (auto batch = m_exchange.takeFilled()) {
                if (!units.read(*batch))
                    return unitsOk = false, m_exchange.fail();
                m_exchange.giveBackRead(std::move(batch));
            }
        } catch (...) {
            unitsFailure = std::current_exception();
            unitsOk = false;
            m_exchange.fail();
        }
    };
    std::thread reader;
    try {
        reader = std::thread(readUnits);
    } catch (const std::system_error&) {
        m_unitsHere = &units;  // no thread to be had: the pass reads each batch itself
    }
    bool ok = false;
    try {
        ok = pass(0);
    } catch (...) {
        m_exchange.fail();
        if (reader.joinable())
            reader.join();
        throw;
    }
    if (m_unitsHere && m_batch)
        ok = readHere() && ok;
    else
        m_exchange.close(std::move(m_batch));
    if (reader.joinable())
        reader.join();
    if (unitsFailure)
        std::rethrow_exception(unitsFailure);
    if (m_cancelled) {
        m_result.outcome = ContainerScan::Outcome::Cancelled;
    } else if (ok && unitsOk && units.endedWell() && !m_result.packets.empty()) {
        m_result.outcome = ContainerScan::Outcome::Done;
        return std::move(m_result);
    }
    m_result.packets.clear();
    return m_result;
}

bool Scanner::readPart(const QString& path, qint64 from, qint64 until, AccessUnits& units, Seam* seam, bool tells)
{
    // Far enough back that the walk has found the packets' grid before it reaches the part.
    const qint64 walkBefore = std::min(4 * kResyncSize, (until - from) / 2);
    m_from = from;
    m_until = until;
    m_started = from <= 0;
    m_unitsHere = &units;
    m_seam = seam;
    m_tells = tells;
    const qint64 walkFrom = std::max<qint64>(0, from - walkBefore);
    m_file.setFileName(path);
    if (m_pid < 0 || !m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !m_file.seek(walkFrom))
        return false;
    m_bufferStart = m_bufferEnd = walkFrom;
    bool ok = pass(walkFrom);
    if (m_batch && !m_batch->pes.empty())
        ok = readHere() && ok;
    return ok;
}

// The pass over the file; false where the demuxer would read it otherwise, or the units' reading
// failed.
bool Scanner::pass(qint64 from)
{
    m_batch = m_exchange.exchange(nullptr);
    if (!m_batch)
        return false;
    m_buffer.reserve(kReadSize + kResyncSize);
    preferLargePages(m_buffer.data(), m_buffer.capacity());
    m_buffer.resize(kReadSize + kResyncSize);
    bool ok = true;
    for (qint64 p = from; ok && !m_stopped && have(p, kTsSize);) {
        // The packets wholly read, without asking for each; a resync reads on by itself.
        for (const qint64 last = m_bufferEnd - kTsSize; ok && !m_stopped && p <= last;) {
            const uint8_t* data = at(p);
            if (data[0] == 0x47) {
                // The demuxer reports the position of the whole packet, M2TS prefix and all.
                ok = packet(data, p + kTsSize - m_packetSize);
                p += m_packetSize;
            } else if (data[0] == 0x80 && data[12] == 0x47) {
                p += 12;  // a packet behind a 12-byte RTP header, as the demuxer takes it
            } else {
                // (Never before the walk began: a part's walk has read nothing before it.)
                p = resync(std::max<qint64>(p + kTsSize - m_packetSize, from));
                ok = p >= 0;
                break;
            }
        }
    }
    return ok && !m_cancelled && finishPes();
}

// Whether bytes position..position+count are in the buffer, reading on as needed; false at the
// end of the file and when the scan is cancelled.
bool Scanner::have(qint64 position, qint64 count)
{
    while (position + count > m_bufferEnd) {
        // A packet of what was read stays: after a lost sync byte the demuxer looks again from
        // up to four bytes before the packet.
        const qint64 from = std::max(m_bufferStart, std::min(position, m_bufferEnd) - kTsSize);
        std::memmove(m_buffer.data(), at(from), size_t(m_bufferEnd - from));
        m_bufferStart = from;
        const qint64 kept = m_bufferEnd - from;
        const qint64 read =
            m_file.read(reinterpret_cast<char*>(m_buffer.data() + kept), qint64(m_buffer.size()) - kept);
        if (read <= 0)
            return false;
        m_bufferEnd += read;
        m_reading.read += read;
        if ((m_tells && !m_reading.tell()) || m_reading.cancelled)
            return m_cancelled = true, false;
    }
    return true;
}

// Where the demuxer takes up reading after a packet without its sync byte: at the next 0x47 it
// finds, real or not. -1 where it would give up, or meet the end while looking.
qint64 Scanner::resync(qint64 from)
{
    for (qint64 position = from; position < from + kResyncSize;) {
        if (!have(position, 1))
            return -1;
        const qint64 size = std::min(m_bufferEnd, from + kResyncSize) - position;
        if (const void* sync = std::memchr(at(position), 0x47, size_t(size)))
            return position + (static_cast<const uint8_t*>(sync) - at(position));
        position += size;
    }
    return -1;
}

bool Scanner::packet(const uint8_t* packet, qint64 position)
{
    if ((((packet[1] & 0x1f) << 8) | packet[2]) != m_pid)
        return true;
    const bool starts = packet[1] & 0x40;
    if (!m_started && !(starts && position >= m_from))
        return true;  // the part before reads this
    const int control = packet[3] >> 4;  // scrambling, adaptation field, payload
    const int offset = control & 2 ? 5 + packet[4] : 4;
    if (control & 0xc)
        return false;
    if (!(control & 1) || offset >= kTsSize)
        return true;
    if (!starts)
        return !m_inPes || append(packet + offset, kTsSize - offset);
    if (position >= m_until) {
        m_stopped = true;
        m_stoppedAt = position;
    } else if (!m_started) {
        m_started = true;
        m_startedAt = position;
    }
    return finishPes() && (m_stopped || startPes(packet + offset, kTsSize - offset, position));
}

// A video stream id, not scrambled, with a presentation time, its header in this packet. (An
// M2TS packet found in the file's first four bytes is placed before the file, and the demuxer's
// parser then loses the timestamps of its picture.)
bool Scanner::startPes(const uint8_t* pes, int size, qint64 position)
{
    const auto stamp = [](const uint8_t* b) {
        return qint64(b[0] >> 1 & 7) << 30 | qint64(b[1]) << 22 | qint64(b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1;
    };
    if (position < 0 || size < 9 || pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || (pes[3] & 0xf0) != 0xe0
        || (pes[6] & 0x30) || !(pes[7] & 0x80) || pes[8] < ((pes[7] & 0x40) ? 10 : 5) || 9 + pes[8] > size)
        return false;
    m_pes.pts = stamp(pes + 9);
    m_pes.dts = pes[7] & 0x40 ? stamp(pes + 14) : m_pes.pts;
    const int length = pes[4] << 8 | pes[5];
    m_remaining = length ? length - 3 - pes[8] : -1;
    m_pes.position = position;
    m_pes.begin = m_pes.end = m_batch->used;
    m_inPes = true;
    return (!length || m_remaining >= 0) && append(pes + 9 + pes[8], size - 9 - pes[8]);
}

// A PES that says its length ends there: the demuxer gives it out at once and passes over what
// follows up to the next PES. Bytes beyond its length would start a packet of their own.
bool Scanner::append(const uint8_t* payload, qint64 size)
{
    if (m_remaining >= 0 && size > m_remaining) {
        if (m_pes.end > m_pes.begin)
            return false;
        size = m_remaining;
    }
    if (m_remaining < 0 && qint64(m_pes.end - m_pes.begin) + size > kMaxPesPiece)
        return false;
    // The limits above keep every PES within the room a batch has past its size; whatever
    // would not fit is declined, never written past it.
    if (size_t(size) > m_batch->bytes.size() - m_batch->used)
        return false;
    std::memcpy(m_batch->bytes.data() + m_batch->used, payload, size_t(size));
    m_pes.end = m_batch->used += size_t(size);
    if (m_remaining < 0)
        return true;
    m_remaining -= size;
    return m_remaining > 0 || finishPes();
}

// The PES is complete: into the batch, and the batch to the units' reader once it is full.
bool Scanner::finishPes()
{
    if (!m_inPes)
        return true;
    m_inPes = false;
    m_batch->pes.push_back(m_pes);
    if (m_batch->used < m_batchBytes)
        return true;
    if (m_unitsHere)
        return readHere();
    m_batch = m_exchange.exchange(std::move(m_batch));
    return m_batch != nullptr;
}

bool Scanner::readHere()
{
    const bool read = m_unitsHere->read(*m_batch);
    // Until the reader has met the stream's headers the guess may be wrong; the headers come a
    // second or two apart.
    constexpr size_t kSeamBytes = size_t(2) << 20;
    if (m_seam && m_seam->bytes < kSeamBytes) {
        Seam::Read& kept = m_seam->reads.emplace_back();
        kept.read = read;
        kept.batch.pes = m_batch->pes;
        kept.batch.bytes.assign(m_batch->bytes.begin(), m_batch->bytes.begin() + qsizetype(m_batch->used));
        kept.batch.used = m_batch->used;
        kept.packets = m_unitsHere->written();
        kept.state = m_unitsHere->state();
        m_seam->bytes += m_batch->used;
    } else if (m_seam) {
        m_seam->all = false;
    }
    m_batch->clear();
    return read;
}

// A file read in parts, each on a core of its own, its pass reading its access units itself.
// Two checks make the parts read as one pass over the file would:
// - A part takes up the PES packets that start from its first byte on, and the part before
//   reads on up to the first of them. Where both passes found that PES at one position, they
//   walk the same packets from there on.
// - A part's reader starts in a state of its own guessing. The reader of the part before, in
//   the state all units before left it, reads the part's first batches again, until the two
//   stand in the same state: from there on the part read as one reader would have. Where the
//   part read no more than those batches, the reading again stands for it.
// Where either check fails (damage, headers the guess missed for too long), nothing is known:
// nullopt, and the file is read in one pass.
std::optional<ContainerScan> scanInParts(const QString& path, const Demuxer& demuxer, ScanReading& reading,
                                         size_t batchBytes, int count)
{
    struct Part {
        std::unique_ptr<Scanner> scanner;
        std::vector<PacketEntry> packets;
        std::unique_ptr<AccessUnits> units;
        Seam seam;
        bool ok = false;
    };
    std::vector<Part> parts(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        Part& part = parts[size_t(k)];
        part.scanner = std::make_unique<Scanner>(demuxer, reading, std::min(batchBytes, kPartBatchBytes), 1);
        if (!part.scanner->canScan())
            return ContainerScan{};
        // The first part's list becomes the file's.
        const qint64 expected = part.scanner->expectedPackets();
        reserveOnLargePages(part.packets, size_t(k == 0 ? expected : expected / count + 64));
        part.units = std::make_unique<AccessUnits>(demuxer, part.scanner->program(), &part.packets, k > 0);
    }
    const auto readPart = [&](int k) {
        const qint64 from = reading.fileSize * k / count;
        const qint64 until = k + 1 < count ? reading.fileSize * (k + 1) / count : std::numeric_limits<qint64>::max();
        Part& part = parts[size_t(k)];
        part.ok = part.scanner->readPart(path, from, until, *part.units, k > 0 ? &part.seam : nullptr, k == 0);
    };
    readInParts(count, readPart, [&] { reading.tell(); }, reading.cancelled);
    if (reading.cancelled) {
        ContainerScan cancelled;
        cancelled.outcome = ContainerScan::Outcome::Cancelled;
        return cancelled;
    }
    if (!parts[0].ok)
        return ContainerScan{};
    ContainerScan scan;
    scan.packets = std::move(parts[0].packets);
    AccessUnits* truth = parts[0].units.get();
    for (size_t k = 1; k < parts.size(); ++k) {
        Part& part = parts[k];
        if (part.scanner->startedAt() != parts[k - 1].scanner->stoppedAt())
            return std::nullopt;
        // No PES from here on, as the part before found; a part that found one after it was
        // walking other packets.
        if (part.scanner->startedAt() < 0 && part.scanner->stoppedAt() < 0)
            continue;
        if (part.scanner->startedAt() < 0)
            return std::nullopt;
        // The part before reads the part's first batches again, until the two stand the same.
        truth->writeTo(&scan.packets);
        std::optional<size_t> agreed;
        for (const Seam::Read& kept : part.seam.reads) {
            if (!truth->read(kept.batch))
                return ContainerScan{};
            if (kept.read && truth->state() == kept.state) {
                agreed = kept.packets;
                break;
            }
        }
        if (!agreed) {
            if (part.ok && part.seam.all)
                continue;  // the part before read all of this one
            return std::nullopt;
        }
        scan.packets.insert(scan.packets.end(), part.packets.begin() + qsizetype(*agreed), part.packets.end());
        if (!part.ok)
            return ContainerScan{};
        truth = part.units.get();
    }
    if (!truth->endedWell() || scan.packets.empty())
        return ContainerScan{};
    scan.outcome = ContainerScan::Outcome::Done;
    return scan;
}

}  // namespace

ContainerScan scanTransportStream(const QString& path, const Demuxer& demuxer, const OpenProgress& progress,
                                  size_t batchBytes, int parts)
{
    if (demuxer.videoStream() < 0)
        return {};
    ScanReading reading(progress, QFileInfo(path).size());
    if (parts <= 0)
        parts = partsToScan(reading.fileSize);
    if (parts > 1) {
        if (auto scan = scanInParts(path, demuxer, reading, batchBytes, parts))
            return std::move(*scan);
        reading.read = 0;
    }
    return Scanner(demuxer, reading, batchBytes, kBatches).run(path);
}

}  // namespace mci
