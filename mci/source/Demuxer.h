// A media file opened for reading packets: the container's side of the source.
//
// MPEG-4 Part 2 video stored with "packed" B-pictures (a B-picture hidden behind the reference
// picture that follows it, and an empty placeholder packet where it belongs) is read unpacked:
// every packet then holds one picture, in plain decode order, as every other stream has it.
//
// One thread at a time. Owns its AVFormatContext; the streams and the context it exposes live as
// long as the Demuxer.
#pragma once

#include "FFmpegError.h"
#include "FFmpegHandles.h"

extern "C" {
#include <libavcodec/bsf.h>
}

#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

namespace mci {

// How a movie file's edit lists are read. libavformat's full reading hides the pictures an edit
// cuts away; its simple one takes half as long to open a long file, and gives the same packets
// where no edit cuts a picture away (SampleHeadsAhead::editLists()), but gives out cut pictures
// as if they were shown.
enum class EditLists { Full, Simple };

class Demuxer {
public:
    // Opens the file and reads its stream parameters. Fails with the reason: missing file,
    // unreadable, empty, not a media file, truncated before its streams could be read.
    static std::variant<std::unique_ptr<Demuxer>, OpenFailure> open(const QString& path,
                                                                    EditLists editLists = EditLists::Full);
    // The same file opened again as this one was, for a second reader of it.
    std::variant<std::unique_ptr<Demuxer>, OpenFailure> reopen() const { return open(m_path, m_editLists); }

    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;

    AVFormatContext* context() const { return m_context.get(); }
    // The file, for a second reader of it.
    const QString& path() const { return m_path; }
    AVStream* stream(int index) const { return m_context->streams[index]; }
    int videoStream() const { return m_video; }  // -1 without a picture stream
    int audioStream() const { return m_audio; }  // -1 without sound
    // The video stream's parameters as read() delivers its packets (unpacked where they were
    // packed): what its decoder must be opened with.
    const AVCodecParameters* videoParameters() const;
    // Whether the container may restart or jump its clock (joined recordings), and whether it
    // stores presentation times at all.
    bool clockMayRestart() const;
    bool storesPresentationTimes() const;
    // Whether the video stream is read through the unpacking filter, whose packets say nothing
    // about keyframes (the placeholder of a keyframe's packet is marked as one).
    bool unpacksVideo() const { return m_unpack != nullptr; }
    // Whether the bytes were recognised as a media format: a later failure then means the file
    // is truncated or broken rather than not a media file at all.
    FormatKnown formatKnown() const;

    // Only packets of this stream are read from now on (the container skips the others, and
    // read() drops those of streams the container finds only later in the file).
    void keepOnly(int streamIndex);
    // The next packet of the kept stream (of any stream before keepOnly); 0, AVERROR_EOF at
    // the end, or another AVERROR.
    int read(AVPacket* packet);
    // Repositions reading at or before a keyframe of the stream at timestamp ts (stream time
    // base), or at a byte position; false when the container refuses.
    bool seekToTimestamp(int streamIndex, int64_t ts);
    bool seekToByte(int64_t position);
    // Containers whose timestamp seek is a search over the bytes (program and transport
    // streams, bare elementary streams) land exactly only when told the byte position.
    bool prefersByteSeek() const { return m_byteSeek; }
    // How far reading has come through the file, 0..1 (0 when the size is unknown).
    double fractionRead() const;

    // Asked on the reading thread before each read of the file (of a buffer, 32 or 64 kB), also
    // within FFmpeg: true makes the read or seek in progress give up with an error. A later
    // seek reads on.
    using InterruptCheck = std::function<bool()>;
    void setInterruptCheck(InterruptCheck check);

private:
    struct FilterDeleter {
        void operator()(AVBSFContext* c) const { av_bsf_free(&c); }
    };

    Demuxer(FormatContextPtr context, std::unique_ptr<InterruptCheck> interrupt, QByteArray head);
    void chooseStreams();
    void unpackIfPacked();
    int readContainer(AVPacket* packet);
    int readUnpacked(AVPacket* packet);
    void forgetHeldPackets();
    void learnPalette();
    void carryPalette(AVPacket* packet);

    // Before the context: FFmpeg holds its address from the open on and may ask it until closed.
    std::unique_ptr<InterruptCheck> m_interrupt;
    FormatContextPtr m_context;
    QByteArray m_head;  // the file's first bytes, recognised when asked
    mutable std::optional<FormatKnown> m_known;
    QString m_path;
    EditLists m_editLists = EditLists::Full;
    int m_video = -1;
    int m_audio = -1;
    int m_kept = -1;  // -1: every stream
    bool m_byteSeek = false;
    std::unique_ptr<AVBSFContext, FilterDeleter> m_unpack;
    bool m_unpackDrained = false;  // the end of the file was passed to the filter
    // Pictures of palette colours: the packets the open read to learn the palette, which read()
    // gives out first, and the palette in force (AVPALETTE_SIZE bytes; empty while unknown).
    bool m_paletted = false;
    std::deque<PacketPtr> m_readAhead;
    std::vector<uint8_t> m_palette;
};

}  // namespace mci
