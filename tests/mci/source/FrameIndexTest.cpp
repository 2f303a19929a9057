// The index that turns packets in decode order into frames in presentation order. Built here
// from hand-made packet lists, so each ordering rule is seen on its own.
#include "FrameIndex.h"

#include <QByteArray>
#include <QIODevice>

#include <gtest/gtest.h>

using mci::FrameIndex;
using mci::kNoTime;
using mci::PacketEntry;

namespace {

PacketEntry packet(qint64 pts, qint64 dts, bool keyframe, quint64 key)
{
    PacketEntry p;
    p.pts = pts;
    p.dts = dts;
    p.keyframe = keyframe;
    p.key = key;
    p.duration = 1;
    return p;
}

// I0 P3 B1 B2 I6 B4 B5 P9 B7 B8 at 25 frames a second (time base 1/25), decode order; the
// second I is an open-GOP keyframe whose leading B-frames (4, 5) come after it.
FrameIndex openGop()
{
    const int pts[] = {0, 3, 1, 2, 6, 4, 5, 9, 7, 8};
    std::vector<PacketEntry> packets;
    for (int i = 0; i < 10; ++i)
        packets.push_back(packet(pts[i], i - 1, pts[i] % 6 == 0, 100 + quint64(i)));
    return FrameIndex(std::move(packets), 1, 25, 40'000);
}

TEST(FrameIndex, ordersFramesByPresentationTime)
{
    const FrameIndex index = openGop();
    ASSERT_EQ(index.frameCount(), 10);
    for (int n = 0; n < 10; ++n)
        EXPECT_EQ(index.frameOfPacket(index.packetOfFrame(n)), n);
    EXPECT_EQ(index.packetOfFrame(3), 1);  // P3 is the second packet
    EXPECT_EQ(index.frameOfPacket(5), 4);  // the first leading B-frame after I6
    EXPECT_EQ(index.frameStartUs(4), 160'000);
    EXPECT_EQ(index.frameStartUs(10), 400'000);  // the last frame lasts its packet's duration
    EXPECT_EQ(index.frameAtUs(159'999), 3);
    EXPECT_EQ(index.frameAtUs(160'000), 4);
}

// A damaged time base makes every frame last for months: the frames keep their order but are
// timed by the nominal rate, or at 30 a second when the nominal rate is damaged as well, so a
// playing device counts on instead of sitting on frame 0.
TEST(FrameIndex, framesThatWouldLastForMonthsAreTimedByTheNominalRate)
{
    struct Case {
        int timeBaseNum, timeBaseDen;
        qint64 nominalUs;
        qint64 frameUs;  // what frame 1 starts at
    };
    const Case cases[] = {
        {1, 25, 40'000, 40'000},                  // a sound time base: timed by its stamps
        {0x7fffffff, 1, 40'000, 40'000},          // a damaged time base, a sound nominal rate
        {0x7fffffff, 1, 0x7fffffffLL * 1'000'000, 33'333},  // both damaged
        {1, 1, 10'000'000, 1'000'000},            // a slow slideshow is no damage
        {20, 1, 20'000'000, 20'000'000},          // nor a picture every 20 s
    };
    for (const Case& c : cases) {
        std::vector<PacketEntry> packets;
        const int pts[] = {0, 2, 1, 3};
        for (int i = 0; i < 4; ++i)
            packets.push_back(packet(pts[i], i - 1, i == 0, quint64(i)));
        const FrameIndex index(std::move(packets), c.timeBaseNum, c.timeBaseDen, c.nominalUs);
        EXPECT_EQ(index.frameOfPacket(1), 2) << c.timeBaseNum;  // still in presentation order
        EXPECT_EQ(index.frameStartUs(1), c.frameUs) << c.timeBaseNum;
        EXPECT_EQ(index.frameStartUs(4), 4 * c.frameUs) << c.timeBaseNum;
    }
}

TEST(FrameIndex, startsDecodingAtTheLastKeyframeShownAtOrBeforeTheFrame)
{
    const FrameIndex index = openGop();
    // Frames 4 and 5 are shown before I6 but decoded after it from the previous GOP's P3:
    // decoding must start at I0, not at I6.
    EXPECT_EQ(index.keyframePacketFor(4, 0), 0);
    EXPECT_EQ(index.keyframePacketFor(5, 0), 0);
    EXPECT_EQ(index.keyframePacketFor(6, 0), 4);
    EXPECT_EQ(index.keyframePacketFor(9, 0), 4);
    EXPECT_EQ(index.keyframePacketFor(9, 1), 0);
    EXPECT_EQ(index.keyframePacketFor(9, 2), -1);  // further back than the file: its start
}

TEST(FrameIndex, timesVariableFrameRateFromTheTimestampsAndStartsAtTheFirstFrame)
{
    // Milliseconds, starting late (as in a transport stream) with irregular durations.
    const qint64 pts[] = {1000, 1033, 1053, 1100};
    std::vector<PacketEntry> packets;
    for (qint64 t : pts)
        packets.push_back(packet(t, t, t == 1000, quint64(t)));
    packets.back().duration = 29;
    const FrameIndex index(std::move(packets), 1, 1000, 33'333);
    EXPECT_EQ(index.firstPts(), 1000);
    EXPECT_EQ(index.frameStartUs(0), 0);
    EXPECT_EQ(index.frameStartUs(2), 53'000);
    EXPECT_EQ(index.frameStartUs(4), 129'000);
    EXPECT_EQ(index.frameAtUs(52'999), 1);
}

TEST(FrameIndex, leavesOutPacketsThatAreNotShownOrHaveNoTimeAmongTimedOnes)
{
    std::vector<PacketEntry> packets{packet(kNoTime, kNoTime, true, 1), packet(kNoTime, kNoTime, false, 2),
                                     packet(kNoTime, kNoTime, false, 3)};
    packets[1].shown = false;
    const FrameIndex index(std::move(packets), 1, 30, 33'333);
    ASSERT_EQ(index.frameCount(), 2);
    EXPECT_EQ(index.frameOfPacket(1), -1);
    EXPECT_EQ(index.packetOfFrame(1), 2);
    EXPECT_EQ(index.frameStartUs(2), 66'666);

    // Among timed pictures, one without a time has no place (what a cut leaves before its
    // keyframe in Matroska): it is no frame, and the others keep the order of their times.
    std::vector<PacketEntry> cut{packet(3, 0, true, 1), packet(kNoTime, kNoTime, false, 2), packet(6, 1, false, 3),
                                 packet(4, 2, false, 4), packet(5, 3, false, 5)};
    const FrameIndex timed(std::move(cut), 1, 30, 33'333);
    ASSERT_EQ(timed.frameCount(), 4);
    EXPECT_EQ(timed.frameOfPacket(1), -1);
    EXPECT_EQ(timed.packetOfFrame(1), 3);
    EXPECT_EQ(timed.frameStartUs(3), 100'000);
}

TEST(FrameIndex, findsPacketsByTheirBytesPreferringTheNearestOfEqualOnes)
{
    std::vector<PacketEntry> packets;
    for (int i = 0; i < 6; ++i)
        packets.push_back(packet(i, i, true, i % 2 ? 7 : quint64(10 + i)));  // 1, 3, 5 are alike
    const FrameIndex index(std::move(packets), 1, 30, 33'333);
    EXPECT_EQ(index.findPacket(12, 0), 2);
    EXPECT_EQ(index.findPacket(7, 0), 1);
    EXPECT_EQ(index.findPacket(7, 4), 3);
    EXPECT_EQ(index.findPacket(7, 5), 5);
    EXPECT_EQ(index.findPacket(99, 3), -1);
    EXPECT_NE(mci::packetKey("abcd", 4), mci::packetKey("abce", 4));
    EXPECT_NE(mci::packetKey("abcd", 3), mci::packetKey("abcd", 4));
}

// Keys are kept in the index cache and read by later processes: they must not depend on
// anything but the bytes (a hash seeded per process made every kept index useless).
TEST(FrameIndex, packetKeysAreTheSameInEveryProcess)
{
    EXPECT_EQ(mci::packetKey("", 0), 0xe30a5b4d13f31755ull);
    EXPECT_EQ(mci::packetKey("abcd", 4), 0xbce79d1933326c31ull);
    EXPECT_EQ(mci::packetKey("0123456789abcdefXYZ", 19), 0x279f9577d4e50865ull);
}

TEST(FrameIndex, readsBackWhatItSavedAndRefusesDamagedData)
{
    const FrameIndex index = openGop();
    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        index.save(out);
    }
    QDataStream in(bytes);
    const auto loaded = FrameIndex::load(in);
    ASSERT_TRUE(loaded);
    ASSERT_EQ(loaded->frameCount(), 10);
    EXPECT_EQ(loaded->packetOfFrame(4), index.packetOfFrame(4));
    EXPECT_EQ(loaded->keyframePacketFor(9, 0), 4);
    EXPECT_EQ(loaded->frameStartUs(10), index.frameStartUs(10));

    QDataStream cut(bytes.left(bytes.size() - 3));
    EXPECT_FALSE(FrameIndex::load(cut));
    QByteArray huge = bytes;
    huge[17] = char(0x7f);  // the high byte of the packet count
    QDataStream lying(huge);
    EXPECT_FALSE(FrameIndex::load(lying));
}

}  // namespace
