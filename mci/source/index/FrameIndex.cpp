#include "FrameIndex.h"

#include "LargePages.h"

#include <QIODevice>
#include <QtEndian>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <span>

namespace mci {

namespace {

// Enough for hours of video at high frame rates; anything larger in a cache file is damage.
constexpr quint32 kMaxPackets = 50'000'000;
// Times are damaged as a whole when a typical frame (the median) lasts longer than the first or
// shorter than the second (a time base of years, or of nanoseconds): the frames are then timed
// by the nominal rate, or at 30 a second when that is damaged too. A long still in a
// variable-rate recording is no damage: the typical frame around it is short. Nor is a slideshow
// of a picture every half minute, or a song's cover shown a few minutes at a time.
constexpr qint64 kLongestTypicalFrameUs = 3'600'000'000;
constexpr qint64 kShortestTypicalFrameUs = 100;
// No single frame is shown longer than a day.
constexpr qint64 kLongestFrameUs = 86'400'000'000;
// Where the clock may restart, a jump forward longer than this between two packets also starts a
// new run: a recording is not paused for that long within one stream.
constexpr qint64 kLongestGapUs = 10'000'000;

qint64 presentationTime(const PacketEntry& p)
{
    return p.pts != kNoTime ? p.pts : p.dts;
}

qint64 decodeTime(const PacketEntry& p)
{
    return p.dts != kNoTime ? p.dts : p.pts;
}

// A stable sort for what is out of order by a few places at most, as pictures in decode order
// are out of presentation order by what a decoder holds back: an insertion sort, where an hour
// of video sorts in a millisecond, unless it would move too much.
template <typename T, typename Less>
void sortNearlySorted(std::span<T> items, Less less)
{
    constexpr size_t kMovesPerItem = 16;
    size_t moves = 0;
    for (size_t i = 1; i < items.size() && moves <= kMovesPerItem * items.size(); ++i) {
        const T item = items[i];
        size_t at = i;
        for (; at > 0 && less(item, items[at - 1]); --at)
            items[at] = items[at - 1];
        items[at] = item;
        moves += i - at;
    }
    if (moves > kMovesPerItem * items.size())
        std::stable_sort(items.begin(), items.end(), less);
}

}  // namespace

// A hash of our own rather than qHash: Qt mixes a random per-process seed into qHashBits, and
// keys kept in the index cache must mean the same in the next process. Eight bytes a step, so
// hashing every packet costs little next to reading the file.
quint64 packetKey(const void* data, int size)
{
    constexpr quint64 kMultiplier = 0x9E3779B97F4A7C15ull;
    const auto mix = [](quint64 h) {
        h ^= h >> 32;
        h *= 0xD6E8FEB86659FD93ull;
        return h ^ (h >> 32);
    };
    const auto* bytes = static_cast<const unsigned char*>(data);
    quint64 hash = 0x7461766f6c656e00ull ^ (quint64(size) * kMultiplier);
    int at = 0;
    for (; at + 8 <= size; at += 8) {
        quint64 word;
        std::memcpy(&word, bytes + at, 8);
        hash = (hash ^ mix(word)) * kMultiplier;
    }
    quint64 tail = 0;
    for (int i = 0; at < size; ++at, ++i)
        tail |= quint64(bytes[at]) << (8 * i);
    return mix((hash ^ mix(tail)) * kMultiplier);
}

// The stamp itself, ordered as a signed number: in decode order the keys then come sorted
// already, and a file of hours needs no sorting of them.
quint64 timeKey(qint64 stamp)
{
    return quint64(stamp) ^ (quint64(1) << 63);
}

PacketEntry demuxedPacketEntry(const AVPacket* packet, PictureHeaderReader& headers, bool unpacked)
{
    PacketEntry entry;
    entry.key = packetKey(packet->data, packet->size);
    entry.pts = packet->pts;
    entry.dts = packet->dts;
    entry.position = packet->pos;
    entry.duration = packet->duration;
    entry.kind = headers.kindOf(packet->data, packet->size);
    entry.keyframe = unpacked || (kindMarksKeyframes(headers.codec()) && kindIsKnown(entry.kind))
                         ? entry.kind == PictureKind::Intra
                         : (packet->flags & AV_PKT_FLAG_KEY) && headers.beginsDecoding(packet->data, packet->size);
    entry.shown = packet->size > 0 && !(packet->flags & AV_PKT_FLAG_DISCARD) && entry.kind != PictureKind::None;
    return entry;
}

quint64 keyOf(PacketIdentity identity, const void* data, int size, qint64 pts, qint64 dts)
{
    switch (identity) {
    case PacketIdentity::DecodeTime:
        return timeKey(dts != kNoTime ? dts : pts);
    case PacketIdentity::PresentationTime:
        return timeKey(pts != kNoTime ? pts : dts);
    case PacketIdentity::Bytes:
        break;
    }
    return packetKey(data, size);
}

FrameIndex::FrameIndex(std::vector<PacketEntry> packets, const StreamClock& clock)
    : m_packets(std::move(packets)), m_clock(clock)
{
    m_clock.timeBaseNum = std::max(clock.timeBaseNum, 1);
    m_clock.timeBaseDen = std::max(clock.timeBaseDen, 1);
    if (clock.nominalFrameUs < kShortestTypicalFrameUs || clock.nominalFrameUs > kLongestTypicalFrameUs)
        m_clock.nominalFrameUs = 33'333;
    // Kept as such in the index's cache: a loaded index needs no word of it.
    if (clock.firstKeyframeOnly) {
        for (size_t i = 1; i < m_packets.size(); ++i)
            m_packets[i].keyframe = false;
    }
    build();
}

qint64 FrameIndex::toUs(qint64 ticks) const
{
    const auto scale = [&]<typename Wide>(Wide wide) {
        const Wide scaled = wide * 1'000'000 * m_clock.timeBaseNum;
        const Wide half = m_clock.timeBaseDen / 2;
        const Wide us = ticks >= 0 ? (scaled + half) / m_clock.timeBaseDen : (scaled - half) / m_clock.timeBaseDen;
        return qint64(std::clamp<Wide>(us, -kLongestFrameUs * 1000, kLongestFrameUs * 1000));
    };
    // An index times every frame: the ticks of a file and its time base's numerator are nearly
    // always small enough for 64 bits, whose division costs a fraction of the 128-bit one.
    constexpr qint64 kFewTicks = qint64(1) << 32;
    if (ticks > -kFewTicks && ticks < kFewTicks && m_clock.timeBaseNum < 1024)
        return scale(ticks);
    return scale(__int128(ticks));
}

void FrameIndex::build()
{
    const std::vector<Run> continuous = runs();
    // A number per packet: the order keys, then the frames' durations, on pages written once.
    std::vector<qint64> scratch = presentationOrderKeys(continuous);
    const std::vector<int> runStarts = keepDecodablePictures(continuous, scratch);
    if (!timeFromStamps(runStarts, scratch))
        timeFromNominalRate();
    m_keyframes.clear();
    m_byKey.clear();
    reserveOnLargePages(m_byKey, m_packets.size());
    for (int i = 0; i < packetCount(); ++i) {
        if (m_packets[size_t(i)].keyframe && m_frameOf[size_t(i)] >= 0)
            m_keyframes.emplace_back(m_frameOf[size_t(i)], i);
        m_byKey.emplace_back(m_packets[size_t(i)].key, i);
    }
    std::sort(m_keyframes.begin(), m_keyframes.end());
    // Presentation times, where they are the keys, are out of order as the pictures are.
    sortNearlySorted(std::span(m_byKey), std::less<>());
}

// The stretches of the file whose clock runs on without a restart: one, unless the container's
// clock may restart, which shows as a decode time going back or leaping ahead.
std::vector<FrameIndex::Run> FrameIndex::runs() const
{
    std::vector<Run> found{{0, packetCount() - 1}};
    if (!m_clock.mayRestart)
        return found;
    // Only decode times are sure to rise through a continuous run; packets without one are no
    // evidence either way.
    qint64 previous = kNoTime;
    for (int i = 0; i < packetCount(); ++i) {
        const qint64 t = m_packets[size_t(i)].dts;
        if (t == kNoTime)
            continue;
        if (previous != kNoTime && (t < previous || toUs(t - previous) > kLongestGapUs) && i > found.back().first) {
            found.back().last = i - 1;
            found.push_back({i, packetCount() - 1});
        }
        previous = t;
    }
    return found;
}

// For every packet with a picture, a value that sorts the pictures of its run into the order
// they are shown: the presentation time; the decode position where no picture of a run has one;
// where no presentation times are stored, the position the kinds of the pictures give (a
// reference picture waits for the next one, as a decoder holds it back). Among timed pictures,
// one without a time has no place, and its decoded picture no name: it keeps kNoTime and is no
// frame (the pictures a cut left before its keyframe, say).
std::vector<qint64> FrameIndex::presentationOrderKeys(const std::vector<Run>& runs) const
{
    std::vector<qint64> keys;
    reserveOnLargePages(keys, m_packets.size());
    keys.assign(m_packets.size(), kNoTime);
    for (const Run& run : runs) {
        bool timed = false;
        for (int i = run.first; i <= run.last && !timed; ++i) {
            const PacketEntry& p = m_packets[size_t(i)];
            timed = (p.shown || p.keyframe) && presentationTime(p) != kNoTime;
        }
        HeldBackOrder heldBack([&keys](int i, int place) { keys[size_t(i)] = place; });
        for (int i = run.first; i <= run.last; ++i) {
            const PacketEntry& p = m_packets[size_t(i)];
            // A keyframe that is not shown (cut away by an edit list) still orders the pictures
            // decoded after it.
            if (!p.shown && !p.keyframe)
                continue;
            if (m_clock.decodeOrderOnly)
                heldBack.add(i, p.kind != PictureKind::Unreferenced);
            else
                keys[size_t(i)] = timed ? presentationTime(p) : i;
        }
        heldBack.finish();
    }
    return keys;
}

// Frames in presentation order: the pictures from the first keyframe on, leaving out those shown
// before it (they refer to pictures the file no longer holds), each run in file order. Returns
// the first frame of each run that has any.
std::vector<int> FrameIndex::keepDecodablePictures(const std::vector<Run>& runs, const std::vector<qint64>& keys)
{
    const int count = packetCount();
    int first = 0;
    while (first < count && !m_packets[size_t(first)].keyframe)
        ++first;
    if (first == count)
        first = -1;  // no keyframe is marked: nothing to go by, every picture counts
    m_order.clear();
    reserveOnLargePages(m_order, size_t(count));
    std::vector<int> runStarts;
    for (const Run& run : runs) {
        const int runStart = frameCount();
        for (int i = run.first; i <= run.last; ++i) {
            if (!m_packets[size_t(i)].shown || i < first || keys[size_t(i)] == kNoTime)
                continue;
            if (first >= 0 && run.first <= first && first <= run.last && keys[size_t(i)] < keys[size_t(first)])
                continue;
            m_order.push_back(i);
        }
        sortNearlySorted(std::span(m_order).subspan(size_t(runStart)),
                         [&](int a, int b) { return keys[size_t(a)] < keys[size_t(b)]; });
        if (frameCount() > runStart)
            runStarts.push_back(runStart);
    }
    reserveOnLargePages(m_frameOf, size_t(count));
    m_frameOf.assign(size_t(count), -1);
    for (int n = 0; n < frameCount(); ++n)
        m_frameOf[size_t(m_order[size_t(n)])] = n;
    return runStarts;
}

// How long the frame of this packet lasts when it is the last of its run.
qint64 FrameIndex::lastFrameUs(int decodeIndex) const
{
    const qint64 duration = toUs(m_packets[size_t(decodeIndex)].duration);
    return duration > 0 && duration <= kLongestFrameUs ? duration : m_clock.nominalFrameUs;
}

// Times from the timestamps, each run starting where the one before it ended; false, with
// nothing kept, when the stamps are missing or absurd as a whole. scratch holds a number per
// frame at least, and is used up.
bool FrameIndex::timeFromStamps(const std::vector<int>& runStarts, std::vector<qint64>& scratch)
{
    m_startUs.clear();
    reserveOnLargePages(m_startUs, size_t(frameCount()) + 1);
    m_firstPts = 0;
    qint64 runStartUs = 0;
    for (size_t r = 0; r < runStarts.size(); ++r) {
        const int end = r + 1 < runStarts.size() ? runStarts[r + 1] : frameCount();
        // The run's stamps, written where its times go and turned into them there.
        const size_t first = m_startUs.size();
        for (int n = runStarts[r]; n < end; ++n) {
            const PacketEntry& p = m_packets[size_t(m_order[size_t(n)])];
            m_startUs.push_back(m_clock.decodeOrderOnly ? decodeTime(p) : presentationTime(p));
            if (m_startUs.back() == kNoTime)
                return false;
        }
        if (m_startUs.size() == first)
            continue;
        // Without presentation times the n-th picture shown takes the n-th decode time.
        if (m_clock.decodeOrderOnly)
            std::sort(m_startUs.begin() + long(first), m_startUs.end());
        const qint64 origin = m_startUs[first];
        if (r == 0)
            m_firstPts = origin;
        for (size_t n = first; n < m_startUs.size(); ++n) {
            const qint64 us = runStartUs + toUs(m_startUs[n] - origin);
            m_startUs[n] = n == 0 ? us : std::max(us, m_startUs[n - 1] + 1);
        }
        runStartUs = m_startUs.back() + lastFrameUs(m_order[size_t(end - 1)]);
    }
    m_startUs.push_back(runStartUs);
    std::vector<qint64>& durations = scratch;
    durations.clear();
    for (size_t n = 0; n + 1 < m_startUs.size(); ++n) {
        durations.push_back(m_startUs[n + 1] - m_startUs[n]);
        if (durations.back() > kLongestFrameUs)
            return false;
    }
    if (durations.empty())
        return true;
    std::nth_element(durations.begin(), durations.begin() + long(durations.size() / 2), durations.end());
    const qint64 typical = durations[durations.size() / 2];
    return typical >= kShortestTypicalFrameUs && typical <= kLongestTypicalFrameUs;
}

void FrameIndex::timeFromNominalRate()
{
    m_startUs.clear();
    reserveOnLargePages(m_startUs, size_t(frameCount()) + 1);
    for (int n = 0; n <= frameCount(); ++n)
        m_startUs.push_back(n * m_clock.nominalFrameUs);
}

qint64 FrameIndex::frameStartUs(int n) const
{
    return m_startUs[size_t(std::clamp(n, 0, frameCount()))];
}

int FrameIndex::frameAtUs(qint64 t) const
{
    if (frameCount() == 0)
        return 0;
    const auto end = m_startUs.begin() + frameCount();
    const int after = int(std::upper_bound(m_startUs.begin(), end, t) - m_startUs.begin());
    return std::clamp(after - 1, 0, frameCount() - 1);
}

// How far a picture may be shown ahead of pictures decoded before it: the most pictures any of
// the codecs holds back for reordering.
constexpr int kLongestReorder = 16;

char FrameIndex::pictureType(int n) const
{
    const int decoded = packetOfFrame(n);
    const PacketEntry& p = packet(decoded);
    if (p.keyframe || p.kind == PictureKind::Intra)
        return 'I';
    // A picture that refers to one shown after it was decoded after that one: bidirectional.
    const int last = std::min(frameCount() - 1, n + kLongestReorder);
    for (int later = n + 1; later <= last; ++later) {
        if (packetOfFrame(later) < decoded)
            return 'B';
    }
    return 'P';
}

bool FrameIndex::hasVariableRate() const
{
    if (frameCount() < 3)
        return false;
    qint64 shortest = std::numeric_limits<qint64>::max(), longest = 0;
    for (int n = 0; n + 2 <= frameCount(); ++n) {
        const qint64 duration = m_startUs[size_t(n) + 1] - m_startUs[size_t(n)];
        shortest = std::min(shortest, duration);
        longest = std::max(longest, duration);
    }
    // A clock of whole milliseconds times 29.97 frames a second as 33 and 34 ms.
    return longest - shortest > std::max<qint64>(toUs(1), 1) + 1;
}

int FrameIndex::picturesNeededFor(int n) const
{
    const int target = packetOfFrame(n);
    int needed = 1;
    for (int i = std::max(keyframePacketFor(n, 0), 0); i < target; ++i)
        needed += frameOfPacket(i) >= 0 && !isUnreferenced(i);
    return needed;
}

int FrameIndex::keyframePacketFor(int n, int stepsBack) const
{
    const auto after = std::upper_bound(m_keyframes.begin(), m_keyframes.end(), std::make_pair(n, INT_MAX));
    const long at = long(after - m_keyframes.begin()) - 1 - stepsBack;
    return at >= 0 ? m_keyframes[size_t(at)].second : -1;
}

int FrameIndex::findPacket(quint64 key, int expected) const
{
    auto it = std::lower_bound(m_byKey.begin(), m_byKey.end(), std::make_pair(key, INT_MIN));
    int best = -1;
    for (; it != m_byKey.end() && it->first == key; ++it) {
        if (best < 0 || std::abs(it->second - expected) < std::abs(best - expected))
            best = it->second;
    }
    return best;
}

// Each packet as 41 bytes, big-endian, written and read in one block: a field at a time through
// the stream took longer than indexing an hour of video from its table.
constexpr int kPacketBytes = 41;

void FrameIndex::save(QDataStream& out) const
{
    out << qint32(m_clock.timeBaseNum) << qint32(m_clock.timeBaseDen) << qint64(m_clock.nominalFrameUs)
        << quint8((m_clock.mayRestart ? 1 : 0) | (m_clock.decodeOrderOnly ? 2 : 0) | (quint8(m_clock.identity) << 2))
        << quint32(m_packets.size());
    QByteArray block(qsizetype(m_packets.size()) * kPacketBytes, Qt::Uninitialized);
    char* at = block.data();
    for (const PacketEntry& p : m_packets) {
        for (const quint64 field : {p.key, quint64(p.pts), quint64(p.dts), quint64(p.position), quint64(p.duration)}) {
            qToBigEndian(field, at);
            at += 8;
        }
        *at++ = char((p.keyframe ? 1 : 0) | (p.shown ? 2 : 0) | (quint8(p.kind) << 2));
    }
    out.writeRawData(block.constData(), int(block.size()));
}

std::optional<FrameIndex> FrameIndex::load(QDataStream& in)
{
    StreamClock clock;
    qint32 num = 0, den = 0;
    quint8 clockFlags = 0;
    quint32 count = 0;
    in >> num >> den >> clock.nominalFrameUs >> clockFlags >> count;
    if (in.status() != QDataStream::Ok || num <= 0 || den <= 0 || clock.nominalFrameUs <= 0 || count > kMaxPackets)
        return std::nullopt;
    clock.timeBaseNum = num;
    clock.timeBaseDen = den;
    clock.mayRestart = clockFlags & 1;
    clock.decodeOrderOnly = clockFlags & 2;
    const int identity = (clockFlags >> 2) & 3;
    if (identity > int(PacketIdentity::PresentationTime))
        return std::nullopt;
    clock.identity = PacketIdentity(identity);
    // Read in pieces: a damaged count must not make it allocate gigabytes before the data ends.
    constexpr quint32 kPiece = 65536;
    std::vector<PacketEntry> packets;
    if (const QIODevice* device = in.device(); device && !device->isSequential())
        reserveOnLargePages(packets, size_t(std::min<qint64>(count, device->bytesAvailable() / kPacketBytes)));
    QByteArray block;
    for (quint32 done = 0; done < count;) {
        const quint32 piece = std::min(count - done, kPiece);
        block.resize(qsizetype(piece) * kPacketBytes);
        if (in.readRawData(block.data(), int(block.size())) != block.size())
            return std::nullopt;
        const char* at = block.constData();
        for (quint32 i = 0; i < piece; ++i, at += kPacketBytes) {
            PacketEntry p;
            p.key = qFromBigEndian<quint64>(at);
            p.pts = qFromBigEndian<qint64>(at + 8);
            p.dts = qFromBigEndian<qint64>(at + 16);
            p.position = qFromBigEndian<qint64>(at + 24);
            p.duration = qFromBigEndian<qint64>(at + 32);
            const auto flags = quint8(at[40]);
            p.keyframe = flags & 1;
            p.shown = flags & 2;
            const int kind = (flags >> 2) & 7;
            p.kind = kind <= int(PictureKind::None) ? PictureKind(kind) : PictureKind::Unknown;
            packets.push_back(p);
        }
        done += piece;
    }
    return FrameIndex(std::move(packets), clock);
}

}  // namespace mci
