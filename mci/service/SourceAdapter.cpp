#include "SourceAdapter.h"

namespace mci {

namespace {

class DecodedPicture final : public Picture {
public:
    explicit DecodedPicture(std::shared_ptr<const DecodedFrame> frame) : m_frame(std::move(frame)) {}
    int number() const override { return m_frame->number(); }
    QImage toImage(QSize target) const override { return m_frame->toImage(target); }

private:
    std::shared_ptr<const DecodedFrame> m_frame;
};

class MediaFileSource final : public PlaybackSource {
public:
    explicit MediaFileSource(std::unique_ptr<MediaSource> source) : m_source(std::move(source)) {}
    const MediaInfo& info() const override { return m_source->info(); }
    qint64 frameStartUs(int n) const override { return m_source->frameStartUs(n); }
    FrameFacts frameFacts(int n) const override { return m_source->frameFacts(n); }
    std::shared_ptr<const Picture> picture(int n) override {
        auto frame = m_source->frame(n);
        if (!frame) return nullptr;
        return std::make_shared<DecodedPicture>(std::move(frame));
    }
    std::shared_ptr<const Picture> cachedPicture(int n) const override {
        auto frame = m_source->cachedFrame(n);
        if (!frame) return nullptr;
        return std::make_shared<DecodedPicture>(std::move(frame));
    }
    void prefetch(int at, int direction, const std::function<bool()>& stop) override {
        m_source->prefetch(at, direction, stop);
    }
    std::unique_ptr<AudioStream> openAudio(int sampleRate, int channels) override {
        return m_source->openAudio(sampleRate, channels);
    }

private:
    std::unique_ptr<MediaSource> m_source;
};

}  // namespace

SourceOpenResult openMediaFile(const QString& path, const OpenProgress& progress) {
    auto opened = MediaSource::open(path, progress);
    if (auto* failure = std::get_if<OpenFailure>(&opened)) return *failure;
    return std::make_unique<MediaFileSource>(std::get<std::unique_ptr<MediaSource>>(std::move(opened)));
}

}  // namespace mci
