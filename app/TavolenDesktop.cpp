#include "TavolenDesktop.h"

#include "TavolenPlay.h"

#include "Application.h"
#include "ScreenSaverInhibitor.h"

#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

QString DroppedFileName(const QMimeData* data) {
    if (!data || !data->hasUrls()) return {};
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return {};
    const QString name = urls.front().toLocalFile();
    // A folder would only earn the "does not exist" message that File > Open gives.
    if (name.isEmpty() || QFileInfo(name).isDir()) return {};
    return name;
}

TFileDrop::TFileDrop(TTavolenForm& form) : QObject(&form), m_form(form) {
    form.setAcceptDrops(true);
    form.installEventFilter(this);
}

bool TFileDrop::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (DroppedFileName(drag->mimeData()).isEmpty())
                drag->ignore();
            else
                drag->acceptProposedAction();
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            const QString name = DroppedFileName(drop->mimeData());
            if (name.isEmpty()) {
                drop->ignore();
                return true;
            }
            drop->acceptProposedAction();
            // The drag source waits until the drop is done, and an open may show a message box or
            // the progress window: it runs once the drop has returned.
            QMetaObject::invokeMethod(
                &m_form, [form = &m_form, name] { fw::guard([&] { form->OpenChosenFile(name); }); },
                Qt::QueuedConnection);
            return true;
        }
        default:
            return QObject::eventFilter(watched, event);
    }
}

void TTavolenForm::ConnectDesktop() {
    new TFileDrop(*this);
    m_screenSaver = std::make_unique<fw::ScreenSaverInhibitor>(QStringLiteral("たぼれん"),
                                                               QStringLiteral("再生中"));
}

void TTavolenForm::KeepScreenAwake() {
    m_screenSaver->setInhibited(MediaPlayer1->OpenDeviceId() != 0 && LastMode == dmPlaying);
}
