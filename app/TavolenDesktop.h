// What the player window does for the desktop around it: a media file dropped on the window
// opens as if it had been chosen in File > Open's dialog, and the screen stays awake while the
// device plays.
//
// - A drop is taken only when it carries exactly one local file; a folder, several files, a
//   remote address or anything without an address is refused already while it is dragged, and
//   ignored should it be dropped all the same.
// - The screen is kept awake while a device is open and LastMode is dmPlaying, as the monitor
//   records it; the player window's destruction releases it.
#pragma once

#include <QObject>
#include <QString>

class QMimeData;
class TTavolenForm;

// The one local file a drop carries; empty when it carries anything else.
QString DroppedFileName(const QMimeData* data);

// Watches the player window for drags and drops; the window owns it.
class TFileDrop : public QObject {
public:
    explicit TFileDrop(TTavolenForm& form);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TTavolenForm& m_form;
};
