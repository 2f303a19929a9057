#include "FrameFeeder.h"

#include <cstdlib>

namespace mci {

FrameFeeder::FrameFeeder(PlaybackSource& source, QObject* guard, Reconverted onReconverted)
    : m_source(source), m_guard(guard), m_onReconverted(std::move(onReconverted)),
      m_thread([this] { work(); }) {}

FrameFeeder::~FrameFeeder() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        interruptWarm();
    }
    m_wake.notify_all();
    m_thread.join();
}

std::optional<ShownFrame> FrameFeeder::fetch(int n, QSize size) {
    {
        std::lock_guard lock(m_mutex);
        if (auto shown = takeConverted(n, size)) {
            aimWarm(n, size);
            interruptWarm();
            m_wake.notify_all();
            return shown;
        }
    }
    if (auto cached = m_source.cachedPicture(n)) {
        ShownFrame shown{n, cached->toImage(size), std::move(cached)};
        {
            std::lock_guard lock(m_mutex);
            aimWarm(n, size);
            // Decoding ahead of where the user was is not what the next step needs.
            interruptWarm();
        }
        m_wake.notify_all();
        return shown;
    }
    std::unique_lock lock(m_mutex);
    const quint64 id = ++m_lastFetchId;
    m_fetch = Fetch{id, n, size};
    interruptWarm();
    m_wake.notify_all();
    m_fetched.wait(lock, [&] { return m_fetchResult && m_fetchResult->first == id; });
    auto result = std::move(m_fetchResult->second);
    m_fetchResult.reset();
    return result;
}

void FrameFeeder::startRun(int from, int last, QSize size) {
    {
        std::lock_guard lock(m_mutex);
        ++m_generation;
        m_queue.clear();
        m_runActive = true;
        m_runFailed = false;
        m_runNext = from;
        m_runLast = last;
        m_runSize = size;
        m_warm.reset();
        interruptWarm();
    }
    m_wake.notify_all();
}

void FrameFeeder::haltRun() {
    std::lock_guard lock(m_mutex);
    ++m_generation;
    m_queue.clear();
    m_runActive = false;
}

void FrameFeeder::setRunSize(QSize size) {
    std::lock_guard lock(m_mutex);
    m_runSize = size;
}

FrameFeeder::Due FrameFeeder::takeDue(qint64 t, const std::function<qint64(int)>& startUs) {
    Due due;
    {
        std::lock_guard lock(m_mutex);
        while (!m_queue.empty() && startUs(m_queue.front().frame.number) <= t) {
            due.frame = std::move(m_queue.front().frame);
            m_queue.pop_front();
        }
        if (due.frame) {
            // A step after playing goes from the frame shown; and the run needs the worker.
            m_lastFetched = due.frame->number;
            interruptWarm();
        }
        due.failed = m_runFailed && m_queue.empty();
        due.finished = m_runActive && m_runNext > m_runLast && m_queue.empty();
    }
    m_wake.notify_all();  // room in the queue again
    return due;
}

void FrameFeeder::reconvert(std::shared_ptr<const Picture> picture, QSize size, quint64 token) {
    {
        std::lock_guard lock(m_mutex);
        m_reconvert = Reconvert{std::move(picture), size, token};
        interruptWarm();
    }
    m_wake.notify_all();
}

void FrameFeeder::work() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (!workOnce(lock)) m_wake.wait(lock);
    }
}

bool FrameFeeder::workOnce(std::unique_lock<std::mutex>& lock) {
    if (m_fetch) {
        doFetch(lock);
    } else if (m_reconvert) {
        doReconvert(lock);
    } else if (runWantsFrame()) {
        doRunFrame(lock);
    } else if (runWantsWarming()) {
        doRunWarm(lock);
    } else if (m_warm && !m_runActive) {
        doWarm(lock);
    } else {
        return false;
    }
    return true;
}

bool FrameFeeder::runWantsFrame() const {
    return m_runActive && !m_runFailed && m_runNext <= m_runLast && m_queue.size() < kQueueLimit;
}

// A run through frames kept from stepping back takes them without decoding; the decoder must
// meanwhile reach the first frame after them, or playing stalls there for a keyframe interval.
bool FrameFeeder::runWantsWarming() const {
    return m_runActive && !m_runFailed && m_runNext <= m_runLast && m_runWarmedAt != m_runNext &&
           m_source.cachedPicture(m_runNext) != nullptr;
}

void FrameFeeder::doRunWarm(std::unique_lock<std::mutex>& lock) {
    const int at = m_runNext - 1;
    m_runWarmedAt = m_runNext;
    m_yield = false;
    lock.unlock();
    m_source.prefetch(at, +1, [this] { return m_yield.load(std::memory_order_relaxed); });
    lock.lock();
}

void FrameFeeder::doFetch(std::unique_lock<std::mutex>& lock) {
    const Fetch request = *m_fetch;
    m_fetch.reset();
    lock.unlock();
    std::optional<ShownFrame> shown;
    if (auto picture = m_source.picture(request.number)) {
        shown = ShownFrame{request.number, picture->toImage(request.size), std::move(picture)};
    }
    lock.lock();
    if (shown)
        aimWarm(request.number, request.size);
    else
        dropConverted();  // the file no longer reads: nothing converted from it stands
    m_fetchResult.emplace(request.id, std::move(shown));
    // A fetch moves the source away from where the run was reading; the next run frame seeks
    // back by itself, because the source finds its own way to any frame.
    m_fetched.notify_all();
}

void FrameFeeder::doReconvert(std::unique_lock<std::mutex>& lock) {
    const Reconvert request = std::move(*m_reconvert);
    m_reconvert.reset();
    lock.unlock();
    QImage image = request.picture->toImage(request.size);
    QMetaObject::invokeMethod(
        m_guard,
        [callback = m_onReconverted, token = request.token, image = std::move(image)] {
            callback(token, image);
        },
        Qt::QueuedConnection);
    lock.lock();
}

void FrameFeeder::doRunFrame(std::unique_lock<std::mutex>& lock) {
    const quint64 generation = m_generation;
    const int number = m_runNext;
    const QSize size = m_runSize;
    lock.unlock();
    auto picture = m_source.picture(number);
    QImage image = picture ? picture->toImage(size) : QImage();
    lock.lock();
    if (generation != m_generation) return;  // halted or restarted meanwhile
    if (!picture) {
        m_runFailed = true;
        dropConverted();
        return;
    }
    m_queue.push_back({generation, ShownFrame{number, std::move(image), std::move(picture)}});
    ++m_runNext;
}

void FrameFeeder::doWarm(std::unique_lock<std::mutex>& lock) {
    const Warm warm = *m_warm;
    m_warm.reset();
    m_yield = false;
    lock.unlock();
    const auto stop = [this] { return m_yield.load(std::memory_order_relaxed); };
    // After a jump the user may step either way, so the frame the other way is converted too.
    // Behind a jump back, decoding begins with the frame after it, where the decoder is a
    // picture or two from it: it is taken from there, before the long decoding behind.
    const int other = warm.at - warm.direction;
    if (warm.jumped && warm.direction < 0) {
        if (!m_source.cachedPicture(other))
            m_source.prefetch(warm.at, warm.direction, [&] { return stop() || m_source.cachedPicture(other); });
        if (!stop()) convert(other, warm.size, m_otherWay);
    }
    if (!stop()) m_source.prefetch(warm.at, warm.direction, stop);
    if (!stop()) convert(warm.at + warm.direction, warm.size, m_ahead);
    // The frame before a jump ahead is kept by the jump; the step ahead is likelier, so it first.
    if (warm.jumped && warm.direction > 0 && !stop()) convert(other, warm.size, m_otherWay);
    lock.lock();
    // Given up for a reconversion: carry on afterwards. A fetch or a run sets its own course.
    if (m_yield && !m_warm && !m_fetch && !m_runActive && !m_stop) m_warm = warm;
}

void FrameFeeder::aimWarm(int at, QSize size) {
    m_warm = Warm{at, at < m_lastFetched ? -1 : 1, size, std::abs(at - m_lastFetched) > 1};
    m_lastFetched = at;
    m_otherWay.reset();  // beside an earlier frame
}

std::optional<ShownFrame> FrameFeeder::takeConverted(int n, QSize size) {
    for (auto* slot : {&m_ahead, &m_otherWay}) {
        if (*slot && (*slot)->number == n && (*slot)->image.size() == size) {
            std::optional<ShownFrame> shown = std::move(*slot);
            dropConverted();
            return shown;
        }
    }
    return std::nullopt;
}

void FrameFeeder::convert(int n, QSize size, std::optional<ShownFrame>& into) {
    auto picture = m_source.cachedPicture(n);
    if (!picture) return;
    QImage image = picture->toImage(size);
    std::lock_guard lock(m_mutex);
    if (!m_warm)  // else the user has moved on meanwhile
        into = ShownFrame{n, std::move(image), std::move(picture)};
}

void FrameFeeder::dropConverted() {
    m_ahead.reset();
    m_otherWay.reset();
}

void FrameFeeder::interruptWarm() { m_yield = true; }

}  // namespace mci
