// Decoded pictures kept for a while, so that stepping back through frames just decoded, or
// forward onto a frame decoded ahead, costs no decoding at all.
//
// Frames stay in the decoder's pixel format (a 1080p picture is about 3 MB). The budget is one for
// the whole program: a cache holds no more than what the budget leaves beside every decoded
// picture alive elsewhere (other devices' caches, pictures queued or shown). When it is full,
// frames lying behind the user's direction of travel go first, the farthest first; then the
// farthest ahead. The frame the user is at always stays.
// Several caches share the budget fairly: the one in use takes room from those used less
// recently (a device left idle), down to the frame each is at, before it gives up its own.
// Travelling forward, it keeps behind the user at most kKeptBehindForward frames and
// kKeptBehindForwardBytes, and ahead nothing beyond kKeptAheadForward (frames decoded before a
// jump back, or in the last loop of a repeating playback).
//
// Threads: any; one mutex guards everything. A cached DecodedFrame is immutable, so a frame
// handed out stays valid after it has been evicted.
#pragma once

#include "MediaSource.h"

#include <QtGlobal>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

namespace mci {

class FrameCache {
public:
    static constexpr int kKeptBehindForward = 90;  // three seconds at 30 frames a second
    static constexpr qint64 kKeptBehindForwardBytes = qint64(96) << 20;  // seven 4K pictures
    static constexpr int kKeptAheadForward = 180;

    explicit FrameCache(qint64 budgetBytes);
    ~FrameCache();
    FrameCache(const FrameCache&) = delete;
    FrameCache& operator=(const FrameCache&) = delete;

    // The lesser of 1 GiB and an eighth of the machine's memory; TAVOLEN_FRAME_CACHE_MB may
    // lower it (0 turns the cache off).
    static qint64 defaultBudget();

    std::shared_ptr<const DecodedFrame> find(int n) const;
    void put(std::shared_ptr<const DecodedFrame> frame);
    // Where the user is and which way they travel (+1 forward, -1 back); eviction follows it.
    void setFocus(int n, int direction);
    // The lowest m such that every frame m..n is cached; n + 1 when n itself is not.
    int cachedRunStart(int n) const;
    // The highest m such that every frame n..m is cached; n - 1 when n itself is not.
    int cachedRunEnd(int n) const;
    // How many frames of the size of those kept fit in what the budget leaves; 0 when the cache
    // is off, a million while nothing is kept.
    int framesThatFit() const;
    void clear();

    qint64 bytes() const;
    int count() const;

private:
    void evict();  // m_mutex held
    void trimForward();  // m_mutex held
    qint64 room(qint64 yielded = 0) const;  // m_mutex held
    std::map<int, std::shared_ptr<const DecodedFrame>>::iterator victim();
    void markUsed();
    // Bytes the caches used less recently than this one hold; asks them to let go of `bytes`.
    // m_mutex not held (they take their own).
    qint64 idleBytesBeside() const;
    void takeFromIdle(qint64 bytes);
    qint64 shed(qint64 bytes);  // evicts up to this much; what went

    const qint64 m_budget;
    mutable std::mutex m_mutex;
    std::map<int, std::shared_ptr<const DecodedFrame>> m_frames;
    std::atomic<qint64> m_bytes{0};  // read by other caches without m_mutex
    std::atomic<quint64> m_lastUse{0};
    int m_focus = 0;
    int m_direction = 1;
};

}  // namespace mci
