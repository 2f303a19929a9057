// The index: a long index file must load in one go and cost one repaint, and the difference
// display converts entry 0 on every 30 ms tick.
#include "IndexFile.h"
#include "ListBox.h"

#include <benchmark/benchmark.h>

namespace {

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
    for (auto _ : state) benchmark::DoNotOptimize(EntryToFrame(entry));
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
