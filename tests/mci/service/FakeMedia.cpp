#include "FakeMedia.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>

namespace servicetest {

namespace {

std::atomic<int> s_uiConversions{0};

class FakePicture final : public mci::Picture {
public:
    explicit FakePicture(int number) : m_number(number) {}
    int number() const override { return m_number; }
    QImage toImage(QSize target) const override {
        if (target.isEmpty()) return {};
        if (QThread::currentThread() == QCoreApplication::instance()->thread()) ++s_uiConversions;
        QImage image(target, QImage::Format_RGB32);
        image.fill(qRgb(m_number & 0xFF, (m_number >> 8) & 0xFF, 0x5A));
        return image;
    }

private:
    int m_number;
};

class FakeSource final : public mci::PlaybackSource {
public:
    explicit FakeSource(std::shared_ptr<FakeMedia> media) : m_media(std::move(media)) {}
    const mci::MediaInfo& info() const override { return m_media->info; }
    qint64 frameStartUs(int n) const override { return qint64(n) * 1000000 / 30; }
    std::shared_ptr<const mci::Picture> picture(int n) override {
        {
            std::unique_lock lock(m_media->gateMutex);
            m_media->gateChanged.wait(lock, [&] { return m_media->gateOpen; });
        }
        ++m_media->decodes;
        const int unreadable = m_media->unreadableFrom.load();
        if (n < 0 || n >= m_media->info.frameCount || (unreadable >= 0 && n >= unreadable)) {
            return nullptr;
        }
        return std::make_shared<FakePicture>(n);
    }
    std::unique_ptr<mci::AudioStream> openAudio(int, int) override { return nullptr; }
    std::shared_ptr<const mci::Picture> cachedPicture(int n) const override {
        std::lock_guard lock(m_media->aheadMutex);
        return m_media->kept.count(n) ? std::make_shared<FakePicture>(n) : nullptr;
    }
    void prefetch(int at, int direction, const std::function<bool()>& stop) override {
        {
            std::lock_guard lock(m_media->aheadMutex);
            m_media->aheads.emplace_back(at, direction);
            if (direction < 0 && m_media->backDecodesNextFirst) m_media->kept.insert(at + 1);
        }
        if (QTest::qWaitFor(stop, 10000)) ++m_media->aheadsStopped;
    }

private:
    std::shared_ptr<FakeMedia> m_media;
};

}  // namespace

int uiConversions() { return s_uiConversions; }

std::vector<std::pair<int, int>> FakeMedia::aheadsSoFar() {
    std::lock_guard lock(aheadMutex);
    return aheads;
}

void FakeMedia::setGate(bool open) {
    {
        std::lock_guard lock(gateMutex);
        gateOpen = open;
    }
    gateChanged.notify_all();
}

std::shared_ptr<FakeMedia> videoMedia(int frames, QSize natural) {
    auto media = std::make_shared<FakeMedia>();
    media->info.hasVideo = true;
    media->info.frameCount = frames;
    media->info.naturalSize = natural;
    media->info.durationUs = qint64(frames) * 1000000 / 30;
    return media;
}

std::shared_ptr<FakeMedia> soundMedia(qint64 durationUs) {
    auto media = std::make_shared<FakeMedia>();
    media->info.hasAudio = true;
    media->info.durationUs = durationUs;
    media->info.frameCount = int((durationUs * 30 + 999999) / 1000000);
    return media;
}

int fakeFrameNumber(const QImage& image) {
    if (image.isNull()) return -1;
    const QRgb pixel = image.pixel(0, 0);
    return qRed(pixel) | (qGreen(pixel) << 8);
}

std::vector<WPARAM> NotifySink::codes() const {
    std::vector<WPARAM> result;
    for (const auto& r : received) result.push_back(r.code);
    return result;
}

bool NotifySink::event(QEvent* event) {
    if (event->type() == MciNotifyEvent::eventType()) {
        const auto* notify = static_cast<MciNotifyEvent*>(event);
        received.push_back({notify->wParam, notify->lParam,
                            QThread::currentThread() == QCoreApplication::instance()->thread()});
        return true;
    }
    return QWidget::event(event);
}

FakeService::FakeService() : m_clock(std::make_shared<ManualClock>()) {
    mci::ServiceParts parts;
    parts.openSource = [this](const QString& path, const mci::OpenProgress&) -> mci::SourceOpenResult {
        const auto found = m_files.find(path);
        if (found == m_files.end()) {
            return mci::OpenFailure{MCIERR_FILE_NOT_FOUND, QStringLiteral("ファイルがありません")};
        }
        return std::make_unique<FakeSource>(found->second);
    };
    parts.openAudio = [] { return std::make_unique<mci::NullAudioOutput>(); };
    parts.clock = m_clock;
    m_service = std::make_unique<mci::Service>(std::move(parts));
    m_previous = mciInstallService(m_service.get());
}

FakeService::~FakeService() {
    for (auto& [path, media] : m_files) media->setGate(true);
    mciInstallService(m_previous);
}

void FakeService::addFile(const QString& path, std::shared_ptr<FakeMedia> media) {
    m_files[path] = std::move(media);
}

MCIDEVICEID FakeService::open(const QString& path, MCIERROR* error) {
    const QByteArray name = path.toUtf8();
    MCI_OPEN_PARMS parms;
    parms.lpstrElementName = name.constData();
    const MCIERROR result = mciSendCommandA(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_ELEMENT, DWORD_PTR(&parms));
    if (error) *error = result;
    return result == 0 ? parms.wDeviceID : 0;
}

DWORD FakeService::status(MCIDEVICEID id, DWORD item, DWORD extraFlags) {
    MCI_STATUS_PARMS parms;
    parms.dwItem = item;
    parms.dwReturn = 0xDEADBEEF;
    const MCIERROR error = mciSendCommandA(id, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM | extraFlags, DWORD_PTR(&parms));
    return error == 0 ? DWORD(parms.dwReturn) : 0xFFFFFFFF;
}

MCIERROR FakeService::seek(MCIDEVICEID id, DWORD to) {
    MCI_SEEK_PARMS parms;
    parms.dwTo = to;
    return mciSendCommandA(id, MCI_SEEK, MCI_WAIT | MCI_TO, DWORD_PTR(&parms));
}

MCIERROR FakeService::step(MCIDEVICEID id, int frames) {
    MCI_DGV_STEP_PARMS parms;
    parms.dwFrames = DWORD(std::abs(frames));
    const DWORD flags = MCI_WAIT | MCI_DGV_STEP_FRAMES | (frames < 0 ? MCI_DGV_STEP_REVERSE : 0);
    return mciSendCommandA(id, MCI_STEP, flags, DWORD_PTR(&parms));
}

MCIERROR FakeService::play(MCIDEVICEID id, NotifySink* sink, DWORD flags, DWORD from, DWORD to) {
    MCI_PLAY_PARMS parms;
    parms.dwCallback = sink ? sink->callback() : 0;
    parms.dwFrom = from;
    parms.dwTo = to;
    return mciSendCommandA(id, MCI_PLAY, flags | (sink ? MCI_NOTIFY : 0), DWORD_PTR(&parms));
}

MCIERROR FakeService::command(MCIDEVICEID id, UINT command, DWORD flags, NotifySink* sink) {
    MCI_GENERIC_PARMS parms;
    parms.dwCallback = sink ? sink->callback() : 0;
    return mciSendCommandA(id, command, flags | (sink ? MCI_NOTIFY : 0), DWORD_PTR(&parms));
}

MCIERROR FakeService::setTimeFormat(MCIDEVICEID id, DWORD format) {
    MCI_SET_PARMS parms;
    parms.dwTimeFormat = format;
    return mciSendCommandA(id, MCI_SET, MCI_WAIT | MCI_SET_TIME_FORMAT, DWORD_PTR(&parms));
}

bool FakeService::runClockUntil(const std::function<bool()>& done, qint64 stepUs, int steps) {
    for (int i = 0; i < steps; ++i) {
        if (done()) return true;
        m_clock->advanceUs(stepUs);
        QTest::qWait(2);
    }
    return done();
}

QString errorText(MCIERROR code) {
    char text[4096];
    if (!mciGetErrorStringA(code, text, sizeof text)) return {};
    return QString::fromUtf8(text);
}

}  // namespace servicetest
