// Opening arbitrary bytes as media: the open, frames read in order and at random, and sound.
// Nothing may crash, hang or trip a sanitizer; a frame handed out must be the one asked for.
#include "FuzzCheck.h"

#include "GuardedMemory.h"
#include "MediaSource.h"
#include "SourceCounters.h"

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
constexpr int kLargestSide = 1024;  // of a conversion: the overruns come at any size, the time at large ones

// Converted for the screen at a size the input chooses (the zoom steps, odd widths, a size
// shrunk to a pixel), into memory whose end is a guard page: FFmpeg's writes are not seen by
// the sanitizers, and a write past the layout the source gives stops here.
void convert(const mci::DecodedFrame& frame, const std::uint8_t* data, size_t size, int i) {
    const QSize coded = frame.size();
    const auto side = [&](int whole, int k) {
        const int choice = data[(i * 2 + k) % size];
        return std::clamp(int(qint64(whole) * (choice + 1) / 85), 1, kLargestSide);
    };
    const QSize target(side(coded.width(), 0), side(coded.height(), 1));
    const auto layout = mci::DecodedFrame::layoutOf(target);
    FUZZ_CHECK(layout.stride >= target.width() * 4 && layout.bytes >= qint64(layout.stride) * target.height());
    testsupport::GuardedMemory memory(size_t(layout.bytes));
    if (memory.data()) frame.convertInto(target, memory.data(), layout.stride);
}

void readFrames(mci::MediaSource& source, const std::uint8_t* data, size_t size) {
    const int count = source.info().frameCount;
    for (int n = 0; n < std::min(count, kInOrder); ++n) {
        const auto frame = source.frame(n);
        if (!frame) continue;
        FUZZ_CHECK(frame->number() == n);
        convert(*frame, data, size, n);
    }
    for (int i = 0; i < kAtRandom && count > 0; ++i) {
        const int n = int((data[i % size] * 7919u + i * 104729u) % unsigned(count));
        const auto frame = source.frame(n);
        if (frame) FUZZ_CHECK(frame->number() == n);
        if (frame) convert(*frame, data, size, kInOrder + i);
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
    {
        auto opened = mci::MediaSource::open(path, {});
        auto* source = std::get_if<std::unique_ptr<mci::MediaSource>>(&opened);
        if (!source) return 0;
        readFrames(**source, data, size);
        readSound(**source);
    }
    // Its pictures all let go with the source: none was written past.
    FUZZ_CHECK(mci::pictureOverrunCount() == 0);
    return 0;
}
