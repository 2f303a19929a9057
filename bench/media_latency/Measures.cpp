#include "Measures.h"

#include <sched.h>

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <span>

#include "ContainerScan.h"
#include "ProcessStats.h"
#include "SourceCounters.h"

namespace bench {

namespace {

constexpr int kPauseBeforeStepMs = 50;  // time a player has to work ahead before Step
constexpr int kPauseAfterSeekMs = 30;   // one tick of the player window's monitor
constexpr double kMB = 1024.0 * 1024.0;

using Rows = std::vector<Row>;

// The players in the order they take each target.
struct Sides {
    Player& ours;
    Player* peer;

    template <typename Run>
    void each(Row& row, Run run) const {
        run(ours, row.ours);
        if (peer) run(*peer, row.peer);
    }
    // For runs that fill several rows at once.
    template <typename Run>
    void each(Run run) const {
        run(ours);
        if (peer) run(*peer);
    }
    Samples& of(Row& row, const Player& player) const {
        return &player == &ours ? row.ours : row.peer;
    }
};

// Random targets, drawn for every clip in one order whichever measures run, so that a measure
// gets the same targets whether it runs alone or with the others.
struct Targets {
    std::vector<int> keys;        // keyframes k with k + 20 inside the clip
    std::vector<int> frames;      // exact seeks
    std::vector<int> holdStarts;  // holding Back
    std::vector<int> forward;     // forward steps
    std::vector<int> laterKeys;   // keyframes after the first: an interval lies before each
    std::vector<int> seekKeys;    // keyframes k with k + 21 inside the clip
};

struct Context {
    const Clip& clip;
    Sides sides;
    const Settings& settings;
    Targets targets;
};

// A request that failed counts as a wrong frame, so no failure passes for a fast answer.
void record(Samples& samples, const Player& player, const Outcome& outcome, int expected) {
    samples.any = true;
    if (!outcome.ok) {
        ++samples.wrong;
        return;
    }
    samples.values.push_back(outcome.ms);
    if (!player.isFrame(outcome.frame, expected)) ++samples.wrong;
}

// A quantity that is not a frame's (memory, bytes), counted when the kernel gave it.
void add(Samples& samples, double value) {
    samples.any = true;
    if (value >= 0) samples.values.push_back(value);
}

// Goes to the frame a measure starts from and returns the frame the player landed on; the
// steps after it are judged from there (a wrong landing is the seek row's to count, and a
// failed one counts against the player here).
std::optional<int> prepare(Player& player, Samples& samples, int frame) {
    samples.any = true;
    const Outcome outcome = player.seek(frame);
    if (outcome.ok && outcome.frame >= 0) return outcome.frame;
    ++samples.wrong;
    return std::nullopt;
}

std::vector<int> randomFrames(std::mt19937& random, int count, int from, int to) {
    std::uniform_int_distribution<int> pick(from, std::max(from, to));
    std::vector<int> frames(static_cast<std::size_t>(count));
    for (int& frame : frames) frame = pick(random);
    return frames;
}

// Keyframes from the first-th on with `after` frames after them inside the clip (fixed GOPs:
// the writer places them every gop).
std::vector<int> keyframes(std::mt19937& random, const Clip& clip, int count, int first,
                           int after) {
    const int gop = clip.gop();
    std::vector<int> keys =
        randomFrames(random, count, first, std::max(first, (clip.frames() - 1 - after) / gop));
    for (int& key : keys) key *= gop;
    return keys;
}

Targets drawTargets(const Clip& clip, const Settings& settings) {
    std::mt19937 random(settings.seed + unsigned(clip.frames()));
    const int last = clip.frames() - 1;
    Targets targets;
    targets.keys = keyframes(random, clip, settings.targets, 0, 20);
    targets.frames = randomFrames(random, settings.targets, 0, last);
    // A back step at 4K takes the peer seconds: one run is enough for the memory it is for.
    const int holdRuns = clip.suite == Suite::Picture ? 1 : settings.holdRuns;
    targets.holdStarts = randomFrames(random, holdRuns, settings.holdSteps, last);
    targets.forward = randomFrames(random, settings.targets, 0, last - 2);
    targets.laterKeys = keyframes(random, clip, settings.targets, 1, 0);
    targets.seekKeys = keyframes(random, clip, settings.targets, 0, 21);
    return targets;
}

Row newRow(const Clip& clip, const QString& measure) {
    Row row;
    row.clip = clip.name;
    row.measure = measure;
    return row;
}

Rows exactSeeks(const Context& c) {
    Row row = newRow(c.clip, "exact seek, random frame");
    for (const int target : c.targets.frames)
        c.sides.each(row, [&](Player& p, Samples& s) { record(s, p, p.seek(target), target); });
    return {row};
}

// From keyframe + 20 one back step, then two more inside the span the first one decoded.
Rows backSteps(const Context& c) {
    Row first = newRow(c.clip, "step back from keyframe+20");
    Row again = newRow(c.clip, "step back again (2nd, 3rd)");
    for (const int keyframe : c.targets.keys) {
        const auto run = [&](Player& p, Samples& firstSamples, Samples& againSamples) {
            const auto landed = prepare(p, firstSamples, keyframe + 20);
            if (!landed) return;
            againSamples.any = true;
            record(firstSamples, p, p.stepBack(), *landed - 1);
            record(againSamples, p, p.stepBack(), *landed - 2);
            record(againSamples, p, p.stepBack(), *landed - 3);
        };
        run(c.sides.ours, first.ours, again.ours);
        if (c.sides.peer) run(*c.sides.peer, first.peer, again.peer);
    }
    return {first, again};
}

// Back pressed again as soon as the frame shows: steps per second over the whole run, and the
// program's peak memory from the landing to the last step.
Rows holdingBack(const Context& c) {
    const int steps = c.settings.holdSteps;
    Row rate = newRow(c.clip, "holding Back, steps/s");
    rate.higherIsBetter = true;
    Row memory = newRow(c.clip, "peak memory MB, holding Back");
    memory.countsFrames = false;
    for (const int start : c.targets.holdStarts) {
        c.sides.each(rate, [&](Player& p, Samples& s) {
            const auto landed = prepare(p, s, start);
            if (!landed) return;
            p.resetPeakMemory();
            double total = 0;
            for (int i = 1; i <= steps; ++i) {
                const Outcome outcome = p.stepBack();
                total += outcome.ms;
                if (!outcome.ok || !p.isFrame(outcome.frame, *landed - i)) ++s.wrong;
            }
            s.values.push_back(steps / (total / 1000));
            add(c.sides.of(memory, p), p.peakMemoryMB());
        });
    }
    return {rate, memory};
}

Rows forwardSteps(const Context& c) {
    Row row = newRow(c.clip, "step forward, paused");
    for (const int target : c.targets.forward) {
        c.sides.each(row, [&](Player& p, Samples& s) {
            const auto landed = prepare(p, s, target);
            if (!landed) return;
            p.idle(kPauseBeforeStepMs);
            record(s, p, p.stepForward(), *landed + 1);
        });
    }
    return {row};
}

double playableSeconds(const Context& c) {
    return std::min(c.settings.playSeconds, c.clip.frames() / c.clip.fps() - 1);
}

// The rows a kind of playback fills, in the order addPlay fills them; `at` names the size.
Rows playRows(const Clip& clip, const QString& at, bool memory) {
    Rows rows{newRow(clip, "CPU s per 60 s of playback" + at),
              newRow(clip, "frames skipped per play" + at),
              newRow(clip, "frames late per play" + at)};
    if (memory) rows.push_back(newRow(clip, "peak memory MB, playing" + at));
    for (Row& row : rows) row.countsFrames = false;
    return rows;
}

// A run that failed leaves no sample.
void addPlay(std::span<Row> rows, const Sides& sides, const Player& player, const PlayRun& run,
             double peakMB = -1) {
    const double values[] = {run.cpuPerMinute, double(run.skipped), double(run.late), peakMB};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Samples& samples = sides.of(rows[i], player);
        samples.any = samples.any || run.ok;
        if (run.ok && values[i] >= 0) samples.values.push_back(values[i]);
    }
}

Rows playback(const Context& c) {
    Rows rows = playRows(c.clip, "", false);
    c.sides.each([&](Player& p) { addPlay(rows, c.sides, p, p.play(playableSeconds(c))); });
    return rows;
}

// At the natural size and at the zoom's smallest, a third. Every run starts from a fresh open
// with the peak of memory lowered just before, so that the peak is that run's own: the open,
// the picture put at its size and the playback.
Rows picturePlayback(const Context& c) {
    const struct {
        double scale;
        const char* at;
    } sizes[] = {{1.0, " at 1:1"}, {1.0 / 3, " at 1/3"}};
    Rows rows;
    for (const auto& size : sizes) {
        for (Row& row : playRows(c.clip, QString::fromLatin1(size.at), true))
            rows.push_back(std::move(row));
    }
    const std::size_t perSize = rows.size() / std::size(sizes);
    for (int run = 0; run < c.settings.pictureRuns; ++run) {
        for (std::size_t i = 0; i < std::size(sizes); ++i) {
            const std::span<Row> sized(rows.data() + i * perSize, perSize);
            c.sides.each([&](Player& p) {
                p.close();
                p.resetPeakMemory();
                QString error;
                if (!p.open(c.clip, &error) || !p.putPicture(sizes[i].scale)) {
                    std::fprintf(stderr, "%s: run left out: %s\n", qPrintable(c.clip.name),
                                 qPrintable(error));
                    return;
                }
                const PlayRun played = p.play(playableSeconds(c));
                addPlay(sized, c.sides, p, played, p.peakMemoryMB());
            });
        }
    }
    c.sides.each([](Player& p) { p.putPicture(1); });  // as the measures after expect
    return rows;
}

Rows reopens(const Context& c) {
    Row row = newRow(c.clip, "open -> first frame, index cached");
    for (int i = 0; i < c.settings.reopens; ++i)
        c.sides.each(row, [&](Player& p, Samples& s) { record(s, p, p.reopen(), 0); });
    return {row};
}

// Exactly onto a keyframe, then one back step: the whole interval before it must be decoded.
// Each sample starts from a fresh open, so that no picture of that interval is kept from an
// earlier sample.
Rows keyframeBackSteps(const Context& c) {
    Row row = newRow(c.clip, "first back step from a keyframe");
    for (const int keyframe : c.targets.laterKeys) {
        c.sides.each(row, [&](Player& p, Samples& s) {
            p.reopen();
            const auto landed = prepare(p, s, keyframe);
            if (!landed) return;
            record(s, p, p.stepBack(), *landed - 1);
        });
    }
    return {row};
}

// A seek to keyframe + 20, one monitor tick, then Step: the frame after the one just found.
// From a fresh open each time, as above, the seek coming once from the first frame (ahead) and
// once from the last (back): a player that decodes ahead in the direction of the last jump is
// then decoding the wrong way when Step comes.
Rows stepsAfterSeek(const Context& c) {
    Row ahead = newRow(c.clip, "step fwd 30 ms after a seek ahead");
    Row back = newRow(c.clip, "step fwd 30 ms after a seek back");
    const int last = c.clip.frames() - 1;
    for (const int keyframe : c.targets.seekKeys) {
        for (Row* row : {&ahead, &back}) {
            c.sides.each(*row, [&](Player& p, Samples& s) {
                p.reopen();
                if (row == &back && !prepare(p, s, last)) return;
                const auto landed = prepare(p, s, keyframe + 20);
                if (!landed) return;
                p.idle(kPauseAfterSeekMs);
                record(s, p, p.stepForward(), *landed + 1);
            });
        }
    }
    return {ahead, back};
}

// A file never opened before: ours finds an empty index cache each time. Warm, the file has
// just been read through; cold, it has been dropped from the page cache, where the kernel
// lets it be. Each open is closed before the other player's, so neither reads for the other.
Rows neverSeenOpens(const Context& c) {
    const QString& path = c.clip.clipSpec.path;
    Rows rows{newRow(c.clip, "never seen: open -> picture, warm"),
              newRow(c.clip, "  MB read per open, warm"),
              newRow(c.clip, "never seen: open -> picture, cold"),
              newRow(c.clip, "  MB read from disk per open, cold")};
    rows[1].countsFrames = rows[3].countsFrames = false;
    // Our warm open reads the whole file where its container lists no frames: the same reading
    // with nothing done, timed right after that open (the file still cached), shows how much
    // of the open the machine's memory takes.
    Row alone = newRow(c.clip, "  the file read alone, warm");
    alone.countsFrames = false;
    const int parts = mci::partsToScan(QFileInfo(path).size());
    c.sides.each([](Player& p) { p.close(); });
    const bool cold = dropFromPageCache(path);
    if (!cold) {
        std::fprintf(stderr, "%s: no cold opens: the page cache keeps the file\n",
                     qPrintable(c.clip.name));
        rows.resize(2);
    }
    const auto open = [&](Player& p, Row& time, Row& read, bool fromDisk) {
        const ReadCounts before = p.readCounts();
        const Outcome outcome = p.openNew(c.clip);
        const ReadCounts after = p.readCounts();
        p.close();
        record(c.sides.of(time, p), p, outcome, 0);
        const qint64 from = fromDisk ? before.disk : before.chars;
        const qint64 to = fromDisk ? after.disk : after.chars;
        add(c.sides.of(read, p), outcome.ok && from >= 0 && to >= 0 ? (to - from) / kMB : -1);
    };
    for (int i = 0; i < c.settings.reopens; ++i) {
        c.sides.each([&](Player& p) {
            readThrough(path);
            open(p, rows[0], rows[1], false);
            if (&p == &c.sides.ours) add(alone.ours, readThroughInParts(path, parts));
        });
        if (!cold) continue;
        c.sides.each([&](Player& p) {
            dropFromPageCache(path);
            open(p, rows[2], rows[3], true);
        });
    }
    rows.insert(rows.begin() + 2, std::move(alone));
    return rows;
}

// Pictures our decoders gave out for an exact seek, beside the fewest its frame needs: its
// keyframe, the pictures since that others refer to, and itself. Each seek from a fresh open,
// settled, so that no frame comes from an earlier sample's cache; decoding ahead that starts
// as the seek answers may add a picture.
Rows decodedPerSeek(const Context& c) {
    Rows rows{newRow(c.clip, "pictures decoded per seek"), newRow(c.clip, "  fewest the seek needs")};
    for (Row& row : rows) row.countsFrames = false;
    auto opened = mci::Demuxer::open(c.clip.clipSpec.path);
    auto* demuxer = std::get_if<std::unique_ptr<mci::Demuxer>>(&opened);
    std::optional<std::variant<mci::IndexedFile, mci::OpenFailure>> indexed;
    if (demuxer) indexed = mci::indexFile(c.clip.clipSpec.path, *demuxer, {});
    const auto* file = indexed ? std::get_if<mci::IndexedFile>(&*indexed) : nullptr;
    for (const int target : c.targets.frames) {
        if (!file || target >= file->index.frameCount()) break;
        Player& ours = c.sides.ours;
        ours.reopen();
        ours.idle(kPauseBeforeStepMs);
        const int before = mci::decodedFrameCount();
        const Outcome outcome = ours.seek(target);
        add(rows[0].ours, outcome.ok ? mci::decodedFrameCount() - before : -1);
        add(rows[1].ours, file->index.picturesNeededFor(target));
    }
    return rows;
}

// The CPUs the bench was started on (taskset), in order.
std::vector<int> startingCpus() {
    static const std::vector<int> cpus = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        std::vector<int> found;
        if (sched_getaffinity(0, sizeof set, &set) != 0) return found;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &set)) found.push_back(cpu);
        return found;
    }();
    return cpus;
}

// Holds every thread of a process to the first `cores` starting CPUs, as taskset holds a
// program; threads started later inherit it.
void holdToCores(qint64 pid, std::size_t cores) {
    cpu_set_t set;
    CPU_ZERO(&set);
    const std::vector<int> cpus = startingCpus();
    for (std::size_t i = 0; i < std::min(cores, cpus.size()); ++i) CPU_SET(cpus[i], &set);
    const QStringList tasks = QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : tasks) sched_setaffinity(task.toInt(), sizeof set, &set);
}

// Exact seeks and first back steps from a keyframe with both players held to 1, then 2 cores,
// each from a fresh open, so that the decoders start with the threads those cores allow.
Rows onFewCores(const Context& c) {
    Rows rows;
    const std::size_t samples = std::max<std::size_t>(1, c.targets.frames.size() / 2);
    for (std::size_t cores : {1u, 2u}) {
        if (cores > startingCpus().size()) break;
        Row seek = newRow(c.clip, QStringLiteral("exact seek, %1 core(s)").arg(cores));
        Row back = newRow(c.clip, QStringLiteral("first back step from a keyframe, %1 core(s)").arg(cores));
        c.sides.each([&](Player& p) { holdToCores(p.processId(), cores); });
        for (std::size_t i = 0; i < samples && i < c.targets.laterKeys.size(); ++i) {
            const int target = c.targets.frames[i], keyframe = c.targets.laterKeys[i];
            c.sides.each(seek, [&](Player& p, Samples& s) {
                p.reopen();
                record(s, p, p.seek(target), target);
            });
            c.sides.each(back, [&](Player& p, Samples& s) {
                p.reopen();
                const auto landed = prepare(p, s, keyframe);
                if (landed) record(s, p, p.stepBack(), *landed - 1);
            });
        }
        rows.push_back(std::move(seek));
        rows.push_back(std::move(back));
    }
    c.sides.each([&](Player& p) {
        holdToCores(p.processId(), startingCpus().size());
        p.reopen();
    });
    return rows;
}

// One list for every suite, in the order the rows are printed. Measures added later come last
// within their suite, so that the ones before run from the same state as they always did.
struct Measure {
    const char* name;
    Suite suite;
    const char* progress;
    Rows (*run)(const Context&);
};

const Measure kMeasures[] = {
    {"seek", Suite::Latency, "exact seeks", exactSeeks},
    {"back", Suite::Latency, "back steps", backSteps},
    {"hold", Suite::Latency, "holding Back", holdingBack},
    {"forward", Suite::Latency, "forward steps", forwardSteps},
    {"play", Suite::Latency, "playback", playback},
    {"reopen", Suite::Latency, "reopens", reopens},
    {"keyframe-back", Suite::Latency, "first back steps from a keyframe", keyframeBackSteps},
    {"seek-step", Suite::Latency, "steps right after a seek", stepsAfterSeek},
    {"decoded", Suite::Latency, "pictures decoded per seek", decodedPerSeek},
    {"cores", Suite::Latency, "seeks and back steps on 1 and 2 cores", onFewCores},
    {"play", Suite::Picture, "playback at two sizes", picturePlayback},
    {"hold", Suite::Picture, "holding Back", holdingBack},
    {"open-new", Suite::Opening, "opens of a never-seen file", neverSeenOpens},
};

}  // namespace

QStringList measureNames() {
    QStringList names;
    for (const Measure& measure : kMeasures) {
        if (!names.contains(measure.name)) names << measure.name;
    }
    return names;
}

std::vector<Row> measureClip(const Clip& clip, Player& ours, Player* peer,
                             const Settings& settings) {
    const Context context{clip, Sides{ours, peer}, settings, drawTargets(clip, settings)};
    std::vector<Row> rows;
    for (const Measure& measure : kMeasures) {
        if (measure.suite != clip.suite) continue;
        if (!settings.measures.isEmpty() && !settings.measures.contains(measure.name)) continue;
        std::fprintf(stderr, "%s: %s\n", qPrintable(clip.name), measure.progress);
        for (Row& row : measure.run(context)) rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace bench
