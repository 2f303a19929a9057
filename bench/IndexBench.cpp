// The index: a long index file must load in one go and cost one repaint, and the difference
// display converts entry 0 on every 30 ms tick. Loading a file of short lines is measured for
// time and for the memory it takes at its peak beyond what was in use before (the goal: about
// twice the file's size; a million lines in under half a second and 50 MB).
#include "IndexFile.h"
#include "ListBox.h"

#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <fstream>
#include <malloc.h>
#include <string>

namespace {

// The process's resident size in bytes, now ("VmRSS") or at its peak ("VmHWM").
double residentBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stod(line.substr(line.find(':') + 1)) * 1024;
    return 0;
}

// Gives freed memory back and starts the peak resident size over at the current size. (Memory
// freed but kept by the allocator would be reused unseen and make a load look cheaper.)
void resetPeak() {
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

QByteArray manyLines(int count) {
    QByteArray text;
    text.reserve(qsizetype(count) * 9);
    for (int i = 0; i < count; ++i) text.append(QByteArray::number(i * 7)).append("\r\n", 2);
    return text;
}

void SplitLines(benchmark::State& state) {
    const QByteArray text = manyLines(int(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(SplitIndexLines(text));
    state.SetBytesProcessed(state.iterations() * text.size());
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(SplitLines)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void ConvertEntry(benchmark::State& state) {
    const QByteArray entry = "  1234567";
    for (auto _ : state) benchmark::DoNotOptimize(EntryTextToFrame(entry));
}
BENCHMARK(ConvertEntry);

// Replacing the list's items with a million entries, as loading a large index file does.
void FillListBox(benchmark::State& state) {
    const auto lines = SplitIndexLines(manyLines(int(state.range(0))));
    fw::ListBox list;
    list.resize(105, 201);
    for (auto _ : state) {
        list.beginUpdate();
        list.setItems(lines);
        list.endUpdate();
        list.clear();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(FillListBox)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// Loading an index file of short lines (7 digits and CR LF as recorded frame numbers are, or
// a single digit) into
// the index window's list, as the player window does. Counters: the file's size and the peak memory the load took beyond what
// was resident before it, both in MB, and their ratio.
void LoadIndex(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = dir.filePath("long.idx");
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        const int base = state.range(1) == 1 ? 0 : 1000000;
        const int spread = state.range(1) == 1 ? 10 : 9000000;
        for (int i = 0; i < state.range(0); ++i)
            file.write(QByteArray::number(base + i % spread).append("\r\n", 2));
    }
    const double fileBytes = double(QFile(path).size());
    // A fixed threshold: large blocks come from and go back to the system every time.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    fw::ListBox list;
    list.resize(105, 201);
    double peak = 0;
    for (auto _ : state) {
        resetPeak();
        const double before = residentBytes("VmRSS:");
        list.beginUpdate();
        list.setItems(LoadIndexFile(path));
        list.endUpdate();
        peak = std::max(peak, residentBytes("VmHWM:") - before);
        state.PauseTiming();
        list.clear();
        state.ResumeTiming();
    }
    state.counters["file_MB"] = fileBytes / 1e6;
    state.counters["peak_MB"] = peak / 1e6;
    state.counters["peak_per_file"] = peak / fileBytes;
}
// Arguments: lines, digits per line (7, or 1 for the shortest lines there are).
BENCHMARK(LoadIndex)
    ->Args({1000000, 7})
    ->Args({10000000, 7})
    ->Args({2000000, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
