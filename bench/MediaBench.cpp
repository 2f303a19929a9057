// The media source's costs that the user feels: how fast a file is indexed on open, how fast
// frames come sequentially (playback), how long a random seek takes (the slider, the index
// window), and what converting a picture at the size shown costs.
#include "MediaGenerator.h"
#include "MediaSource.h"
#include "SourceCounters.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <random>

namespace {

using fixtures::ClipKind;

std::unique_ptr<mci::MediaSource> openClip(const QString& path, benchmark::State& state) {
    auto opened = mci::MediaSource::open(path, {});
    if (auto* failure = std::get_if<mci::OpenFailure>(&opened)) {
        state.SkipWithError(failure->text.toStdString().c_str());
        return nullptr;
    }
    return std::move(std::get<std::unique_ptr<mci::MediaSource>>(opened));
}

// Index pass over a large file with an empty cache each time (the cold open).
void OpenLargeFileCold(benchmark::State& state) {
    QTemporaryDir cache;
    qputenv("XDG_CACHE_HOME", cache.path().toUtf8());
    const QString path = fixtures::fixtureDir() + "/bench-large.avi";
    QString error;
    if (!QFile::exists(path) && !fixtures::writeLargeClip(path, 200ll << 20, &error)) {
        state.SkipWithError(error.toStdString().c_str());
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        QDir(cache.path()).removeRecursively();
        QDir().mkpath(cache.path());
        state.ResumeTiming();
        benchmark::DoNotOptimize(openClip(path, state));
    }
    state.SetBytesProcessed(state.iterations() * QFileInfo(path).size());
}
BENCHMARK(OpenLargeFileCold)->Unit(benchmark::kMillisecond)->Iterations(3);

void SequentialFrames(benchmark::State& state) {
    const auto kind = static_cast<ClipKind>(state.range(0));
    auto source = openClip(fixtures::clip(kind), state);
    if (!source) return;
    const int count = source->info().frameCount;
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(source->frame(n));
        n = (n + 1) % count;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SequentialFrames)
    ->Arg(int(ClipKind::Mpeg1Mpg))
    ->Arg(int(ClipKind::H264Mp4))
    ->Unit(benchmark::kMicrosecond);

void RandomSeek(benchmark::State& state) {
    const auto kind = static_cast<ClipKind>(state.range(0));
    auto source = openClip(fixtures::clip(kind), state);
    if (!source) return;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pick(0, source->info().frameCount - 1);
    for (auto _ : state) benchmark::DoNotOptimize(source->frame(pick(random)));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RandomSeek)
    ->Arg(int(ClipKind::Mpeg1Mpg))
    ->Arg(int(ClipKind::H264Mp4))
    ->Unit(benchmark::kMillisecond);

// A jump to a random frame of a long-interval clip, and a jump followed by 60 back steps with
// the decoding behind that a player does between them. Process CPU, so that the figures hold
// on a busy machine: the clip is media_latency's (TAVOLEN_SEEK_CLIP, e.g.
// build/bench-clips/h264-1080p.mp4), skipped when it is not named.
void JumpOnLongIntervals(benchmark::State& state) {
    const QString path = qEnvironmentVariable("TAVOLEN_SEEK_CLIP");
    if (path.isEmpty()) {
        state.SkipWithError("TAVOLEN_SEEK_CLIP names no clip");
        return;
    }
    auto source = openClip(path, state);
    if (!source) return;
    const int backSteps = int(state.range(0));
    const int decodedBefore = mci::decodedFrameCount();
    const int seeksBefore = mci::decoderSeekCount();
    std::mt19937 random(11);
    std::uniform_int_distribution<int> pick(backSteps, source->info().frameCount - 1);
    for (auto _ : state) {
        const int target = pick(random);
        benchmark::DoNotOptimize(source->frame(target));
        for (int i = 1; i <= backSteps; ++i) {
            source->prefetch(target - i + 1, -1, {});
            benchmark::DoNotOptimize(source->frame(target - i));
        }
    }
    state.counters["decoded"] = benchmark::Counter(mci::decodedFrameCount() - decodedBefore,
                                                   benchmark::Counter::kAvgIterations);
    state.counters["seeks"] = benchmark::Counter(mci::decoderSeekCount() - seeksBefore,
                                                 benchmark::Counter::kAvgIterations);
}
BENCHMARK(JumpOnLongIntervals)
    ->Arg(0)
    ->Arg(60)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Iterations(24);

void ConvertAtShownSize(benchmark::State& state) {
    auto source = openClip(fixtures::clip(ClipKind::Mpeg1Mpg), state);
    if (!source) return;
    auto frame = source->frame(10);
    const QSize shown(int(state.range(0)), int(state.range(0)) * 3 / 4);
    for (auto _ : state) benchmark::DoNotOptimize(frame->toImage(shown));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ConvertAtShownSize)->Arg(107)->Arg(320)->Arg(960)->Unit(benchmark::kMicrosecond);

// 1080p HDR10 (10 bits, PQ, BT.2020), tone-mapped for the screen: at a third, at its own size
// and at twice it.
void ConvertHdrAtShownSize(benchmark::State& state) {
    fixtures::VideoSpec hdr;
    hdr.path = fixtures::fixtureDir() + "/bench-hdr-1080p.mp4";
    hdr.encoder = "libx264";
    hdr.muxer = "mp4";
    hdr.pixelFormat = "yuv420p10le";
    hdr.size = QSize(1920, 1080);
    hdr.frames = 2;
    hdr.colorPrimaries = 9, hdr.colorTransfer = 16, hdr.colorMatrix = 9;
    QString error;
    if (!QFile::exists(hdr.path) && !fixtures::writeVideo(hdr, &error)) {
        state.SkipWithError(error.toStdString().c_str());
        return;
    }
    auto source = openClip(hdr.path, state);
    if (!source) return;
    auto frame = source->frame(1);
    const QSize shown(int(state.range(0)), int(state.range(0)) * 9 / 16);
    for (auto _ : state) benchmark::DoNotOptimize(frame->toImage(shown));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ConvertHdrAtShownSize)->Arg(640)->Arg(1920)->Arg(3840)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
