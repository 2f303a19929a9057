#include "StreamCopy.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <QFile>
#include <memory>

namespace bench {

namespace {

struct InputDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct OutputDeleter {
    void operator()(AVFormatContext* context) const {
        if (context->pb) avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using Input = std::unique_ptr<AVFormatContext, InputDeleter>;
using Output = std::unique_ptr<AVFormatContext, OutputDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

bool failed(QString* error, const QString& what, int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    *error = QStringLiteral("%1: %2").arg(what, QString::fromUtf8(text));
    return false;
}

// The file opened afresh for each copy: a seek back to the start is not exact in every
// container, a new open is.
int openInput(const QString& path, Input* input) {
    AVFormatContext* context = nullptr;
    const int result =
        avformat_open_input(&context, QFile::encodeName(path).constData(), nullptr, nullptr);
    if (result < 0) return result;
    input->reset(context);
    return avformat_find_stream_info(context, nullptr);
}

}  // namespace

bool writeCopies(const QString& from, const QString& to, const char* muxer, int copies,
                 QString* error) {
    Input input;
    if (int e = openInput(from, &input); e < 0) return failed(error, "cannot read " + from, e);
    const int video = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video < 0) return failed(error, "no video in " + from, video);
    const AVStream* source = input->streams[video];
    const AVRational sourceBase = source->time_base;
    // A copy lasts its frames times the frame period: at a fixed rate the next copy's first
    // frame then comes one period after this copy's last.
    const int64_t period = av_rescale_q(1, av_inv_q(source->avg_frame_rate), sourceBase);
    if (period <= 0) return failed(error, "no frame rate in " + from, AVERROR_INVALIDDATA);

    AVFormatContext* context = nullptr;
    const QByteArray target = QFile::encodeName(to);
    if (int e = avformat_alloc_output_context2(&context, nullptr, muxer, target.constData()); e < 0)
        return failed(error, QStringLiteral("no muxer %1").arg(muxer), e);
    Output output(context);
    AVStream* stream = avformat_new_stream(context, nullptr);
    if (!stream) return failed(error, "cannot add a stream", AVERROR(ENOMEM));
    if (int e = avcodec_parameters_copy(stream->codecpar, source->codecpar); e < 0)
        return failed(error, "cannot copy the stream", e);
    stream->codecpar->codec_tag = 0;  // each container names the codec its own way
    stream->time_base = sourceBase;
    stream->avg_frame_rate = source->avg_frame_rate;
    if (int e = avio_open(&context->pb, target.constData(), AVIO_FLAG_WRITE); e < 0)
        return failed(error, "cannot write " + to, e);
    if (int e = avformat_write_header(context, nullptr); e < 0)
        return failed(error, "cannot start " + to, e);

    Packet packet(av_packet_alloc());
    int64_t offset = 0;
    for (int copy = 0; copy < copies; ++copy) {
        if (copy > 0) {
            if (int e = openInput(from, &input); e < 0)
                return failed(error, "cannot read " + from, e);
        }
        int64_t frames = 0;
        int result;
        while ((result = av_read_frame(input.get(), packet.get())) >= 0) {
            if (packet->stream_index != video) {
                av_packet_unref(packet.get());
                continue;
            }
            ++frames;
            if (packet->pts != AV_NOPTS_VALUE) packet->pts += offset;
            if (packet->dts != AV_NOPTS_VALUE) packet->dts += offset;
            packet->stream_index = 0;
            packet->pos = -1;
            av_packet_rescale_ts(packet.get(), sourceBase, stream->time_base);
            if (int e = av_interleaved_write_frame(context, packet.get()); e < 0)
                return failed(error, "cannot write " + to, e);
        }
        if (result != AVERROR_EOF) return failed(error, "cannot read " + from, result);
        offset += frames * period;
    }
    if (int e = av_write_trailer(context); e < 0) return failed(error, "cannot finish " + to, e);
    return true;
}

}  // namespace bench
