// Opening arbitrary bytes as media: the open, frames read in order and at random, and sound.
// Nothing may crash, hang or trip a sanitizer; a frame handed out must be the one asked for.
#include "FuzzCheck.h"

#include "MediaSource.h"

#include <QFile>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

namespace {

constexpr int kInOrder = 12;  // frames read from the start
constexpr int kAtRandom = 6;  // then this many anywhere
constexpr int kSoundReads = 8;

void readFrames(mci::MediaSource& source, const std::uint8_t* data, size_t size) {
    const int count = source.info().frameCount;
    for (int n = 0; n < std::min(count, kInOrder); ++n) {
        const auto frame = source.frame(n);
        if (frame) FUZZ_CHECK(frame->number() == n);
    }
    for (int i = 0; i < kAtRandom && count > 0; ++i) {
        const int n = int((data[i % size] * 7919u + i * 104729u) % unsigned(count));
        const auto frame = source.frame(n);
        if (frame) FUZZ_CHECK(frame->number() == n);
        source.frameAtUs(source.frameStartUs(n));
    }
    source.frame(count);  // one past the end: nothing, not a crash
}

void readSound(mci::MediaSource& source) {
    const auto audio = source.openAudio(44100, 2);
    if (!audio) return;
    std::vector<float> samples(2 * 1024);
    for (int i = 0; i < kSoundReads; ++i)
        if (audio->read(samples.data(), 1024) == 0) break;
    audio->seekUs(source.info().durationUs / 2);
    audio->read(samples.data(), 1024);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    // The source keeps what it learns about a file in the cache folder; keep that ours too.
    ::setenv("XDG_CACHE_HOME", scratchFolder().c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const QString path = QString::fromStdString(scratchFolder() + "/input");
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    }
    auto opened = mci::MediaSource::open(path, {});
    auto* source = std::get_if<std::unique_ptr<mci::MediaSource>>(&opened);
    if (!source) return 0;
    readFrames(**source, data, size);
    readSound(**source);
    return 0;
}
