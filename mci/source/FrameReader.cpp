#include "FrameReader.h"

#include "DecodedFrameData.h"

#include <algorithm>
#include <atomic>

namespace mci {

namespace {

// Keyframes to go back when decoding from the governing one did not produce the frame (a
// stream whose pictures reach across keyframes, damage).
constexpr int kKeyframesBack = 3;
// Packets after a seek that the index does not know (damage, or a file changed since it was
// indexed) before that way of seeking counts as having failed.
constexpr int kMaxUnknownPackets = 512;
// Pictures past the frame asked for that the decoder may give out before it: a picture whose
// container time was damaged is numbered far from where the decoder shows it, and it would
// otherwise pass for a sign that every frame after it was lost.
constexpr int kOutOfPlacePictures = 3;
// Frames to keep decoded below a user who steps back: three seconds of holding Back, longer
// than decoding a long keyframe interval takes, so the next span is ready before it is needed.
constexpr int kBackAhead = 90;
// Frames kept before the one a jump asks for: the first back steps, ready while decoding behind
// brings in the rest. Of them, the jump decodes the pictures nothing refers to only as far back
// as the decoder reorders; before that, only what its frame refers to.
constexpr int kKeptBeforeAJump = 8;

std::atomic<int> s_seeks{0};
std::atomic<int> s_decoded{0};

}  // namespace

FrameReader::FrameReader(std::unique_ptr<Demuxer> demuxer, std::unique_ptr<VideoDecoder> decoder,
                         const FrameIndex& index, FrameCache& cache)
    : m_demuxer(std::move(demuxer)),
      m_decoder(std::move(decoder)),
      m_index(index),
      m_cache(cache),
      m_stream(m_demuxer->videoStream()),
      m_orientation(orientationOf(m_demuxer->stream(m_stream))),
      m_headers(m_demuxer->videoParameters()),
      m_packet(av_packet_alloc()),
      m_picture(av_frame_alloc())
{
    m_demuxer->keepOnly(m_stream);
}

std::shared_ptr<const DecodedFrame> FrameReader::frame(int n)
{
    if (n < 0 || n >= m_index.frameCount() || !m_packet || !m_picture)
        return nullptr;
    // Steps through kept frames never reach the reader (the cache answers them): a user who
    // came down through them to n stepped back as many times.
    const bool backStep =
        n < m_lastAsked && (n == m_lastAsked - 1 || m_cache.cachedRunEnd(n + 1) >= m_lastAsked - 1);
    const bool heldBack = backStep && (m_steppedBack || n < m_lastAsked - 1);
    m_steppedBack = backStep;
    m_cache.setFocus(n, n >= m_lastAsked ? 1 : -1);
    m_lastAsked = n;
    if (m_found && m_found->number() == n)
        return m_found;
    if (auto cached = m_cache.find(n))
        return cached;
    m_keepEveryPicture = false;
    // Decoding that goes on from where it is (decoding ahead was under way when the user caught
    // up with it) keeps what it decodes, as decoding ahead would have, and so does a step back
    // after a step back that finds its frame missing (Back held faster than decoding behind
    // began): the steps after it want the frames before it. A jump, and the first step back
    // after one, keep the frames of the first back steps, and decoding behind brings the rest.
    // Decoding that would go on far (a jump into the interval the decoder is in, as from the
    // first picture of a fresh open) is a jump too.
    const bool continues = canContinueTo(n);
    const int decodingFrom = continues ? std::max(m_lastOutput + 1, m_spanStart)
                                       : m_index.frameOfPacket(std::max(m_index.keyframePacketFor(n, 0), 0));
    const bool goesOn = (continues && n - decodingFrom < kKeptBeforeAJump) || heldBack;
    // A held step far from where decoding is (into the interval before, from its keyframe) waits
    // for all it decodes: as behind a jump, it keeps the next three seconds and passes over the
    // pictures before them that nothing refers to, not a whole interval kept; decoding behind
    // brings the rest.
    if (heldBack && n - decodingFrom > kBackAhead)
        m_behindAJump = true;
    if (goesOn) {
        keepFrom(n - keptBehind());
    } else {
        const int kept = std::min(kKeptBeforeAJump, m_cache.framesThatFit() * 3 / 4);
        m_keepFrom = n - kept;
        m_wholeFrom = n - std::min(m_decoder->reorderDepth(), kept);
    }
    prepareToKeep(std::max(m_keepFrom, decodingFrom), n + 1);
    auto found = decode(n, {});
    if (!found)
        forget();
    else if (heldBack)
        m_behindAJump = false;
    else if (!goesOn)
        m_behindAJump = true;
    return found;
}

// How many frames below the user decoding behind keeps: what the budget holds less the frames
// around the user (4K pictures: about 80 in a gigabyte), as decoding that span again would cost
// far more than its memory. But right behind a jump (or a held step into the interval before),
// only the next three seconds: the pictures before them that nothing refers to are passed over
// as the jump passed them, so that holding Back waits for those seconds alone; the span before
// them is decoded whole when the user gets there.
int FrameReader::keptBehind() const
{
    const int fit = m_cache.framesThatFit() * 3 / 4;
    return m_behindAJump ? std::min(kBackAhead, fit) : fit;
}

// Memory for the pictures from..to-1 that decoding is about to keep, written while it decodes
// what comes before them, on a core its threads leave idle; no more than the budget holds. The
// few of a jump or of playing come from the pictures the decoder let go.
void FrameReader::prepareToKeep(int from, int to)
{
    from = std::max(from, 0);
    if (to - from > kKeptBeforeAJump)
        m_decoder->prepare(std::min(to - from, m_cache.framesThatFit()));
}

// What was kept may no longer be what the file holds.
void FrameReader::forget()
{
    m_cache.clear();
    m_found.reset();
}

void FrameReader::prefetch(int at, int direction, const StopCheck& stop)
{
    if (at < 0 || at >= m_index.frameCount() || !m_packet || !m_picture)
        return;
    m_cache.setFocus(at, direction);
    if (direction > 0) {
        decodeAhead(at, stop);
        return;
    }
    // The next frame first where the decoder is there already: after a jump back the user may
    // as well step on, and it costs a picture or two.
    if (at + 1 < m_index.frameCount() && m_cache.framesThatFit() > 1 && !m_cache.find(at + 1)
        && canContinueTo(at + 1) && at + 1 - m_lastOutput <= 4) {
        m_keepEveryPicture = true;
        keepFrom(at);
        if (!tryDecode(at + 1, stop))
            return;
    }
    decodeBehind(at, stop);
}

// The next frame not decoded yet: usually the one after `at`; where the frames after it are kept
// (a span decoded while stepping back, now played or stepped through), the first after them, so
// that the decoder is there before the user is.
void FrameReader::decodeAhead(int at, const StopCheck& stop)
{
    const int next = std::max(m_cache.cachedRunEnd(at + 1), at) + 1;
    if (next >= m_index.frameCount() || (m_found && m_found->number() == next))
        return;
    // With no room to keep pictures, only the frame right after is of use: the reader holds
    // on to the frame it found last.
    const bool keeps = m_cache.framesThatFit() > 1;
    if (next != at + 1 && !keeps)
        return;
    m_keepEveryPicture = next == at + 1;
    keepFrom(at);
    if (!tryDecode(next, stop))
        return;
    // A jump may have passed over pictures nobody refers to: the step back finds them too.
    // Only such a hole in the span just decoded; the span before a keyframe waits until the
    // user actually steps back.
    const bool hole = at > 0 && m_index.keyframePacketFor(at - 1, 0) == m_index.keyframePacketFor(at, 0);
    if (keeps && hole && !m_cache.find(at - 1)) {
        m_keepEveryPicture = true;
        keepFrom(at - 1);
        tryDecode(at - 1, stop);
    }
}

// Decodes the span before the frames kept below a user who steps back, until enough lie ready.
void FrameReader::decodeBehind(int at, const StopCheck& stop)
{
    // Three seconds ready, or what the budget holds less the frames around the user; the span
    // decoded for them is kept as keptBehind() says.
    const int wanted = std::min(kBackAhead, m_cache.framesThatFit() * 3 / 4);
    int runStart = m_cache.cachedRunStart(at);
    // Refilled once half of it has been stepped through: every refill decodes from a keyframe,
    // which a small budget would otherwise pay for at every step.
    if (wanted < 2 || at - runStart >= wanted / 2)
        return;
    while (runStart > 0 && at - runStart < wanted) {
        m_keepEveryPicture = !m_behindAJump;
        keepFrom(at - keptBehind());
        prepareToKeep(m_keepFrom, runStart);
        if (!tryDecode(runStart - 1, stop))
            return;
        m_behindAJump = false;
        const int extended = m_cache.cachedRunStart(at);
        if (extended >= runStart)
            return;  // the cache has no room for more
        runStart = extended;
    }
}

// decode() for decoding ahead: false when stopped or failed; a failure forgets what was kept.
bool FrameReader::tryDecode(int n, const StopCheck& stop)
{
    if (stop && stop())
        return false;
    if (decode(n, stop))
        return true;
    if (!(stop && stop()))
        forget();
    return false;
}

int FrameReader::totalSeeks()
{
    return s_seeks.load();
}

int FrameReader::totalDecoded()
{
    return s_decoded.load();
}

std::shared_ptr<const DecodedFrame> FrameReader::decode(int n, const StopCheck& stop)
{
    if (canContinueTo(n)) {
        const Outcome outcome = decodeUntil(n, stop);
        if (outcome == Outcome::Found)
            return m_found;
        if (outcome == Outcome::Stopped)
            return nullptr;
    }
    const SeekHow byteFirst[] = {SeekHow::Byte, SeekHow::PresentationTime, SeekHow::DecodeTime};
    const SeekHow timeFirst[] = {SeekHow::PresentationTime, SeekHow::DecodeTime, SeekHow::Byte};
    const SeekHow* order = m_demuxer->prefersByteSeek() ? byteFirst : timeFirst;
    // Bounded: a frame that cannot be decoded (damage) costs a few keyframe intervals of
    // decoding, never a pass from the start of a long file.
    for (int back = 0; back <= kKeyframesBack; ++back) {
        const int keyframe = m_index.keyframePacketFor(n, back);
        for (int way = 0; way < 3; ++way) {
            if (!seekTo(keyframe, order[way]))
                continue;
            const Outcome outcome = decodeUntil(n, stop);
            if (outcome == Outcome::Found)
                return m_found;
            if (outcome == Outcome::Stopped)
                return nullptr;
            if (outcome == Outcome::Failed)
                break;  // the keyframe was reached, yet n never came: start earlier
        }
        if (keyframe < 0)
            break;
    }
    return nullptr;
}

bool FrameReader::canContinueTo(int n) const
{
    // Frames before the keyframe decoding started at never come out of it.
    if (!m_positioned || m_drainedEarly || m_awaitedKeyframe >= 0 || n <= m_lastOutput || n < m_spanStart)
        return false;
    // Seeking pays off only when it skips frames the decoder would otherwise go through: from
    // the last it gave out, or, when it has given out none yet, from the keyframe it started at.
    const int keyframe = m_index.keyframePacketFor(n, 0);
    return keyframe < 0 || m_index.frameOfPacket(keyframe) <= std::max(m_lastOutput + 1, m_spanStart);
}

// decodeIndex -1: decoding starts with the first packet of the file.
bool FrameReader::seekTo(int decodeIndex, SeekHow how)
{
    if (m_index.packetCount() == 0)
        return false;
    ++s_seeks;
    m_decoder->flush();
    m_draining = false;
    m_drainedEarly = false;
    m_lastOutput = -1;
    m_skipped = 0;
    m_unknownRun = 0;
    m_awaitedKeyframe = decodeIndex;
    m_expectedPacket = std::max(decodeIndex, 0);
    m_spanStart = decodeIndex >= 0 ? m_index.frameOfPacket(decodeIndex) : 0;
    const PacketEntry& packet = m_index.packet(m_expectedPacket);
    bool landed = false;
    switch (how) {
    case SeekHow::Byte: {
        const qint64 position = bytePositionFor(m_expectedPacket);
        landed = (position >= 0 && m_demuxer->seekToByte(position)) || (decodeIndex < 0 && m_demuxer->seekToByte(0));
        break;
    }
    case SeekHow::PresentationTime:
        landed = packet.pts != kNoTime && m_demuxer->seekToTimestamp(m_stream, packet.pts);
        break;
    case SeekHow::DecodeTime:
        landed = packet.dts != kNoTime && m_demuxer->seekToTimestamp(m_stream, packet.dts);
        break;
    }
    m_positioned = landed;
    return landed;
}

// Where to seek to read a packet whole: in program streams a picture may begin in the middle of
// the container packet at its recorded position, and reading from there loses its start; the
// packet before it begins earlier. The first packet is read from the start of the file: some
// containers (Matroska) cannot begin reading at a packet, and where their times repeat (a clock
// that restarts) no time finds the first one.
qint64 FrameReader::bytePositionFor(int decodeIndex) const
{
    if (decodeIndex == 0)
        return 0;
    const qint64 own = m_index.packet(decodeIndex).position;
    for (int i = decodeIndex - 1; i >= std::max(decodeIndex - 4, 0); --i) {
        const qint64 earlier = m_index.packet(i).position;
        if (earlier >= 0 && (own < 0 || earlier < own))
            return earlier;
    }
    return own;
}

// A picture decoded only on the way to a frame, not to be kept, need not be decoded at all when
// no other picture refers to it (MPEG B-pictures, two in three; H.264 and HEVC non-reference
// pictures, half of a B-pyramid); decoding ahead keeps every picture for the steps back. The
// packet's own bytes tell its kind, as an index read from a container's tables knows none.
bool FrameReader::passesOver(const AVPacket& packet)
{
    return !m_keepEveryPicture && m_decoder->canPassOverUnreferencedPictures()
        && m_headers.kindOf(packet.data, packet.size) == PictureKind::Unreferenced;
}

FrameReader::Outcome FrameReader::decodeUntil(int n, const StopCheck& stop)
{
    m_target = n;
    m_pastTarget = 0;
    for (;;) {
        // A seek is carried on to its keyframe (packets read, none decoded) before it gives way:
        // stopped earlier, it leaves nothing to continue from, and a user holding Back stops
        // the decoding behind them at every step.
        if (stop && stop() && m_awaitedKeyframe < 0)
            return Outcome::Stopped;
        switch (takeFrame(n)) {
        case Step::Found:
            return Outcome::Found;
        case Step::Continue:
            break;
        default:
            m_positioned = false;
            return Outcome::Failed;
        }
        switch (feedPacket()) {
        case Step::Ended:
            m_positioned = false;
            return Outcome::Failed;
        case Step::LandedLate:
            m_positioned = false;
            return Outcome::LandedLate;
        default:
            break;
        }
    }
}

// Takes the decoder's pictures until it wants another packet, keeping each in the cache.
FrameReader::Step FrameReader::takeFrame(int n)
{
    for (;;) {
        const int result = m_decoder->receive(m_picture.get());
        if (result == AVERROR(EAGAIN))
            return Step::Continue;
        if (result < 0)
            return Step::Ended;
        ++s_decoded;
        const int64_t number = m_picture->pts;
        if (number == AV_NOPTS_VALUE || number < 0 || number >= m_index.frameCount()) {
            av_frame_unref(m_picture.get());
            continue;
        }
        m_lastOutput = int(number);
        // A picture shown before the keyframe decoding started at refers to pictures before
        // it, which the decoder never saw: it is not that frame.
        if (number < m_spanStart) {
            av_frame_unref(m_picture.get());
            continue;
        }
        // Pictures long before the frame asked for are decoded to reach it, not to be kept:
        // fresh memory for each would cost more than decoding them.
        if (number < m_keepFrom && number != n) {
            av_frame_unref(m_picture.get());
            continue;
        }
        auto frame = makeFrame(int(number));
        m_cache.put(frame);
        if (number == n && frame) {
            m_found = std::move(frame);
            return Step::Found;
        }
        if (number > n && ++m_pastTarget > kOutOfPlacePictures)
            return Step::Passed;  // n never came out (its packet was lost)
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
            // Ended before the keyframe came: this way of seeking went past it.
            if (m_awaitedKeyframe >= 0)
                return Step::LandedLate;
            // The end of the file, or a read error: either way the decoder gives out what it holds.
            m_draining = true;
            m_decoder->send(nullptr);
            return Step::Continue;
        }
        const PacketRef packet(m_packet.get());
        const int decodeIndex = m_index.findPacket(
            keyOf(m_index.identity(), packet->data, packet->size, packet->pts, packet->dts), m_expectedPacket);
        if (m_awaitedKeyframe >= 0) {
            const Step skip = skipToKeyframe(decodeIndex);
            if (skip == Step::Continue)
                continue;
            if (skip == Step::LandedLate)
                return skip;
        }
        // A long run of packets the index does not know: the file was replaced under us, and
        // reading on would go through all of it for nothing.
        m_unknownRun = decodeIndex >= 0 ? 0 : m_unknownRun + 1;
        if (m_unknownRun > kMaxUnknownPackets)
            return Step::Ended;
        m_expectedPacket = decodeIndex >= 0 ? decodeIndex + 1 : m_expectedPacket + 1;
        const int number = decodeIndex >= 0 ? m_index.frameOfPacket(decodeIndex) : -1;
        if (number >= 0 && number < m_wholeFrom && number < m_target && passesOver(*packet))
            continue;
        packet->pts = number >= 0 ? number : AV_NOPTS_VALUE;
        packet->dts = AV_NOPTS_VALUE;
        // A packet the decoder rejects is damaged; the pictures around it still come out.
        m_decoder->send(packet.get());
        // Asked for the keyframe itself right after a seek (the first frame of a file, above
        // all): a decoder that holds pictures back would want several more packets first, so
        // it is drained and gives the picture out at once. Reading on then restarts. Not for a
        // picture that only follows a keyframe shown before the file's start (a cut's edit
        // list): an H.264 decoder drained there gives out nothing at all.
        if (number == m_target && number == m_spanStart && m_lastOutput < 0 && !m_keepEveryPicture
            && m_index.packet(decodeIndex).keyframe && m_decoder->holdsPicturesBack()) {
            m_draining = true;
            m_drainedEarly = true;
            m_decoder->send(nullptr);
        }
        return Step::Continue;
    }
}

// After a seek, packets before the awaited keyframe are passed over without decoding: Continue
// to skip this one, Found when it is the keyframe, LandedLate when the seek went past it.
FrameReader::Step FrameReader::skipToKeyframe(int decodeIndex)
{
    if (decodeIndex == m_awaitedKeyframe) {
        m_awaitedKeyframe = -1;
        return Step::Found;
    }
    if (decodeIndex > m_awaitedKeyframe)
        return Step::LandedLate;
    if (decodeIndex < 0 && ++m_skipped > kMaxUnknownPackets)
        return Step::LandedLate;
    return Step::Continue;
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
    data->orientation = m_orientation;
    return std::make_shared<const DecodedFrame>(std::move(data));
}

}  // namespace mci
