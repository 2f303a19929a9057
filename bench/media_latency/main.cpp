// media_latency: how long the user waits in the player for a seek, a step, a held Back, an
// open, and what playback costs, on our media service and (when mpv is installed) on mpv,
// interleaved on the same clips and targets. Prints one table; see --help.
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "Clips.h"
#include "Measures.h"
#include "MediaService.h"
#include "MpvConnection.h"
#include "OurPlayer.h"
#include "PeerPlayer.h"
#include "Table.h"

namespace {

constexpr double kMB = 1024.0 * 1024.0;

struct Options {
    QString clipDir;
    QStringList only;
    bool quick = false;
    bool peer = true;
    bench::Settings settings;
};

QStringList clipNames(bench::Selection selection) {
    QStringList names;
    for (const bench::Clip& clip : bench::benchClips())
        if (clip.selection == selection) names << clip.name;
    return names;
}

bool parseOptions(const QApplication& app, Options* options) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Seek, step, open and playback latency of the media service, against mpv.");
    parser.addHelpOption();
    const QCommandLineOption clips("clips", "Folder of the clips, written there once.", "DIR",
                                   "build/bench-clips");
    const QCommandLineOption quick("quick",
                                   "Leave out the ten-minute and 4K clips; fewer targets.");
    const QCommandLineOption noPeer("no-peer", "Measure our service only.");
    const QCommandLineOption play("play-seconds", "Playback per CPU sample (default 20).", "N",
                                  "20");
    const QCommandLineOption only(
        "only",
        QStringLiteral("Run these clips only (comma-separated): %1; with --quick left out, %2; "
                       "and only when named here (two-hour files, written once, about 400 MB "
                       "each), %3.")
            .arg(clipNames(bench::Selection::Quick).join(", "),
                 clipNames(bench::Selection::Full).join(", "),
                 clipNames(bench::Selection::Named).join(", ")),
        "CLIPS");
    const QCommandLineOption measures(
        "measures",
        QStringLiteral("Run these measures only (comma-separated), where the clip has them: %1.")
            .arg(bench::measureNames().join(", ")),
        "NAMES");
    const QCommandLineOption targets("targets", "Random targets per measure (default 24).", "N");
    parser.addOptions({clips, quick, noPeer, play, only, measures, targets});
    parser.process(app);
    options->clipDir = parser.value(clips);
    options->only = parser.value(only).split(',', Qt::SkipEmptyParts);
    options->settings.measures = parser.value(measures).split(',', Qt::SkipEmptyParts);
    for (const QString& name : options->settings.measures) {
        if (!bench::measureNames().contains(name)) {
            std::fprintf(stderr, "no measure named %s\n", qPrintable(name));
            return false;
        }
    }
    options->quick = parser.isSet(quick);
    options->peer = !parser.isSet(noPeer);
    bool valid = false;
    options->settings.playSeconds = parser.value(play).toDouble(&valid);
    if (!valid || options->settings.playSeconds <= 0) {
        std::fprintf(stderr, "--play-seconds wants a positive number\n");
        return false;
    }
    if (options->quick) {
        options->settings.targets = 10;
        options->settings.holdRuns = 1;
        options->settings.reopens = 3;
        options->settings.pictureRuns = 1;
    }
    if (parser.isSet(targets)) {
        options->settings.targets = parser.value(targets).toInt(&valid);
        if (!valid || options->settings.targets <= 0) {
            std::fprintf(stderr, "--targets wants a positive number\n");
            return false;
        }
    }
    return true;
}

std::vector<bench::Clip> chosenClips(const Options& options) {
    std::vector<bench::Clip> chosen;
    for (const bench::Clip& clip : bench::benchClips()) {
        const bool taken = !options.only.isEmpty()
                               ? options.only.contains(clip.name)
                               : clip.selection == bench::Selection::Quick ||
                                     (clip.selection == bench::Selection::Full && !options.quick);
        if (taken) chosen.push_back(clip);
    }
    return chosen;
}

std::unique_ptr<bench::PeerPlayer> makePeer(const Options& options) {
    if (!options.peer) return nullptr;
    if (!bench::MpvConnection::available()) {
        std::fprintf(stderr, "mpv is not on PATH: measuring our side only\n");
        return nullptr;
    }
    return std::make_unique<bench::PeerPlayer>();
}

// Opens the clip on both players; a peer that fails is left out of this clip's rows.
bool openBoth(const bench::Clip& clip, bench::Player& ours, bench::Player*& peer) {
    QString error;
    if (!ours.open(clip, &error)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(clip.name), qPrintable(error));
        return false;
    }
    if (peer && !peer->open(clip, &error)) {
        std::fprintf(stderr, "%s: peer left out: %s\n", qPrintable(clip.name), qPrintable(error));
        peer = nullptr;
    }
    return true;
}

std::vector<bench::Row> runAll(const Options& options, const std::vector<bench::Clip>& clips,
                               bench::Player* peerPlayer) {
    bench::OurPlayer ours;
    std::vector<bench::Row> rows;
    for (bench::Clip clip : clips) {
        QString error;
        if (!bench::ensureClip(clip, options.clipDir, &error)) {
            std::fprintf(stderr, "%s: cannot write: %s\n", qPrintable(clip.name),
                         qPrintable(error));
            continue;
        }
        bench::Player* peer = peerPlayer;
        if (!openBoth(clip, ours, peer)) continue;
        for (bench::Row& row : bench::measureClip(clip, ours, peer, options.settings))
            rows.push_back(std::move(row));
        ours.close();
        if (peer) peer->close();
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    Options options;
    if (!parseOptions(app, &options)) return 2;
    const std::vector<bench::Clip> clips = chosenClips(options);
    if (clips.size() < std::size_t(options.only.size()) || clips.empty()) {
        std::fprintf(stderr, "no clip named so among %s\n", qPrintable(options.only.join(", ")));
        return 2;
    }
    // The service's index cache of these clips lives beside them, apart from the user's.
    if (qEnvironmentVariableIsEmpty("XDG_CACHE_HOME"))
        qputenv("XDG_CACHE_HOME", QDir(options.clipDir).absoluteFilePath("cache").toUtf8());

    const std::unique_ptr<bench::PeerPlayer> peer = makePeer(options);
    std::vector<bench::Row> rows;
    {
        const mci::MediaServiceInstaller service;
        rows = runAll(options, clips, peer.get());
    }
    bench::printTable(rows, peer != nullptr, stdout);
    const bool memoryRows = std::any_of(rows.begin(), rows.end(), [](const bench::Row& row) {
        return row.measure.startsWith("peak memory");
    });
    if (!memoryRows) return rows.empty() ? 1 : 0;
    // What holding Back may hold: the decoded-picture budget of the whole program, the lesser
    // of 1 GiB and an eighth of memory, plus 300 MB for everything else.
    const double memoryMB = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGESIZE)) / kMB;
    std::printf("Holding Back may peak at %.0f MB here: the picture budget %.0f MB + 300 MB.\n",
                std::min(1024.0, memoryMB / 8) + 300, std::min(1024.0, memoryMB / 8));
    return rows.empty() ? 1 : 0;
}
