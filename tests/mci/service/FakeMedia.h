// Test doubles for the playing half: a fake media source whose pictures carry their frame
// number in their colour, a manual clock and a recorder of completion messages.
#pragma once

#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "AudioOutput.h"
#include "Clock.h"
#include "Mci.h"
#include "PlaybackSource.h"
#include "Service.h"

namespace servicetest {

// What a fake file is, plus knobs a test turns while the device owns the source.
struct FakeMedia {
    mci::MediaInfo info;
    std::atomic<int> decodes{0};
    std::atomic<int> unreadableFrom{-1};  // frames from here on fail (file truncated)
    // While closed, decoding blocks: shows that status reads never wait for the decoder.
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool gateOpen = true;
    void setGate(bool open);
    // Frames the source holds decoded already, and every request to decode ahead (at,
    // direction). A request waits, as a long span would, until it is told to stop.
    std::mutex aheadMutex;
    std::set<int> kept;
    std::vector<std::pair<int, int>> aheads;
    std::atomic<bool> backDecodesNextFirst{false};  // decoding behind keeps `at + 1` at once
    std::atomic<int> aheadsStopped{0};
    std::vector<std::pair<int, int>> aheadsSoFar();
};

// Fake pictures converted on the UI thread so far, in this process.
int uiConversions();

std::shared_ptr<FakeMedia> videoMedia(int frames, QSize natural = {320, 240});
std::shared_ptr<FakeMedia> soundMedia(qint64 durationUs);

// The frame number a fake picture carries (its top-left pixel); -1 for a null image.
int fakeFrameNumber(const QImage& image);

class ManualClock final : public mci::Clock {
public:
    qint64 nowUs() const override { return m_now.load(); }
    void advanceUs(qint64 us) { m_now += us; }

private:
    std::atomic<qint64> m_now{1000000};
};

// Records every MM_MCINOTIFY that reaches it, with the thread it arrived on.
class NotifySink final : public QWidget {
public:
    struct Received {
        WPARAM code;
        MCIDEVICEID device;
        bool onUiThread;
    };
    std::vector<Received> received;
    std::vector<WPARAM> codes() const;
    DWORD_PTR callback() { return mciCallbackOf(this); }

protected:
    bool event(QEvent* event) override;
};

// A service on fake media and a manual clock, installed for the lifetime of the object.
class FakeService {
public:
    FakeService();
    ~FakeService();

    void addFile(const QString& path, std::shared_ptr<FakeMedia> media);
    mci::Service& service() { return *m_service; }
    ManualClock& clock() { return *m_clock; }

    // Opens path, 0 when refused (the code in *error).
    MCIDEVICEID open(const QString& path, MCIERROR* error = nullptr);
    DWORD status(MCIDEVICEID id, DWORD item, DWORD extraFlags = 0);
    MCIERROR seek(MCIDEVICEID id, DWORD to);
    MCIERROR step(MCIDEVICEID id, int frames);  // negative: back
    MCIERROR play(MCIDEVICEID id, NotifySink* sink, DWORD flags = 0, DWORD from = 0, DWORD to = 0);
    MCIERROR command(MCIDEVICEID id, UINT command, DWORD flags = MCI_WAIT, NotifySink* sink = nullptr);
    MCIERROR setTimeFormat(MCIDEVICEID id, DWORD format);
    // Advances the manual clock in small steps until done() or the limit; true when done.
    bool runClockUntil(const std::function<bool()>& done, qint64 stepUs = 10000, int steps = 2000);

private:
    std::map<QString, std::shared_ptr<FakeMedia>> m_files;
    std::shared_ptr<ManualClock> m_clock;
    std::unique_ptr<mci::Service> m_service;
    MciService* m_previous = nullptr;
};

QString errorText(MCIERROR code);

}  // namespace servicetest
