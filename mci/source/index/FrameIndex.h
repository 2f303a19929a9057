// Where every video frame of a file is: its packets in decode order, which frame each packet
// shows, and the frames in presentation order with their times.
//
// Frames are the pictures a decoder gives out, in the order it gives them out:
// - a packet that holds no picture is no frame, and neither is one that cannot be decoded
//   because what it refers to is not in the file (a stream cut mid-interval starts at its first
//   keyframe; pictures shown before that keyframe but decoded after it are lost with the cut);
// - frame n is the n-th of them in order of presentation time. Where the container's clock may
//   restart or jump (recordings joined end to end), that order holds within each continuous
//   run, and the runs follow one another as the file holds them. Where the container stores no
//   presentation times at all (AVI), the kinds of the pictures give the order: a reference
//   picture is shown when the next one arrives, a picture nothing refers to at once.
// A decoded picture is recognised by the packet it came from, and a packet by a hash of its
// bytes: after a seek the container may report different (or no) timestamps and positions, but
// the bytes of a frame stay the same.
//
// Immutable after construction; safe to read from any thread.
#pragma once

#include "PictureHeader.h"

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
    PictureKind kind = PictureKind::Unknown;
};

// What identifies a packet: its bytes, or its decode or presentation timestamp (stream time
// base) where the index was read from the container's tables or headers.
// Stored in the index cache: the values stay.
enum class PacketIdentity : quint8 { Bytes = 0, DecodeTime = 1, PresentationTime = 2 };

// The key of a packet as read from the file, by what identifies it.
quint64 keyOf(PacketIdentity identity, const void* data, int size, qint64 pts, qint64 dts);

// What the container's timestamps can be trusted with.
struct StreamClock {
    int timeBaseNum = 1;
    int timeBaseDen = 1;
    // The nominal frame duration in microseconds, for the last frame when its packet does not
    // say and for streams whose times are absurd.
    qint64 nominalFrameUs = 0;
    bool mayRestart = false;        // MPEG program and transport streams: joined recordings
    bool decodeOrderOnly = false;   // no presentation times are stored (AVI)
    bool firstKeyframeOnly = false; // the container's keyframe marks mean nothing (H.261)
    PacketIdentity identity = PacketIdentity::Bytes;
};

// The entry of a packet as the demuxer gives it: its bytes identify it, its first bytes tell its
// picture. unpacked: it came through the filter that unpacks packed B-pictures, whose keyframe
// marks say nothing. An MPEG-1/2 picture whose kind is known is a keyframe where it is an
// I-picture, whatever a container's table marks (an MP4's may be damaged); a marked picture no
// decoder can begin at is none.
PacketEntry demuxedPacketEntry(const AVPacket* packet, PictureHeaderReader& headers, bool unpacked);

// The places pictures are shown in by a decoder that holds back one reference picture at a time
// and shows the others at once (MPEG-1, MPEG-2, MPEG-4 part 2): the pictures are added in decode
// order, and each is given its place, counting from 0, once it is known.
template <typename Place>
class HeldBackOrder {
public:
    explicit HeldBackOrder(Place place) : m_place(place) {}
    void add(int picture, bool referenced)
    {
        if (!referenced) {
            m_place(picture, m_next++);
            return;
        }
        if (m_waiting >= 0)
            m_place(m_waiting, m_next++);
        m_waiting = picture;
    }
    // After the last picture.
    void finish()
    {
        if (m_waiting >= 0)
            m_place(m_waiting, m_next++);
        m_waiting = -1;
    }

private:
    Place m_place;
    int m_next = 0;
    int m_waiting = -1;
};

// The identity of a packet's bytes.
quint64 packetKey(const void* data, int size);
// The identity of a packet by its timestamp, for containers whose timestamps are exact after a
// seek and read without the packet's bytes.
quint64 timeKey(qint64 stamp);

class FrameIndex {
public:
    FrameIndex() = default;
    // packets in decode order, and how their container times them.
    FrameIndex(std::vector<PacketEntry> packets, const StreamClock& clock);
    FrameIndex(std::vector<PacketEntry> packets, int timeBaseNum, int timeBaseDen, qint64 nominalFrameUs)
        : FrameIndex(std::move(packets), StreamClock{timeBaseNum, timeBaseDen, nominalFrameUs})
    {
    }

    int frameCount() const { return int(m_order.size()); }
    int packetCount() const { return int(m_packets.size()); }
    const PacketEntry& packet(int decodeIndex) const { return m_packets[size_t(decodeIndex)]; }
    // Presentation-order number of the frame a packet shows, -1 when it shows none.
    int frameOfPacket(int decodeIndex) const { return m_frameOf[size_t(decodeIndex)]; }
    int packetOfFrame(int n) const { return m_order[size_t(n)]; }
    // Whether no other picture refers to the packet's picture, so decoding may pass over it.
    bool isUnreferenced(int decodeIndex) const { return packet(decodeIndex).kind == PictureKind::Unreferenced; }

    // The fewest pictures a decoder gives out to reach frame n from its keyframe: n and every
    // picture before n in decode order that others may refer to.
    int picturesNeededFor(int n) const;

    // Time of frame n from the first frame, n in 0..frameCount (frameCount: the end).
    qint64 frameStartUs(int n) const;
    // The frame shown at t, clamped to 0..frameCount-1.
    int frameAtUs(qint64 t) const;

    // The keyframe packet to start decoding from for frame n: the last keyframe presented at or
    // before n, or stepsBack keyframes earlier still; -1 when decoding must start at the
    // beginning of the file.
    int keyframePacketFor(int n, int stepsBack) const;
    // The packet with this key; where several have the same key, the one nearest to expected
    // (a decode index). -1 when none.
    int findPacket(quint64 key, int expected) const;
    PacketIdentity identity() const { return m_clock.identity; }

    int timeBaseNum() const { return m_clock.timeBaseNum; }
    int timeBaseDen() const { return m_clock.timeBaseDen; }
    qint64 nominalFrameUs() const { return m_clock.nominalFrameUs; }
    // Presentation timestamp of frame 0 (stream time base): the origin of every time above.
    qint64 firstPts() const { return m_firstPts; }

    // The picture of frame n as its headers and order say, with no decoding: I for a keyframe
    // or an intra picture, B for one shown before a picture decoded ahead of it, else P.
    char pictureType(int n) const;
    bool isKeyframe(int n) const { return packet(packetOfFrame(n)).keyframe; }
    // Whether the frames last differently by more than the container's clock can round to (the
    // last frame, timed by guess, aside).
    bool hasVariableRate() const;

    void save(QDataStream& out) const;
    // The index stored by save(), or nothing when the data is malformed.
    static std::optional<FrameIndex> load(QDataStream& in);

private:
    struct Run {
        int first;  // decode indices first..last, as the file holds them
        int last;
    };

    void build();
    std::vector<Run> runs() const;
    std::vector<qint64> presentationOrderKeys(const std::vector<Run>& runs) const;
    std::vector<int> keepDecodablePictures(const std::vector<Run>& runs, const std::vector<qint64>& keys);
    bool timeFromStamps(const std::vector<int>& runStarts, std::vector<qint64>& scratch);
    void timeFromNominalRate();
    qint64 toUs(qint64 ticks) const;
    qint64 lastFrameUs(int decodeIndex) const;

    std::vector<PacketEntry> m_packets;
    StreamClock m_clock;

    qint64 m_firstPts = 0;
    std::vector<int> m_order;                      // frame -> decode index
    std::vector<int> m_frameOf;                    // decode index -> frame or -1
    std::vector<qint64> m_startUs;                 // frame -> start, plus the end
    std::vector<std::pair<int, int>> m_keyframes;  // (frame, decode index), by frame
    std::vector<std::pair<quint64, int>> m_byKey;  // (key, decode index), by key
};

}  // namespace mci
