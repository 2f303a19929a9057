// Where every video frame of a file is: its packets in decode order, which frame each packet
// shows, and the frames in presentation order with their times.
//
// Frame n is the n-th packet in order of presentation time. A decoded picture is recognised by
// the packet it came from, and a packet by a hash of its bytes: after a seek the container may
// report different (or no) timestamps and positions, but the bytes of a frame stay the same.
//
// Immutable after construction; safe to read from any thread.
#pragma once

#include <QDataStream>
#include <QtGlobal>

#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace mci {

inline constexpr qint64 kNoTime = std::numeric_limits<qint64>::min();  // AV_NOPTS_VALUE

// One packet of the video stream as the container delivered it.
struct PacketEntry {
    quint64 key = 0;         // packetKey() of its bytes
    qint64 pts = kNoTime;    // stream time base
    qint64 dts = kNoTime;
    qint64 position = -1;    // byte offset in the file, -1 when unknown
    qint64 duration = 0;     // stream time base, 0 when unknown
    bool keyframe = false;
    bool shown = true;       // false for packets that are decoded but never presented
};

// The identity of a packet's bytes.
quint64 packetKey(const void* data, int size);

class FrameIndex {
public:
    FrameIndex() = default;
    // packets in decode order; the time base of their timestamps; the nominal frame duration
    // in microseconds for the last frame when its packet does not say.
    FrameIndex(std::vector<PacketEntry> packets, int timeBaseNum, int timeBaseDen, qint64 nominalFrameUs);

    int frameCount() const { return int(m_order.size()); }
    int packetCount() const { return int(m_packets.size()); }
    const PacketEntry& packet(int decodeIndex) const { return m_packets[size_t(decodeIndex)]; }
    // Presentation-order number of the frame a packet shows, -1 when it shows none.
    int frameOfPacket(int decodeIndex) const { return m_frameOf[size_t(decodeIndex)]; }
    int packetOfFrame(int n) const { return m_order[size_t(n)]; }
    // Whether a packet is shown before one decoded earlier: in MPEG-1 and MPEG-2 video exactly
    // the B-pictures, which no other picture refers to.
    bool shownBeforeAnEarlierPacket(int decodeIndex) const { return m_reordered[size_t(decodeIndex)]; }

    // Time of frame n from the first frame, n in 0..frameCount (frameCount: the end).
    qint64 frameStartUs(int n) const;
    // The frame shown at t, clamped to 0..frameCount-1.
    int frameAtUs(qint64 t) const;

    // The keyframe packet to start decoding from for frame n: the last keyframe presented at or
    // before n, or stepsBack keyframes earlier still; -1 when decoding must start at the
    // beginning of the file.
    int keyframePacketFor(int n, int stepsBack) const;
    // The packet with these bytes; where several have the same bytes, the one nearest to
    // expected (a decode index). -1 when none.
    int findPacket(quint64 key, int expected) const;

    int timeBaseNum() const { return m_timeBaseNum; }
    int timeBaseDen() const { return m_timeBaseDen; }
    qint64 nominalFrameUs() const { return m_nominalFrameUs; }
    // Presentation timestamp of frame 0 (stream time base): the origin of every time above.
    qint64 firstPts() const { return m_firstPts; }

    void save(QDataStream& out) const;
    // The index stored by save(), or nothing when the data is malformed.
    static std::optional<FrameIndex> load(QDataStream& in);

private:
    void build();
    bool timeFromStamps();
    void timeFromNominalRate();
    qint64 toUs(qint64 ticks) const;

    std::vector<PacketEntry> m_packets;
    int m_timeBaseNum = 1;
    int m_timeBaseDen = 1;
    qint64 m_nominalFrameUs = 0;

    qint64 m_firstPts = 0;
    std::vector<int> m_order;                      // frame -> decode index
    std::vector<int> m_frameOf;                    // decode index -> frame or -1
    std::vector<bool> m_reordered;                 // decode index -> shown before an earlier one
    std::vector<qint64> m_startUs;                 // frame -> start, plus the end
    std::vector<std::pair<int, int>> m_keyframes;  // (frame, decode index), by frame
    std::vector<std::pair<quint64, int>> m_byKey;  // (key, decode index), by key
};

}  // namespace mci
