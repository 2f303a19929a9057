// A private PulseAudio server with one null sink, for tests that let the product play real
// sound and listen to it: the server runs in its own runtime folder (so it meets no other
// server on the machine), and SoundRecorder records the sink's monitor with parec.
//
// Test thread only, except where said. Destructors stop what they started.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "Servers.h"

namespace desktop {

class SoundServer {
public:
    explicit SoundServer(const QString& logDir);
    ~SoundServer();

    bool ready() const { return m_ready; }
    QString why() const { return m_why; }
    static QStringList missingPrograms();

    // Points this process's sound clients (SDL, libpulse) at this server only.
    void useInThisProcess() const;
    QProcessEnvironment environment() const { return m_env; }
    static constexpr const char* kSink = "tavolen_test";

private:
    RuntimeDir m_runtime;
    QProcessEnvironment m_env;
    std::unique_ptr<Child> m_server;
    bool m_ready = false;
    QString m_why;
};

// Records the sink's monitor as mono 16-bit samples at kRate. A thread of its own reads parec's
// output as it comes and notes when each piece arrived on the steady clock, from which
// timeOfSample() tells when a sample was played.
class SoundRecorder {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kRate = 48000;

    explicit SoundRecorder(const SoundServer& server);
    ~SoundRecorder();

    bool running() const { return m_pid > 0; }
    // Any thread: a copy of what was recorded so far, in amplitude -1 .. 1.
    std::vector<float> samples() const;
    std::size_t sampleCount() const;
    // When sample i was played: each piece that arrived at time t ending with sample n bounds
    // it from above by t - (n - i) / kRate; the tightest bound among the pieces of the next
    // few seconds is taken, so a piece that waited in the pipe does not count.
    Clock::time_point timeOfSample(std::size_t i) const;

private:
    void readLoop(int fd);

    struct Arrival {
        Clock::time_point at;
        std::size_t endSample;
    };
    int m_pid = -1;
    std::thread m_reader;
    mutable std::mutex m_mutex;  // guards the two vectors below
    std::vector<float> m_samples;
    std::vector<Arrival> m_arrivals;
};

}  // namespace desktop
