#include "OurPlayer.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <chrono>
#include <cmath>

#include "Barcode.h"
#include "PictureBuffers.h"
#include "VideoSurface.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A grid of pixels sampled across the middle of the bars is read, not the band itself: a
// constant cost at any size, cheap enough to run on every frame of playback without weighing
// on the CPU being measured (converting the band of a 4K picture took 8 ms, a quarter of a
// core at 30 fps).
int frameIn(const QImage& image) {
    if (image.isNull()) return -1;
    constexpr int kColumns = 320;  // 16 per bar
    constexpr int kRows = 16;
    const int barHeight = int(std::lround(image.height() * fixtures::kBarcodeHeightShare));
    const int top = barHeight * 3 / 8;
    const int height = barHeight / 4;
    QImage grid(kColumns, kRows, QImage::Format_RGB32);
    for (int row = 0; row < kRows; ++row) {
        const int y = top + height * (2 * row + 1) / (2 * kRows);
        auto* line = reinterpret_cast<QRgb*>(grid.scanLine(row));
        for (int column = 0; column < kColumns; ++column)
            line[column] = image.pixel(image.width() * (2 * column + 1) / (2 * kColumns), y);
    }
    return fixtures::readBarcode(grid, grid.rect());
}

void runEventLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Watches playback: every new picture on the surface is read. A jump of more than one frame
// skipped the ones between; a picture that came more than half a frame period after its pace
// from the one before was late.
class PlaybackWatch {
public:
    PlaybackWatch(const QWidget& window, double fps) : m_window(window), m_periodMs(1000 / fps) {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(2);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { sample(); });
        m_timer.start();
    }
    int skipped() const { return m_skipped; }
    int late() const { return m_late; }
    int shown() const { return m_shown; }

private:
    void sample() {
        const auto* surface = m_window.findChild<mci::VideoSurface*>();
        if (!surface || surface->image().cacheKey() == m_lastKey) return;
        m_lastKey = surface->image().cacheKey();
        const int frame = frameIn(surface->image());
        if (frame < 0) return;
        const auto now = Clock::now();
        if (m_last >= 0 && frame > m_last) {
            m_skipped += frame - m_last - 1;
            const double gapMs = std::chrono::duration<double, std::milli>(now - m_lastAt).count();
            if (gapMs > (frame - m_last + 0.5) * m_periodMs) ++m_late;
        }
        m_last = frame;
        m_lastAt = now;
        ++m_shown;
    }

    const QWidget& m_window;
    const double m_periodMs;
    QTimer m_timer;
    qint64 m_lastKey = 0;
    int m_last = -1;
    Clock::time_point m_lastAt;
    int m_skipped = 0;
    int m_late = 0;
    int m_shown = 0;
};

}  // namespace

OurPlayer::OurPlayer() { m_window.winId(); }

OurPlayer::~OurPlayer() { close(); }

QString OurPlayer::errorText(MCIERROR error) const {
    char text[512] = {};
    mciGetErrorStringA(error, text, sizeof text);
    return QStringLiteral("%1 (%2)").arg(QString::fromUtf8(text)).arg(error);
}

void OurPlayer::take(const Clip& clip, bool forMemory) {
    m_element = QFile::encodeName(clip.clipSpec.path);
    m_fps = clip.fps();
    m_frames = clip.frames();
    if (!forMemory) return;
    // Memory freed by an earlier clip and kept by the allocator, or kept as picture memory for
    // the next file, is given back first, so that what the peak is counted from is what the
    // bench itself holds.
    malloc_trim(0);
    mci::PictureBuffers::giveBackKeptBlocks();
    m_heldKB = residentKB(0);
}

bool OurPlayer::open(const Clip& clip, QString* error) {
    close();
    take(clip);
    const MCIERROR result = openDevice();
    if (result != 0) *error = QStringLiteral("our open: ") + errorText(result);
    return result == 0;
}

// The device component's sequence: open by element, its capabilities, frames as the time
// format, the natural size, then the window and the picture at that size.
MCIERROR OurPlayer::openDevice() {
    MCI_OPEN_PARMS parms;
    parms.lpstrElementName = m_element.constData();
    parms.dwCallback = mciCallbackOf(&m_window);
    if (MCIERROR e = mciSendCommandA(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_ELEMENT, DWORD_PTR(&parms)))
        return e;
    m_id = parms.wDeviceID;
    for (const DWORD item :
         {MCI_GETDEVCAPS_CAN_PLAY, MCI_GETDEVCAPS_CAN_RECORD, MCI_GETDEVCAPS_CAN_EJECT,
          MCI_GETDEVCAPS_HAS_VIDEO, MCI_GETDEVCAPS_DEVICE_TYPE}) {
        MCI_GETDEVCAPS_PARMS caps;
        caps.dwItem = item;
        mciSendCommandA(m_id, MCI_GETDEVCAPS, MCI_WAIT | MCI_GETDEVCAPS_ITEM, DWORD_PTR(&caps));
    }
    MCI_SET_PARMS set;
    set.dwTimeFormat = MCI_FORMAT_FRAMES;
    if (MCIERROR e =
            mciSendCommandA(m_id, MCI_SET, MCI_WAIT | MCI_SET_TIME_FORMAT, DWORD_PTR(&set)))
        return e;
    MCI_DGV_RECT_PARMS where;
    if (MCIERROR e = mciSendCommandA(m_id, MCI_WHERE, MCI_DGV_WHERE_SOURCE, DWORD_PTR(&where)))
        return e;
    m_natural = where.rc;
    return attachWindow();
}

MCIERROR OurPlayer::attachWindow() {
    m_window.resize(m_natural.right, m_natural.bottom);
    MCI_DGV_WINDOW_PARMS window;
    window.hWnd = &m_window;
    if (MCIERROR e =
            mciSendCommandA(m_id, MCI_WINDOW, MCI_WAIT | MCI_DGV_WINDOW_HWND, DWORD_PTR(&window)))
        return e;
    return put(1);
}

// As the zoom does: the picture at a share of its natural size, in the corner of the window.
MCIERROR OurPlayer::put(double scale) {
    MCI_DGV_RECT_PARMS parms;
    parms.rc = RECT{0, 0, LONG(std::lround(m_natural.right * scale)),
                    LONG(std::lround(m_natural.bottom * scale))};
    return mciSendCommandA(m_id, MCI_PUT, MCI_DGV_PUT_DESTINATION | MCI_DGV_RECT,
                           DWORD_PTR(&parms));
}

bool OurPlayer::putPicture(double scale) {
    const MCIERROR result = put(scale);
    QCoreApplication::processEvents();
    if (result != 0) std::fprintf(stderr, "ours: put: %s\n", qPrintable(errorText(result)));
    return result == 0;
}

void OurPlayer::close() {
    if (m_id != 0) {
        MCI_GENERIC_PARMS parms;
        mciSendCommandA(m_id, MCI_CLOSE, MCI_WAIT, DWORD_PTR(&parms));
        m_id = 0;
        QCoreApplication::processEvents();
    }
    if (m_emptyCache) {
        qputenv("XDG_CACHE_HOME", m_keptCache);
        m_emptyCache.reset();
    }
}

int OurPlayer::shownFrame() const {
    const auto* surface = m_window.findChild<mci::VideoSurface*>();
    return surface ? frameIn(surface->image()) : -1;
}

bool OurPlayer::isFrame(int shown, int expected) const {
    return shown == (expected & fixtures::kNumberMask);
}

qint64 OurPlayer::processId() const { return getpid(); }

// The command and one pass of the event loop, as a user interface would run after a click.
Outcome OurPlayer::timed(const std::function<MCIERROR()>& command) {
    Outcome outcome;
    const auto start = Clock::now();
    const MCIERROR result = command();
    QCoreApplication::processEvents();
    outcome.ms = msSince(start);
    outcome.ok = result == 0;
    outcome.frame = shownFrame();
    if (!outcome.ok) std::fprintf(stderr, "ours: %s\n", qPrintable(errorText(result)));
    return outcome;
}

Outcome OurPlayer::seek(int frame) {
    return timed([&] {
        MCI_SEEK_PARMS parms;
        parms.dwTo = DWORD(frame);
        return mciSendCommandA(m_id, MCI_SEEK, MCI_WAIT | MCI_TO, DWORD_PTR(&parms));
    });
}

MCIERROR OurPlayer::step(DWORD direction) {
    MCI_DGV_STEP_PARMS parms;
    parms.dwFrames = 1;
    return mciSendCommandA(m_id, MCI_STEP, MCI_WAIT | MCI_DGV_STEP_FRAMES | direction,
                           DWORD_PTR(&parms));
}

Outcome OurPlayer::stepBack() {
    return timed([&] { return step(MCI_DGV_STEP_REVERSE); });
}

Outcome OurPlayer::stepForward() {
    return timed([&] { return step(0); });
}

void OurPlayer::idle(int ms) { runEventLoop(ms); }

PlayRun OurPlayer::play(double seconds) {
    PlayRun run;
    if (!seek(0).ok) return run;
    const PlaybackWatch watch(m_window, m_fps);
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    MCI_PLAY_PARMS parms;
    if (mciSendCommandA(m_id, MCI_PLAY, 0, DWORD_PTR(&parms)) != 0) return run;
    runEventLoop(int(seconds * 1000));
    const double wall = msSince(start) / 1000;
    const double cpu = cpuSeconds() - cpuBefore;
    MCI_GENERIC_PARMS pause;
    mciSendCommandA(m_id, MCI_PAUSE, MCI_WAIT, DWORD_PTR(&pause));
    run.ok = true;
    run.cpuPerMinute = cpu * 60 / wall;
    run.skipped = watch.skipped();
    run.late = watch.late();
    std::fprintf(stderr, "ours: %d frames shown in %.1f s of playback\n", watch.shown(), wall);
    return run;
}

Outcome OurPlayer::reopen() {
    close();
    return timedOpen();
}

// The index cache is read at every open, so an empty folder named just before makes the file
// new to the service; it stays named until the close, in case the index is kept later.
Outcome OurPlayer::openNew(const Clip& clip) {
    close();
    // A running program keeps the heap its last file freed, as the peer's running process does:
    // given back before each timed open, it would make the open write fresh pages that a user's
    // second open never does. No memory is measured here.
    take(clip, false);
    m_emptyCache = std::make_unique<QTemporaryDir>();
    m_keptCache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", m_emptyCache->path().toUtf8());
    return timedOpen();
}

// From the open command until the first picture is on the surface.
Outcome OurPlayer::timedOpen() {
    Outcome outcome;
    const auto start = Clock::now();
    const MCIERROR result = openDevice();
    if (result != 0) {
        std::fprintf(stderr, "ours: open: %s\n", qPrintable(errorText(result)));
        return outcome;
    }
    const auto* surface = m_window.findChild<mci::VideoSurface*>();
    while ((!surface || surface->image().isNull()) && msSince(start) < 20000) {
        QCoreApplication::processEvents();
        surface = m_window.findChild<mci::VideoSurface*>();
    }
    outcome.ms = msSince(start);
    outcome.frame = shownFrame();
    outcome.ok = surface && !surface->image().isNull();
    return outcome;
}

// With nothing open the allocator gives back what it kept of the clip before, as take() does,
// so that the peak is not that memory's; while a clip is open it is left alone, since the
// pages it would give back are the ones the measure is about to use.
void OurPlayer::resetPeakMemory() {
    if (m_id == 0) {
        malloc_trim(0);
        mci::PictureBuffers::giveBackKeptBlocks();
    }
    m_peakReset = resetPeakResident(0);
}

double OurPlayer::peakMemoryMB() const {
    const qint64 peak = peakResidentKB(0);
    if (!m_peakReset || peak < 0 || m_heldKB < 0) return -1;
    return double(peak - m_heldKB) / 1024;
}

ReadCounts OurPlayer::readCounts() const { return bench::readCounts(0); }

}  // namespace bench
