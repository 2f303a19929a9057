// Program entry. Placeholder window until the player window lands.
#include "Application.h"

#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QLabel window(QStringLiteral("たぼれん"));
    window.setWindowTitle(QStringLiteral("たぼれん"));
    window.resize(384, 136);
    window.show();
    return app.exec();
}
