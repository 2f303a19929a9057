#include "FrameIndex.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace mci {

namespace {

// Enough for hours of video at high frame rates; anything larger in a cache file is damage.
constexpr quint32 kMaxPackets = 50'000'000;
// No video frame is shown longer than this; a time base that says otherwise is damaged, and
// the frames are timed by the nominal rate instead (1/30 s when that is damaged too).
constexpr qint64 kLongestFrameUs = 10'000'000;

qint64 presentationTime(const PacketEntry& p)
{
    return p.pts != kNoTime ? p.pts : p.dts;
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

FrameIndex::FrameIndex(std::vector<PacketEntry> packets, int timeBaseNum, int timeBaseDen, qint64 nominalFrameUs)
    : m_packets(std::move(packets)),
      m_timeBaseNum(timeBaseNum > 0 ? timeBaseNum : 1),
      m_timeBaseDen(timeBaseDen > 0 ? timeBaseDen : 1),
      m_nominalFrameUs(nominalFrameUs > 0 && nominalFrameUs <= kLongestFrameUs ? nominalFrameUs : 33'333)
{
    build();
}

qint64 FrameIndex::toUs(qint64 ticks) const
{
    const __int128 scaled = __int128(ticks) * 1'000'000 * m_timeBaseNum;
    const __int128 half = m_timeBaseDen / 2;
    return qint64(ticks >= 0 ? (scaled + half) / m_timeBaseDen : (scaled - half) / m_timeBaseDen);
}

void FrameIndex::build()
{
    const int count = int(m_packets.size());
    std::vector<int> shown;
    bool timed = true;
    for (int i = 0; i < count; ++i) {
        if (!m_packets[size_t(i)].shown)
            continue;
        shown.push_back(i);
        timed = timed && presentationTime(m_packets[size_t(i)]) != kNoTime;
    }
    // Without a time on every frame the decode order is the best order there is; the stable
    // sort keeps decode order among equal times.
    if (timed) {
        std::stable_sort(shown.begin(), shown.end(), [this](int a, int b) {
            return presentationTime(m_packets[size_t(a)]) < presentationTime(m_packets[size_t(b)]);
        });
    }
    m_order = std::move(shown);
    m_frameOf.assign(size_t(count), -1);
    for (int n = 0; n < frameCount(); ++n)
        m_frameOf[size_t(m_order[size_t(n)])] = n;

    m_reordered.assign(size_t(count), false);
    for (int i = 0, latest = -1; i < count; ++i) {
        m_reordered[size_t(i)] = m_frameOf[size_t(i)] >= 0 && m_frameOf[size_t(i)] < latest;
        latest = std::max(latest, m_frameOf[size_t(i)]);
    }
    m_firstPts = timed && !m_order.empty() ? presentationTime(m_packets[size_t(m_order[0])]) : 0;
    if (!(timed && timeFromStamps()))
        timeFromNominalRate();
    m_keyframes.clear();
    m_byKey.clear();
    for (int i = 0; i < count; ++i) {
        if (m_packets[size_t(i)].keyframe && m_frameOf[size_t(i)] >= 0)
            m_keyframes.emplace_back(m_frameOf[size_t(i)], i);
        m_byKey.emplace_back(m_packets[size_t(i)].key, i);
    }
    std::sort(m_keyframes.begin(), m_keyframes.end());
    std::sort(m_byKey.begin(), m_byKey.end());
}

// Times from the timestamps; false, with nothing kept, when a frame would last longer than any
// video frame can (a damaged time base has made single frames last for years).
bool FrameIndex::timeFromStamps()
{
    m_startUs.clear();
    for (int n = 0; n < frameCount(); ++n) {
        const qint64 us = toUs(presentationTime(m_packets[size_t(m_order[size_t(n)])]) - m_firstPts);
        if (n > 0 && us - m_startUs.back() > kLongestFrameUs)
            return false;
        m_startUs.push_back(us);
    }
    const qint64 end = m_startUs.empty() ? 0 : m_startUs.back();
    if (!m_order.empty()) {
        const PacketEntry& last = m_packets[size_t(m_order.back())];
        const qint64 duration = last.duration > 0 ? toUs(last.duration) : m_nominalFrameUs;
        if (duration > kLongestFrameUs)
            return false;
        m_startUs.push_back(end + std::max<qint64>(duration, 1));
    } else {
        m_startUs.push_back(0);
    }
    return true;
}

void FrameIndex::timeFromNominalRate()
{
    m_startUs.clear();
    for (int n = 0; n <= frameCount(); ++n)
        m_startUs.push_back(n * m_nominalFrameUs);
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

void FrameIndex::save(QDataStream& out) const
{
    out << qint32(m_timeBaseNum) << qint32(m_timeBaseDen) << qint64(m_nominalFrameUs)
        << quint32(m_packets.size());
    for (const PacketEntry& p : m_packets) {
        out << p.key << p.pts << p.dts << p.position << p.duration
            << quint8((p.keyframe ? 1 : 0) | (p.shown ? 2 : 0));
    }
}

std::optional<FrameIndex> FrameIndex::load(QDataStream& in)
{
    qint32 num = 0, den = 0;
    qint64 nominal = 0;
    quint32 count = 0;
    in >> num >> den >> nominal >> count;
    if (in.status() != QDataStream::Ok || num <= 0 || den <= 0 || nominal <= 0 || count > kMaxPackets)
        return std::nullopt;
    std::vector<PacketEntry> packets;
    packets.reserve(std::min<quint32>(count, 1'000'000));
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        PacketEntry p;
        quint8 flags = 0;
        in >> p.key >> p.pts >> p.dts >> p.position >> p.duration >> flags;
        p.keyframe = flags & 1;
        p.shown = flags & 2;
        packets.push_back(p);
    }
    if (in.status() != QDataStream::Ok)
        return std::nullopt;
    return FrameIndex(std::move(packets), num, den, nominal);
}

}  // namespace mci
