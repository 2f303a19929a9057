#include "FrameReader.h"

#include "DecodedFrameData.h"

#include <algorithm>
#include <atomic>

namespace mci {

namespace {

// Keyframes to go back when decoding from the governing one did not produce the frame (a
// container that landed late, a stream whose pictures reach across keyframes).
constexpr int kKeyframesBack = 3;

std::atomic<int> s_seeks{0};

}  // namespace

FrameReader::FrameReader(std::unique_ptr<Demuxer> demuxer, std::unique_ptr<VideoDecoder> decoder,
                         const FrameIndex& index)
    : m_demuxer(std::move(demuxer)),
      m_decoder(std::move(decoder)),
      m_index(index),
      m_stream(m_demuxer->videoStream()),
      m_packet(av_packet_alloc()),
      m_picture(av_frame_alloc())
{
    m_demuxer->keepOnly(m_stream);
}

std::shared_ptr<const DecodedFrame> FrameReader::frame(int n)
{
    if (n < 0 || n >= m_index.frameCount() || !m_packet || !m_picture)
        return nullptr;
    if (m_last && m_last->number() == n)
        return m_last;
    if (canContinueTo(n)) {
        if (auto found = decodeUntil(n))
            return found;
    }
    // Bounded: a frame that cannot be decoded (damage) costs a few keyframe intervals of
    // decoding, never a pass from the start of a long file.
    for (int back = 0; back <= kKeyframesBack; ++back) {
        const int keyframe = m_index.keyframePacketFor(n, back);
        if (!seekTo(keyframe))
            continue;
        if (auto found = decodeUntil(n))
            return found;
        if (keyframe < 0)
            break;
    }
    return nullptr;
}

int FrameReader::totalSeeks()
{
    return s_seeks.load();
}

bool FrameReader::canContinueTo(int n) const
{
    if (!m_positioned || n <= m_lastOutput)
        return false;
    // Seeking pays off only when it skips frames the decoder would otherwise go through.
    const int keyframe = m_index.keyframePacketFor(n, 0);
    return keyframe < 0 || m_index.frameOfPacket(keyframe) <= m_lastOutput + 1;
}

bool FrameReader::seekTo(int decodeIndex)
{
    ++s_seeks;
    m_decoder->flush();
    m_positioned = false;
    m_draining = false;
    m_lastOutput = -1;
    m_waitingForKeyframe = decodeIndex >= 0;
    m_expectedPacket = std::max(decodeIndex, 0);
    if (m_index.packetCount() == 0)
        return false;
    const bool landed = seekToPacket(m_index.packet(m_expectedPacket))
        || (decodeIndex <= 0 && m_demuxer->seekToByte(0));
    m_positioned = landed;
    return landed;
}

bool FrameReader::seekToPacket(const PacketEntry& packet)
{
    if (m_demuxer->prefersByteSeek() && packet.position >= 0)
        return m_demuxer->seekToByte(packet.position);
    qint64 ts = packet.dts;
    if (ts == kNoTime || (packet.pts != kNoTime && packet.pts < ts))
        ts = packet.pts;
    if (ts != kNoTime && m_demuxer->seekToTimestamp(m_stream, ts))
        return true;
    return packet.position >= 0 && m_demuxer->seekToByte(packet.position);
}

std::shared_ptr<const DecodedFrame> FrameReader::decodeUntil(int n)
{
    for (;;) {
        switch (takeFrame(n)) {
        case Step::Found:
            return m_last;
        case Step::Passed:
            return nullptr;
        case Step::Ended:
            m_positioned = false;
            return nullptr;
        case Step::Continue:
            break;
        }
        if (feedPacket() == Step::Ended) {
            m_positioned = false;
            return nullptr;
        }
    }
}

// Takes the decoder's pictures until it wants another packet.
FrameReader::Step FrameReader::takeFrame(int n)
{
    for (;;) {
        const int result = m_decoder->receive(m_picture.get());
        if (result == AVERROR(EAGAIN))
            return Step::Continue;
        if (result < 0)
            return Step::Ended;
        const int64_t number = m_picture->pts;
        if (number == AV_NOPTS_VALUE || number < 0 || number >= m_index.frameCount()) {
            av_frame_unref(m_picture.get());
            continue;
        }
        m_lastOutput = int(number);
        if (number < n) {
            av_frame_unref(m_picture.get());
            continue;
        }
        if (number > n) {
            // n never came out (its packet was lost); this picture cannot be kept for later
            // either, since the caller will seek.
            av_frame_unref(m_picture.get());
            m_positioned = false;
            return Step::Passed;
        }
        m_last = makeFrame(int(number));
        return Step::Found;
    }
}

// Sends the next packet, marked with the number of the frame it shows.
FrameReader::Step FrameReader::feedPacket()
{
    if (m_draining)
        return Step::Ended;
    for (;;) {
        const int result = m_demuxer->read(m_packet.get());
        if (result < 0) {
            // The end of the file, or a read error: either way the decoder gives out what it holds.
            m_draining = true;
            m_decoder->send(nullptr);
            return Step::Continue;
        }
        const PacketRef packet(m_packet.get());
        const int decodeIndex = m_index.findPacket(packetKey(packet->data, packet->size), m_expectedPacket);
        if (m_waitingForKeyframe) {
            if (decodeIndex < 0 || !m_index.packet(decodeIndex).keyframe)
                continue;
            m_waitingForKeyframe = false;
        }
        m_expectedPacket = decodeIndex >= 0 ? decodeIndex + 1 : m_expectedPacket + 1;
        const int number = decodeIndex >= 0 ? m_index.frameOfPacket(decodeIndex) : -1;
        packet->pts = number >= 0 ? number : AV_NOPTS_VALUE;
        packet->dts = AV_NOPTS_VALUE;
        // A packet the decoder rejects is damaged; the pictures around it still come out.
        m_decoder->send(packet.get());
        return Step::Continue;
    }
}

std::shared_ptr<const DecodedFrame> FrameReader::makeFrame(int number)
{
    auto data = std::make_unique<DecodedFrame::Data>();
    data->frame.reset(av_frame_alloc());
    if (!data->frame)
        return nullptr;
    av_frame_move_ref(data->frame.get(), m_picture.get());
    data->number = number;
    data->ptsUs = m_index.frameStartUs(number);
    return std::make_shared<const DecodedFrame>(std::move(data));
}

}  // namespace mci
