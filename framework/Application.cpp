#include "Application.h"

#include "Modal.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace fw {

QString Application::titleFromPath(const QString& executable) {
    QString name = QFileInfo(executable).fileName();
    const int dot = name.indexOf(u'.');
    if (dot >= 0) name.truncate(dot);
    if (name.size() > 1) name = name.left(1) + name.mid(1).toLower();
    return name;
}

QString Application::title() {
    QString path = QCoreApplication::applicationFilePath();
    if (path.isEmpty() && !QCoreApplication::arguments().isEmpty())
        path = QCoreApplication::arguments().constFirst();
    return titleFromPath(path);
}

QString Application::errorText(const QString& message) {
    if (!message.isEmpty() && message.back() > u'.') return message + u'.';
    return message;
}

void Application::showException(const std::exception& error) {
    modalHost().showBox(BoxKind::Error, title(), errorText(QString::fromUtf8(error.what())));
}

void Application::showMessage(const QString& text) {
    modalHost().showBox(BoxKind::Message, title(), text);
}

}  // namespace fw
