// mpv as the peer: paused, no picture output, exact seeks, driven over its JSON IPC. The frame
// it shows is its playback time counted from the file's first frame, in frames.
#pragma once

#include <initializer_list>

#include "MpvConnection.h"
#include "Player.h"

namespace bench {

class PeerPlayer final : public Player {
public:
    bool open(const Clip& clip, QString* error) override;
    void close() override;
    Outcome seek(int frame) override;
    Outcome stepBack() override;
    Outcome stepForward() override;
    void idle(int ms) override;
    PlayRun play(double seconds) override;
    Outcome reopen() override;
    Outcome openNew(const Clip& clip) override;
    bool putPicture(double scale) override;
    void resetPeakMemory() override;
    double peakMemoryMB() const override;
    ReadCounts readCounts() const override;
    qint64 processId() const override { return m_mpv.pid(); }

private:
    bool launch(QString* error);
    void take(const Clip& clip);
    bool load();
    std::optional<double> time();
    int shownFrame();
    Outcome awaitRestart(const QJsonArray& command);
    double cpuSeconds() const;
    int count(std::initializer_list<const char*> properties);  // sum of counters

    MpvConnection m_mpv;
    bool m_started = false;
    bool m_peakReset = false;
    QString m_path;
    double m_fps = 30;
    double m_origin = 0;  // time of the first frame (a program stream may not start at 0)
};

}  // namespace bench
