// Our media service driven the way the media device component drives it: commands through
// mciSendCommandA only, a window attached with MCI_WINDOW and the picture put at its natural
// size. The frame shown is read from the barcode on the device's VideoSurface.
#pragma once

#include <QByteArray>
#include <QWidget>
#include <functional>

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
    bool isFrame(int shown, int expected) const override;

private:
    MCIERROR openDevice();
    MCIERROR attachWindow();
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
};

}  // namespace bench
