#include "PeerPlayer.h"

#include <unistd.h>

#include <QFile>
#include <QStringList>
#include <chrono>
#include <cmath>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeoutMs = 30000;
const std::initializer_list<const char*> kDropCounts = {"frame-drop-count",
                                                        "decoder-frame-drop-count"};
const std::initializer_list<const char*> kLateCounts = {"vo-delayed-frame-count"};

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

bool PeerPlayer::launch(QString* error) {
    if (m_started) return true;
    if (!m_mpv.start(error)) return false;
    m_started = true;
    // Forward steps end when the time changes; the changes come as events.
    m_mpv.request({"observe_property", 1, "time-pos"});
    return true;
}

void PeerPlayer::take(const Clip& clip) {
    m_path = clip.clipSpec.path;
    m_fps = clip.fps();
}

bool PeerPlayer::open(const Clip& clip, QString* error) {
    if (!launch(error)) return false;
    take(clip);
    if (!load()) {
        *error = QStringLiteral("mpv could not load %1").arg(m_path);
        return false;
    }
    m_origin = time().value_or(0);
    return true;
}

bool PeerPlayer::load() {
    m_mpv.drain();
    const int id = m_mpv.send({"loadfile", m_path});
    return m_mpv.waitEvent("start-file", id, kTimeoutMs) &&
           m_mpv.waitEvent("playback-restart", id, kTimeoutMs);
}

void PeerPlayer::close() {
    if (m_started) m_mpv.request({"stop"});
}

std::optional<double> PeerPlayer::time() {
    const auto value = m_mpv.property("time-pos");
    if (!value || !value->isDouble()) return std::nullopt;
    return value->toDouble();
}

int PeerPlayer::shownFrame() {
    const auto now = time();
    return now ? int(std::lround((*now - m_origin) * m_fps)) : -1;
}

// A seek of any kind: mpv announces it, then restarts playback once the frame is decoded.
Outcome PeerPlayer::awaitRestart(const QJsonArray& command) {
    Outcome outcome;
    m_mpv.drain();
    const auto start = Clock::now();
    const int id = m_mpv.send(command);
    outcome.ok = m_mpv.waitEvent("seek", id, kTimeoutMs) &&
                 m_mpv.waitEvent("playback-restart", id, kTimeoutMs);
    outcome.ms = msSince(start);
    outcome.frame = shownFrame();
    return outcome;
}

Outcome PeerPlayer::seek(int frame) {
    // A millisecond early, so that rounding of the frame's time cannot pass over it.
    const double to = std::max(0.0, m_origin + frame / m_fps - 0.001);
    return awaitRestart({"seek", to, "absolute+exact"});
}

Outcome PeerPlayer::stepBack() { return awaitRestart({"frame-back-step"}); }

Outcome PeerPlayer::stepForward() {
    Outcome outcome;
    const auto before = time();
    m_mpv.drain();
    const auto start = Clock::now();
    const int id = m_mpv.send({"frame-step"});
    const auto changed = m_mpv.waitFor(
        [&](const QJsonObject& m) {
            if (m["request_id"].toInt() == id) return m["error"].toString() != "success";
            return m["event"].toString() == "property-change" &&
                   m["name"].toString() == "time-pos" && m["data"].isDouble() &&
                   (!before || m["data"].toDouble() != *before);
        },
        kTimeoutMs);
    outcome.ms = msSince(start);
    outcome.ok = changed && (*changed)["event"].toString() == "property-change";
    outcome.frame = shownFrame();
    return outcome;
}

void PeerPlayer::idle(int ms) { m_mpv.drain(ms); }

double PeerPlayer::cpuSeconds() const {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(m_mpv.pid()));
    if (!stat.open(QIODevice::ReadOnly)) return 0;
    const QByteArray line = stat.readAll();
    // Fields after the command name, which may itself hold spaces: state is the first,
    // utime the 12th and stime the 13th.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

int PeerPlayer::count(std::initializer_list<const char*> properties) {
    int sum = 0;
    for (const char* name : properties) {
        const auto value = m_mpv.property(name);
        if (value && value->isDouble()) sum += value->toInt();
    }
    return sum;
}

PlayRun PeerPlayer::play(double seconds) {
    PlayRun run;
    if (!seek(0).ok) return run;
    const int droppedBefore = count(kDropCounts);
    const int lateBefore = count(kLateCounts);
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    if (!m_mpv.setProperty("pause", false)) return run;
    m_mpv.drain(int(seconds * 1000));
    const double wall = msSince(start) / 1000;
    const double cpu = cpuSeconds() - cpuBefore;
    m_mpv.setProperty("pause", true);
    run.ok = true;
    run.cpuPerMinute = cpu * 60 / wall;
    run.skipped = count(kDropCounts) - droppedBefore;
    run.late = count(kLateCounts) - lateBefore;
    return run;
}

Outcome PeerPlayer::reopen() {
    Outcome outcome;
    m_mpv.request({"stop"});
    const auto start = Clock::now();
    outcome.ok = load();
    outcome.ms = msSince(start);
    outcome.frame = shownFrame();
    return outcome;
}

// mpv keeps nothing about a file from one load to the next.
Outcome PeerPlayer::openNew(const Clip& clip) {
    Outcome outcome;
    QString error;
    if (!launch(&error)) return outcome;
    m_mpv.request({"stop"});
    take(clip);
    const auto start = Clock::now();
    outcome.ok = load();
    outcome.ms = msSince(start);
    m_origin = time().value_or(0);
    outcome.frame = shownFrame();
    return outcome;
}

// With no picture output there is nothing to scale; the peer plays as it would at any size.
bool PeerPlayer::putPicture(double) { return true; }

// Pid 0 would name the bench itself: nothing is counted before mpv runs.
void PeerPlayer::resetPeakMemory() { m_peakReset = m_started && resetPeakResident(m_mpv.pid()); }

double PeerPlayer::peakMemoryMB() const {
    const qint64 peak = m_started ? peakResidentKB(m_mpv.pid()) : -1;
    return m_peakReset && peak >= 0 ? double(peak) / 1024 : -1;
}

ReadCounts PeerPlayer::readCounts() const {
    return m_started ? bench::readCounts(m_mpv.pid()) : ReadCounts{};
}

}  // namespace bench
