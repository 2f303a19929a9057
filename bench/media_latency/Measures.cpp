#include "Measures.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>

namespace bench {

namespace {

constexpr int kPauseBeforeStepMs = 50;  // time a player has to work ahead before Step

// The players in the order they take each target.
struct Sides {
    Player& ours;
    Player* peer;

    template <typename Run>
    void each(Row& row, Run run) const {
        run(ours, row.ours);
        if (peer) run(*peer, row.peer);
    }
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

Row newRow(const Clip& clip, const char* measure) {
    Row row;
    row.clip = clip.name;
    row.measure = QString::fromUtf8(measure);
    return row;
}

Row exactSeeks(const Clip& clip, const Sides& sides, const std::vector<int>& targets) {
    Row row = newRow(clip, "exact seek, random frame");
    for (const int target : targets)
        sides.each(row, [&](Player& p, Samples& s) { record(s, p, p.seek(target), target); });
    return row;
}

// From keyframe + 20 one back step, then two more inside the span the first one decoded.
std::vector<Row> backSteps(const Clip& clip, const Sides& sides,
                           const std::vector<int>& keyframes) {
    Row first = newRow(clip, "step back from keyframe+20");
    Row again = newRow(clip, "step back again (2nd, 3rd)");
    for (const int keyframe : keyframes) {
        const auto run = [&](Player& p, Samples& firstSamples, Samples& againSamples) {
            const auto landed = prepare(p, firstSamples, keyframe + 20);
            if (!landed) return;
            againSamples.any = true;
            record(firstSamples, p, p.stepBack(), *landed - 1);
            record(againSamples, p, p.stepBack(), *landed - 2);
            record(againSamples, p, p.stepBack(), *landed - 3);
        };
        run(sides.ours, first.ours, again.ours);
        if (sides.peer) run(*sides.peer, first.peer, again.peer);
    }
    return {first, again};
}

// Back pressed again as soon as the frame shows: steps per second over the whole run.
Row holdingBack(const Clip& clip, const Sides& sides, const std::vector<int>& starts, int steps) {
    Row row = newRow(clip, "holding Back, steps/s");
    row.higherIsBetter = true;
    for (const int start : starts) {
        sides.each(row, [&](Player& p, Samples& s) {
            const auto landed = prepare(p, s, start);
            if (!landed) return;
            double total = 0;
            for (int i = 1; i <= steps; ++i) {
                const Outcome outcome = p.stepBack();
                total += outcome.ms;
                if (!outcome.ok || !p.isFrame(outcome.frame, *landed - i)) ++s.wrong;
            }
            s.values.push_back(steps / (total / 1000));
        });
    }
    return row;
}

Row forwardSteps(const Clip& clip, const Sides& sides, const std::vector<int>& targets) {
    Row row = newRow(clip, "step forward, paused");
    for (const int target : targets) {
        sides.each(row, [&](Player& p, Samples& s) {
            const auto landed = prepare(p, s, target);
            if (!landed) return;
            p.idle(kPauseBeforeStepMs);
            record(s, p, p.stepForward(), *landed + 1);
        });
    }
    return row;
}

std::vector<Row> playback(const Clip& clip, const Sides& sides, double seconds) {
    const double playable = std::min(seconds, clip.frames() / clip.fps() - 1);
    std::vector<Row> rows{newRow(clip, "CPU s per 60 s of playback"),
                          newRow(clip, "frames skipped per play"),
                          newRow(clip, "frames late per play")};
    for (Row& row : rows) row.countsFrames = false;
    const auto add = [](Samples& samples, bool ok, double value) {
        samples.any = ok;
        if (ok && value >= 0) samples.values.push_back(value);
    };
    sides.each(rows[0], [&](Player& p, Samples&) {
        const PlayRun run = p.play(playable);
        const auto side = [&](Row& row) -> Samples& {
            return &p == &sides.ours ? row.ours : row.peer;
        };
        add(side(rows[0]), run.ok, run.cpuPerMinute);
        add(side(rows[1]), run.ok, run.skipped);
        add(side(rows[2]), run.ok, run.late);
    });
    return rows;
}

Row reopens(const Clip& clip, const Sides& sides, int count) {
    Row row = newRow(clip, "open -> first frame, index cached");
    for (int i = 0; i < count; ++i)
        sides.each(row, [&](Player& p, Samples& s) { record(s, p, p.reopen(), 0); });
    return row;
}

void progress(const Clip& clip, const char* measure) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(clip.name), measure);
}

}  // namespace

std::vector<Row> measureClip(const Clip& clip, Player& ours, Player* peer,
                             const Settings& settings) {
    const Sides sides{ours, peer};
    std::mt19937 random(settings.seed + unsigned(clip.frames()));
    const int last = clip.frames() - 1;
    // Keyframes k with k + 20 inside the clip (fixed GOPs: the writer places them every gop).
    std::vector<int> keys =
        randomFrames(random, settings.targets, 0, std::max(0, (last - 20) / clip.gop()));
    for (int& key : keys) key *= clip.gop();

    std::vector<Row> rows;
    progress(clip, "exact seeks");
    rows.push_back(exactSeeks(clip, sides, randomFrames(random, settings.targets, 0, last)));
    progress(clip, "back steps");
    for (Row& row : backSteps(clip, sides, keys)) rows.push_back(std::move(row));
    progress(clip, "holding Back");
    const auto starts = randomFrames(random, settings.holdRuns, settings.holdSteps, last);
    rows.push_back(holdingBack(clip, sides, starts, settings.holdSteps));
    progress(clip, "forward steps");
    rows.push_back(forwardSteps(clip, sides, randomFrames(random, settings.targets, 0, last - 2)));
    progress(clip, "playback");
    for (Row& row : playback(clip, sides, settings.playSeconds)) rows.push_back(std::move(row));
    progress(clip, "reopens");
    rows.push_back(reopens(clip, sides, settings.reopens));
    return rows;
}

}  // namespace bench
