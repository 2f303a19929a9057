// The media source's costs that the user feels: how fast a file is indexed on open, how fast
// frames come sequentially (playback), how long a random seek takes (the slider, the index
// window), and what converting a picture at the size shown costs.
#include "MediaGenerator.h"
#include "MediaSource.h"

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
    fixtures::VideoSpec spec;
    spec.path = fixtures::fixtureDir() + "/bench-hdr-1080p.mp4";
    spec.encoder = "libx264";
    spec.muxer = "mp4";
    spec.pixelFormat = "yuv420p10le";
    spec.size = QSize(1920, 1080);
    spec.frames = 2;
    spec.colorPrimaries = 9, spec.colorTransfer = 16, spec.colorMatrix = 9;
    QString error;
    if (!QFile::exists(spec.path) && !fixtures::writeVideo(spec, &error)) {
        state.SkipWithError(error.toStdString().c_str());
        return;
    }
    auto source = openClip(spec.path, state);
    if (!source) return;
    auto frame = source->frame(1);
    const QSize shown(int(state.range(0)), int(state.range(0)) * 9 / 16);
    for (auto _ : state) benchmark::DoNotOptimize(frame->toImage(shown));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ConvertHdrAtShownSize)->Arg(640)->Arg(1920)->Arg(3840)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
