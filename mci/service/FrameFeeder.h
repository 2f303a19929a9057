// The decode worker of one device: the only thread that decodes from the device's source once
// it is open. It serves four kinds of work, in this order of precedence:
//   fetch      one exact frame, converted at a size, for a seek or step (the caller waits);
//   reconvert  the shown picture again at a new size (answered on the UI thread);
//   run        frames from..last in order into a small bounded queue for the presenter; while
//              the queue is full of frames that were kept, decoding ahead of them;
//   warm       while no run plays, decoding ahead of the last fetch in the direction the user
//              travels (the next frame, or the span before the frames kept below a back step),
//              given up the moment any other work arrives; the frame next in line is also
//              converted (after a jump, the one on either side), so that a step onto it
//              costs nothing at all.
// A fetch whose frame the source has decoded already is answered on the caller's thread at
// once, without waiting for the worker.
// Every run has a generation number; halting or restarting a run bumps it, and anything the
// worker finishes for an older generation is dropped.
//
// Threads: public members on the UI thread only. The worker owns the source between the calls
// (only cachedPicture is called from the UI thread); m_mutex guards every field below it but
// m_yield, which the worker reads while decoding ahead. Reconverted pictures reach the UI thread
// through a queued call on the guard object, so they never arrive after the guard is gone.
#pragma once

#include "PlaybackSource.h"

#include <QImage>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace mci {

struct ShownFrame {
    int number = 0;
    QImage image;                            // converted at the size asked for
    std::shared_ptr<const Picture> picture;  // kept for a later size
};

class FrameFeeder {
public:
    using Reconverted = std::function<void(quint64 token, QImage image)>;

    // source outlives the feeder; onReconverted is called on guard's thread.
    FrameFeeder(PlaybackSource& source, QObject* guard, Reconverted onReconverted);
    ~FrameFeeder();  // stops the worker and waits for the frame it is decoding
    FrameFeeder(const FrameFeeder&) = delete;
    FrameFeeder& operator=(const FrameFeeder&) = delete;

    // Decodes exactly frame n and converts it at size; waits. nullopt when unreadable. A run
    // in progress is not disturbed.
    std::optional<ShownFrame> fetch(int n, QSize size);

    void startRun(int from, int last, QSize size);  // drops whatever an earlier run queued
    void haltRun();
    void setRunSize(QSize size);  // frames decoded from now on

    struct Due {
        std::optional<ShownFrame> frame;  // the latest queued frame due at the time asked
        bool finished = false;            // the run has handed over every frame
        bool failed = false;              // the file could not be read further
    };
    // Takes every queued frame that starts at or before t (by startUs); keeps the rest.
    Due takeDue(qint64 t, const std::function<qint64(int)>& startUs);

    // Converts picture at size on the worker; onReconverted(token, image) follows.
    void reconvert(std::shared_ptr<const Picture> picture, QSize size, quint64 token);

private:
    struct Queued {
        quint64 generation;
        ShownFrame frame;
    };
    struct Fetch {
        quint64 id;
        int number;
        QSize size;
    };
    struct Warm {
        int at;
        int direction;
        QSize size;  // of the last fetch: the frame next in line is converted at it
        bool jumped;  // to `at` from further than one frame away
    };
    struct Reconvert {
        std::shared_ptr<const Picture> picture;
        QSize size;
        quint64 token;
    };

    void work();
    bool workOnce(std::unique_lock<std::mutex>& lock);  // false when there was nothing to do
    void doFetch(std::unique_lock<std::mutex>& lock);
    void doReconvert(std::unique_lock<std::mutex>& lock);
    void doRunFrame(std::unique_lock<std::mutex>& lock);
    void doWarm(std::unique_lock<std::mutex>& lock);
    void aimWarm(int at, QSize size);  // m_mutex held
    // Frame n, if the source keeps it, converted at size into one of the slots below; worker,
    // m_mutex not held.
    void convert(int n, QSize size, std::optional<ShownFrame>& into);
    std::optional<ShownFrame> takeConverted(int n, QSize size);  // m_mutex held
    void dropConverted();  // m_mutex held
    void interruptWarm();  // m_mutex held
    bool runWantsFrame() const;
    bool runWantsWarming() const;  // m_mutex held
    void doRunWarm(std::unique_lock<std::mutex>& lock);

    static constexpr size_t kQueueLimit = 4;

    PlaybackSource& m_source;
    QObject* m_guard;  // outlives the feeder (its owner destroys the feeder first)
    Reconverted m_onReconverted;

    std::mutex m_mutex;
    std::condition_variable m_wake;     // the worker waits here for work
    std::condition_variable m_fetched;  // fetch() waits here for its frame
    bool m_stop = false;
    quint64 m_generation = 0;
    bool m_runActive = false;
    bool m_runFailed = false;
    int m_runNext = 0;
    int m_runWarmedAt = -1;  // the run's next frame when the decoder last went ahead of it
    int m_runLast = -1;
    QSize m_runSize;
    std::deque<Queued> m_queue;
    std::optional<Fetch> m_fetch;
    quint64 m_lastFetchId = 0;
    std::optional<std::pair<quint64, std::optional<ShownFrame>>> m_fetchResult;
    std::optional<Reconvert> m_reconvert;
    std::optional<Warm> m_warm;
    std::optional<ShownFrame> m_ahead;  // the frame next in the direction of travel, converted
    std::optional<ShownFrame> m_otherWay;  // after a jump, the frame next the other way
    int m_lastFetched = 0;
    std::atomic<bool> m_yield{false};  // other work waits: decoding ahead stops

    std::thread m_thread;  // last: started once everything above exists
};

}  // namespace mci
