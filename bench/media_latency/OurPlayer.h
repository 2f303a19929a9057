// Our media service driven the way the media device component drives it: commands through
// mciSendCommandA only, a window attached with MCI_WINDOW and the picture put at its natural
// size. The frame shown is read from the barcode on the device's VideoSurface.
#pragma once

#include <QByteArray>
#include <QTemporaryDir>
#include <QWidget>
#include <functional>
#include <memory>

#include "Mci.h"
#include "Player.h"

namespace bench {

class OurPlayer final : public Player {
public:
    OurPlayer();  // needs the service installed (MediaServiceInstaller) for its lifetime
    ~OurPlayer() override;

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
    bool isFrame(int shown, int expected) const override;
    qint64 processId() const override;

private:
    void take(const Clip& clip, bool forMemory = true);
    MCIERROR openDevice();
    Outcome timedOpen();
    MCIERROR attachWindow();
    MCIERROR put(double scale);
    MCIERROR step(DWORD direction);
    Outcome timed(const std::function<MCIERROR()>& command);
    int shownFrame() const;
    QString errorText(MCIERROR error) const;

    QWidget m_window;  // created but never shown, as a window behind another would be
    QByteArray m_element;
    double m_fps = 30;
    int m_frames = 0;
    MCIDEVICEID m_id = 0;
    RECT m_natural;
    qint64 m_heldKB = 0;  // resident before the last open: the bench, not the service
    bool m_peakReset = false;
    // While a file is open as never seen: the empty index cache it was opened with, and the
    // cache folder to go back to when it is closed.
    std::unique_ptr<QTemporaryDir> m_emptyCache;
    QByteArray m_keptCache;
};

}  // namespace bench
