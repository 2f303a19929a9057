// The real media service playing into a real sound server: a private PulseAudio with a null
// sink, SDL2 on its pulseaudio driver, and parec recording the sink's monitor. The clip plays
// a quiet 1 kHz tone throughout and a loud click of it at every whole second; the frame shown
// at that second (30, 60, ...) is a white flash.
//
// How picture and sound are put on one time line (the steady clock of this process):
//  - picture: the moment the service's surface paints a frame (an event filter on its paint
//    events notes the time and reads the frame's number from its barcode);
//  - sound: parec's samples are read by a thread of their own as they arrive; a piece that
//    arrives at time t and ends with sample n puts sample i at or before t - (n - i) / rate,
//    and the tightest such bound over the next seconds is taken as when i was played.
//    The null sink renders a little ahead of playing (it says by how much: its latency)
//    and hands each block to its monitor as it renders it, so a sample is played that much
//    after the recording has it; the sink's latency, read half way through, is added.
// The offset of a flash is the time its frame was painted minus when its click's onset was
// played. Measured this way, the service on this 2-core machine shows each flash 15 to 25 ms
// after its click, idle or with both cores kept busy; with builds running beside it a few
// flashes come 35 to 45 ms late. The test holds the product's goal, one frame, at the median
// of every ten seconds, and gives single flashes the margin such a machine needs.
#include <gtest/gtest.h>

#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "Barcode.h"
#include "Mci.h"
#include "MediaGenerator.h"
#include "MediaService.h"
#include "Servers.h"
#include "SoundServer.h"
#include "VideoSurface.h"

using namespace desktop;
using Clock = SoundRecorder::Clock;

namespace {

constexpr int kFps = 30;
constexpr int kSeconds = 75;
constexpr double kToneLevel = 0.15;       // of the click's loudness
constexpr float kClickThreshold = 0.12f;  // the click peaks at 0.25, the tone at 0.0375
constexpr float kSilence = 0.004f;
constexpr double kOneFrameMs = 1000.0 / kFps;
// How late a single flash may be painted on a small machine shared with builds, which now and
// then keep the thread that paints waiting (for reasons that are not the clock's).
constexpr double kLatePaintMs = 2 * kOneFrameMs;

QString flashClip() {
    const QString path = fixtures::fixtureDir() + QStringLiteral("/flash-and-click-1.avi");
    if (QFileInfo::exists(path)) return path;
    fixtures::VideoSpec clipSpec;
    clipSpec.path = path;
    clipSpec.container = fixtures::Container::Avi;  // PCM sound: the click's onset is exact
    clipSpec.frames = kSeconds * kFps;
    clipSpec.size = QSize(160, 120);
    clipSpec.withAudio = true;
    clipSpec.toneHz = 1000;  // whole cycles per second, so each click starts at phase 0
    clipSpec.toneLevel = [](double t) {
        const double sinceSecond = t - std::floor(t);
        return t >= 0.5 && sinceSecond < 0.012 ? 1.0 : kToneLevel;
    };
    clipSpec.draw = [](int n, QSize size) {
        QImage image = fixtures::drawFrame(n, size);
        if (n > 0 && n % kFps == 0) {  // the flash: the field under the barcode turns white
            QPainter painter(&image);
            painter.fillRect(QRect(0, size.height() / 3 + 1, size.width(), size.height()),
                             Qt::white);
        }
        return image;
    };
    QString error;
    EXPECT_TRUE(fixtures::writeVideo(clipSpec, &error)) << error.toStdString();
    return path;
}

// Notes when the surface paints which frame.
class PaintLog : public QObject {
public:
    struct Paint {
        Clock::time_point at;
        int frame;
    };
    std::vector<Paint> paints;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            const auto* surface = static_cast<mci::VideoSurface*>(watched);
            const int frame = fixtures::readFrameNumber(surface->image());
            if (frame >= 0 && (paints.empty() || paints.back().frame != frame))
                paints.push_back({Clock::now(), frame});
        }
        return false;
    }
    std::optional<Clock::time_point> paintOf(int frame, Clock::time_point after) const {
        for (const Paint& p : paints)
            if (p.frame == frame && p.at >= after) return p.at;
        return std::nullopt;
    }
    int last() const { return paints.empty() ? -1 : paints.back().frame; }
};

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

class RealSound : public ::testing::Test {
protected:
    void SetUp() override {
        const QStringList missing = SoundServer::missingPrograms();
        if (!missing.isEmpty())
            GTEST_SKIP() << "no sound server to test with; missing: "
                         << missing.join(' ').toStdString();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        out = outputDir(QStringLiteral("sound/") + QString::fromLatin1(info->name()));
        server = std::make_unique<SoundServer>(out);
        ASSERT_TRUE(server->ready()) << server->why().toStdString();
        server->useInThisProcess();
        m_previousCache = qgetenv("XDG_CACHE_HOME");
        qputenv("XDG_CACHE_HOME", cache.path().toUtf8());
        recorder = std::make_unique<SoundRecorder>(*server);
        ASSERT_TRUE(waitFor([&] { return recorder->sampleCount() > 0; }))
            << "parec records nothing";
        service = std::make_unique<mci::MediaServiceInstaller>();
    }
    void TearDown() override {
        if (id) command(MCI_CLOSE, MCI_WAIT, nullptr);
        service.reset();
        recorder.reset();
        server.reset();
        if (!m_previousCache.isNull()) qputenv("XDG_CACHE_HOME", m_previousCache);
    }

    MCIERROR command(UINT message, DWORD flags, void* parms) {
        MCI_GENERIC_PARMS none;
        return mciSendCommandA(id, message, flags, DWORD_PTR(parms ? parms : &none));
    }
    void open(const QString& path) {
        const QByteArray name = path.toUtf8();
        MCI_OPEN_PARMS parms;
        parms.lpstrElementName = name.constData();
        ASSERT_EQ(mciSendCommandA(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_ELEMENT, DWORD_PTR(&parms)), 0u);
        id = parms.wDeviceID;
        window.resize(200, 160);
        window.show();
        MCI_DGV_WINDOW_PARMS attach;
        attach.hWnd = &window;
        ASSERT_EQ(command(MCI_WINDOW, MCI_WAIT | MCI_DGV_WINDOW_HWND, &attach), 0u);
        auto* surface = window.findChild<mci::VideoSurface*>();
        ASSERT_NE(surface, nullptr);
        surface->installEventFilter(&log);
    }
    void seek(int frame) {
        MCI_SEEK_PARMS parms;
        parms.dwTo = DWORD(frame);
        ASSERT_EQ(command(MCI_SEEK, MCI_WAIT | MCI_TO, &parms), 0u);
    }
    int position() {
        MCI_STATUS_PARMS parms;
        parms.dwItem = MCI_STATUS_POSITION;
        EXPECT_EQ(command(MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, &parms), 0u);
        return int(parms.dwReturn);
    }
    bool playUntilFrame(int frame) {
        MCI_PLAY_PARMS parms;
        EXPECT_EQ(command(MCI_PLAY, 0, &parms), 0u);
        return waitFrame(frame);
    }
    bool waitFrame(int frame) {
        return waitFor([&] { return log.last() >= frame; }, 60000 + frame * 1000 / kFps, 20);
    }

    // The sample recorded nearest to time t (the recording's own time line).
    std::size_t sampleAt(Clock::time_point t) const {
        const std::size_t count = recorder->sampleCount();
        std::size_t low = 0, high = count;
        while (low + 1 < high) {  // timeOfSample grows with i
            const std::size_t mid = (low + high) / 2;
            (recorder->timeOfSample(mid) <= t ? low : high) = mid;
        }
        return low;
    }
    // Waits until the recording reaches time t.
    void recordUntil(Clock::time_point t) {
        ASSERT_TRUE(waitFor([&] {
            const std::size_t n = recorder->sampleCount();
            return n > 0 && recorder->timeOfSample(n - 1) >= t;
        }));
    }
    float loudest(Clock::time_point from, Clock::time_point to) const {
        const std::vector<float> s = recorder->samples();
        float peak = 0;
        for (std::size_t i = sampleAt(from); i < std::min(sampleAt(to), s.size()); ++i)
            peak = std::max(peak, std::abs(s[i]));
        return peak;
    }
    // The onset of the first click after time `after`, on the steady clock.
    std::optional<Clock::time_point> clickAfter(Clock::time_point after) const {
        const std::vector<float> s = recorder->samples();
        for (std::size_t i = sampleAt(after); i < s.size(); ++i)
            if (std::abs(s[i]) > kClickThreshold) return recorder->timeOfSample(i);
        return std::nullopt;
    }
    // Offset of the flash of `frame` against the click heard nearest to it.
    std::optional<double> offsetMs(int frame, Clock::time_point after) const {
        const auto painted = log.paintOf(frame, after);
        if (!painted) return std::nullopt;
        const auto click = clickAfter(*painted - std::chrono::milliseconds(300));
        if (!click) return std::nullopt;
        return ms(*painted - *click);
    }

    QString out;
    QTemporaryDir cache;
    std::unique_ptr<SoundServer> server;
    std::unique_ptr<SoundRecorder> recorder;
    std::unique_ptr<mci::MediaServiceInstaller> service;
    MCIDEVICEID id = 0;
    QWidget window;
    PaintLog log;

private:
    QByteArray m_previousCache;
};

}  // namespace

TEST_F(RealSound, PlaysSilencesOnPauseAndStopAndResumesWhereSought) {
    ASSERT_NO_FATAL_FAILURE(open(flashClip()));
    QFile report(out + QStringLiteral("/resumes.txt"));
    ASSERT_TRUE(report.open(QIODevice::WriteOnly | QIODevice::Text));

    // Playing: the tone is there all the time.
    const auto started = Clock::now();
    ASSERT_TRUE(playUntilFrame(2 * kFps + 15));
    const auto playing = *log.paintOf(kFps, started);
    recordUntil(playing + std::chrono::seconds(1));
    for (int tenth = 0; tenth < 10; ++tenth) {
        const auto from = playing + std::chrono::milliseconds(100 * tenth);
        EXPECT_GT(loudest(from, from + std::chrono::milliseconds(100)), 0.02f) << "tenth " << tenth;
    }

    // Paused, then stopped: silence (a click would come within every second).
    struct Still {
        UINT message;
        const char* name;
    };
    for (const Still still : {Still{MCI_PAUSE, "paused"}, Still{MCI_STOP, "stopped"}}) {
        ASSERT_EQ(command(still.message, MCI_WAIT, nullptr), 0u) << still.name;
        const auto at = Clock::now();
        const int frame = position();
        recordUntil(at + std::chrono::milliseconds(1600));
        EXPECT_LT(
            loudest(at + std::chrono::milliseconds(150), at + std::chrono::milliseconds(1600)),
            kSilence)
            << still.name;
        EXPECT_EQ(log.last(), frame) << still.name << ": the picture is not the position";

        // Sought to a little before a flash, chosen so that sound going on from the old place
        // would click half a second away from it: the first click heard is that flash's.
        const int flash = (frame / kFps + 3) * kFps;
        int lead = (kFps - frame % kFps + kFps / 2) % kFps;
        if (lead < 5) lead += kFps;
        const int target = flash - lead;
        seek(target);
        const auto resumed = Clock::now();
        ASSERT_TRUE(playUntilFrame(flash + 5)) << still.name;
        recordUntil(resumed + std::chrono::milliseconds(2000));
        // Looked for from a third of a second before the flash: a seek that lands on a whole
        // second (lead of a second or more) has a click of its own at once, and sound from
        // the old place would click half a second before or after.
        const auto firstClick = clickAfter(
            resumed + std::chrono::milliseconds(std::max(lead - kFps / 3, 0) * 1000 / kFps));
        const auto painted = log.paintOf(flash, resumed);
        ASSERT_TRUE(firstClick && painted) << still.name;
        // Well inside the half second that sound from the old place would be off by.
        EXPECT_LE(std::abs(ms(*painted - *firstClick)), 3 * kOneFrameMs) << still.name;
        report.write(QStringLiteral("after %1 and a seek to %2: flash %3 offset %4 ms\n")
                         .arg(QLatin1String(still.name))
                         .arg(target)
                         .arg(flash)
                         .arg(ms(*painted - *firstClick), 0, 'f', 1)
                         .toUtf8());
    }
}

TEST_F(RealSound, PictureAndSoundStayWithinOneFrameOverSixtySeconds) {
    ASSERT_NO_FATAL_FAILURE(open(flashClip()));
    QFile report(out + QStringLiteral("/offsets.txt"));
    ASSERT_TRUE(report.open(QIODevice::WriteOnly | QIODevice::Text));
    const auto runStart = Clock::now();
    ASSERT_TRUE(playUntilFrame(30 * kFps));
    // What the sink says of itself half way: how far ahead of playing it renders (its monitor
    // hands on each block as it is rendered, so that is how early the recording hears it).
    const CommandResult sinks =
        runCommand(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("sinks")},
                   server->environment());
    double sinkAheadMs = 0;
    static const QRegularExpression latency(QStringLiteral("^\\s*Latency: (\\d+) usec"));
    for (const QByteArray& line : sinks.out.split('\n')) {
        const auto match = latency.match(QString::fromLatin1(line));
        if (!match.hasMatch()) continue;
        sinkAheadMs = match.captured(1).toDouble() / 1000;
        report.write("sink " + line.trimmed() + "\n");
    }
    ASSERT_TRUE(waitFrame(61 * kFps));
    recordUntil(Clock::now());
    std::vector<double> offsets;  // by second; NaN where not measured
    for (int second = 1; second <= 60; ++second) {
        auto offset = offsetMs(second * kFps, runStart);
        if (offset) *offset -= sinkAheadMs;
        report.write(
            offset ? QStringLiteral("%1 s: %2 ms\n").arg(second).arg(*offset, 0, 'f', 1).toUtf8()
                   : QStringLiteral("%1 s: flash not painted or click not heard\n")
                         .arg(second)
                         .toUtf8());
        offsets.push_back(offset.value_or(std::nan("")));
    }
    const auto measured = [&](int first, int count) {
        std::vector<double> some;
        for (int i = first; i < first + count; ++i)
            if (!std::isnan(offsets[i])) some.push_back(offsets[i]);
        return some;
    };
    const auto median = [](std::vector<double> some) {
        std::nth_element(some.begin(), some.begin() + some.size() / 2, some.end());
        return some[some.size() / 2];
    };
    const std::vector<double> all = measured(0, 60);
    ASSERT_GE(all.size(), 54u) << "flashes measured of 60";
    const auto within = [&](double limitMs) {
        return std::count_if(all.begin(), all.end(),
                             [&](double o) { return std::abs(o) <= limitMs; });
    };
    const auto inTime = within(kLatePaintMs);
    report.write(QStringLiteral("median %1 ms; of 60, %2 within one frame, %3 within %4 ms\n")
                     .arg(median(all), 0, 'f', 1)
                     .arg(within(kOneFrameMs))
                     .arg(inTime)
                     .arg(kLatePaintMs, 0, 'f', 1)
                     .toUtf8());
    // One frame at the median of every ten seconds: a late paint now and then moves no median,
    // a steady offset or a drift between picture and sound does.
    for (int first = 0; first < 60; first += 10) {
        const std::vector<double> window = measured(first, 10);
        ASSERT_FALSE(window.empty()) << "no flash measured from " << first + 1 << " s";
        report.write(QStringLiteral("median from %1 s: %2 ms\n")
                         .arg(first + 1)
                         .arg(median(window), 0, 'f', 1)
                         .toUtf8());
        EXPECT_LE(std::abs(median(window)), kOneFrameMs)
            << "median offset (picture after sound) from " << first + 1 << " s to " << first + 10
            << " s, ms; see " << qPrintable(report.fileName());
    }
    EXPECT_GE(inTime, 57) << "flashes within " << kLatePaintMs << " ms of their click, of 60; see "
                          << qPrintable(report.fileName());
}
