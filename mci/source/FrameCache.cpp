#include "FrameCache.h"

#include <QtGlobal>

#include <unistd.h>

#include <algorithm>
#include <vector>

namespace mci {

namespace {

// Every cache alive, for the one in use to find those left idle. Taken before any cache's own
// mutex, never while one is held.
std::mutex& registryMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<FrameCache*>& registry()
{
    static std::vector<FrameCache*> caches;
    return caches;
}

// Counts puts and moves of the user, over all caches: a later mark is a more recent use.
std::atomic<quint64> useClock{0};

}  // namespace

FrameCache::FrameCache(qint64 budgetBytes) : m_budget(std::max<qint64>(budgetBytes, 0))
{
    std::lock_guard lock(registryMutex());
    registry().push_back(this);
}

FrameCache::~FrameCache()
{
    std::lock_guard lock(registryMutex());
    std::erase(registry(), this);
}

void FrameCache::markUsed()
{
    m_lastUse.store(++useClock, std::memory_order_relaxed);
}

qint64 FrameCache::idleBytesBeside() const
{
    std::lock_guard lock(registryMutex());
    const quint64 mine = m_lastUse.load(std::memory_order_relaxed);
    qint64 idle = 0;
    for (const FrameCache* other : registry()) {
        if (other != this && other->m_lastUse.load(std::memory_order_relaxed) < mine)
            idle += other->m_bytes.load(std::memory_order_relaxed);
    }
    return idle;
}

// The least recently used give way first.
void FrameCache::takeFromIdle(qint64 bytes)
{
    std::lock_guard lock(registryMutex());
    const quint64 mine = m_lastUse.load(std::memory_order_relaxed);
    std::vector<FrameCache*> idle;
    for (FrameCache* other : registry()) {
        if (other != this && other->m_lastUse.load(std::memory_order_relaxed) < mine)
            idle.push_back(other);
    }
    std::sort(idle.begin(), idle.end(), [](const FrameCache* a, const FrameCache* b) {
        return a->m_lastUse.load(std::memory_order_relaxed) < b->m_lastUse.load(std::memory_order_relaxed);
    });
    for (FrameCache* other : idle) {
        if (bytes <= 0)
            break;
        bytes -= other->shed(bytes);
    }
}

qint64 FrameCache::shed(qint64 bytes)
{
    std::lock_guard lock(m_mutex);
    const qint64 before = m_bytes;
    while (before - m_bytes < bytes && m_frames.size() > 1) {
        const auto it = victim();
        if (it == m_frames.end())
            break;
        m_bytes -= it->second->bytes();
        m_frames.erase(it);
    }
    return before - m_bytes;
}

qint64 FrameCache::defaultBudget()
{
    constexpr qint64 kMiB = 1024 * 1024;
    qint64 budget = 1024 * kMiB;
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0)
        budget = std::min(budget, qint64(pages) * pageSize / 8);
    bool ok = false;
    const qint64 asked = qEnvironmentVariableIntValue("TAVOLEN_FRAME_CACHE_MB", &ok);
    if (ok && asked >= 0)
        budget = std::min(budget, asked * kMiB);
    return budget;
}

std::shared_ptr<const DecodedFrame> FrameCache::find(int n) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_frames.find(n);
    return it != m_frames.end() ? it->second : nullptr;
}

void FrameCache::put(std::shared_ptr<const DecodedFrame> frame)
{
    if (!frame || m_budget == 0)
        return;
    markUsed();
    qint64 over = 0;
    {
        std::lock_guard lock(m_mutex);
        auto& slot = m_frames[frame->number()];
        if (slot)
            m_bytes -= slot->bytes();
        m_bytes += frame->bytes();
        slot = std::move(frame);
        if (m_direction > 0)
            trimForward();
        over = m_bytes - room();
    }
    if (over > 0)
        takeFromIdle(over);
    std::lock_guard lock(m_mutex);
    evict();
}

void FrameCache::setFocus(int n, int direction)
{
    markUsed();
    std::lock_guard lock(m_mutex);
    m_focus = n;
    m_direction = direction < 0 ? -1 : 1;
    // Playing through kept frames puts none: what lies far behind goes as the user passes.
    if (m_direction > 0)
        trimForward();
}

int FrameCache::cachedRunEnd(int n) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_frames.find(n);
    if (it == m_frames.end())
        return n - 1;
    int end = n;
    for (++it; it != m_frames.end() && it->first == end + 1; ++it)
        ++end;
    return end;
}

int FrameCache::framesThatFit() const
{
    const qint64 yielded = idleBytesBeside();
    std::lock_guard lock(m_mutex);
    if (m_budget == 0)
        return 0;
    constexpr qint64 kMany = 1 << 20;  // for arithmetic on it to stay far from overflow
    if (m_frames.empty())
        return int(kMany);
    const qint64 frameBytes = std::max<qint64>(m_bytes / qint64(m_frames.size()), 1);
    return int(std::clamp<qint64>(room(yielded) / frameBytes, 0, kMany));
}

int FrameCache::cachedRunStart(int n) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_frames.find(n);
    if (it == m_frames.end())
        return n + 1;
    int start = n;
    while (it != m_frames.begin() && std::prev(it)->first == start - 1) {
        --it;
        --start;
    }
    return start;
}

void FrameCache::clear()
{
    std::lock_guard lock(m_mutex);
    m_frames.clear();
    m_bytes = 0;
}

qint64 FrameCache::bytes() const
{
    std::lock_guard lock(m_mutex);
    return m_bytes;
}

int FrameCache::count() const
{
    std::lock_guard lock(m_mutex);
    return int(m_frames.size());
}

void FrameCache::evict()
{
    if (m_direction > 0)
        trimForward();
    const qint64 limit = room();
    while (m_bytes > limit && m_frames.size() > 1) {
        const auto it = victim();
        if (it == m_frames.end())
            return;
        m_bytes -= it->second->bytes();
        m_frames.erase(it);
    }
}

// What the budget leaves this cache: pictures alive elsewhere count against it, those it holds
// itself (also when shown or queued) once, and those idle caches would give up not at all.
qint64 FrameCache::room(qint64 yielded) const
{
    return m_budget - std::max<qint64>(DecodedFrame::bytesAlive() - m_bytes - yielded, 0);
}

// Playing or stepping on, frames far behind are not what the next steps need: keeping only the
// last moments spares the memory, and the allocations of filling it, while playing. Frames far
// ahead were decoded before a jump back (or a loop of repeated playback) and wait in vain.
void FrameCache::trimForward()
{
    auto keep = m_frames.lower_bound(m_focus);
    qint64 behindBytes = 0;
    for (int kept = 0; keep != m_frames.begin(); ++kept) {
        const auto previous = std::prev(keep);
        behindBytes += previous->second->bytes();
        if (previous->first < m_focus - kKeptBehindForward || kept >= kKeptBehindForward
            || behindBytes > kKeptBehindForwardBytes)
            break;
        keep = previous;
    }
    for (auto it = m_frames.begin(); it != keep; ++it)
        m_bytes -= it->second->bytes();
    m_frames.erase(m_frames.begin(), keep);
    const auto far = m_frames.upper_bound(m_focus + kKeptAheadForward);
    for (auto it = far; it != m_frames.end(); ++it)
        m_bytes -= it->second->bytes();
    m_frames.erase(far, m_frames.end());
}

// The frame behind the direction of travel farthest from the focus, else the farthest ahead;
// never the focus itself.
std::map<int, std::shared_ptr<const DecodedFrame>>::iterator FrameCache::victim()
{
    const auto lowest = m_frames.begin();
    const auto highest = std::prev(m_frames.end());
    const bool forward = m_direction > 0;
    const auto behind = forward ? lowest : highest;
    const auto ahead = forward ? highest : lowest;
    const bool behindIsBehind = forward ? behind->first < m_focus : behind->first > m_focus;
    if (behindIsBehind)
        return behind;
    return ahead->first != m_focus ? ahead : m_frames.end();
}

}  // namespace mci
