#include "XDesktop.h"

#include <QMargins>
#include <QRegularExpression>

namespace desktop {

namespace {

// Xvfb writes the display number it chose to this descriptor: no guessing of free numbers.
QString readDisplayNumber(Child& server) {
    QByteArray line;
    waitFor([&] {
        line += server.process().readAllStandardOutput();
        return line.contains('\n') || !server.running();
    });
    return QString::fromLatin1(line.trimmed());
}

}  // namespace

QStringList XDesktop::missingPrograms() {
    QStringList missing;
    for (const char* program : {"Xvfb", "openbox", "xdotool", "xprop", "xwininfo", "import"})
        if (!haveProgram(QString::fromLatin1(program))) missing << QString::fromLatin1(program);
    return missing;
}

XDesktop::XDesktop(const QString& logDir, QSize screen) {
    m_env = QProcessEnvironment::systemEnvironment();
    const QString size = QStringLiteral("%1x%2x24").arg(screen.width()).arg(screen.height());
    m_server = std::make_unique<Child>(
        QStringLiteral("Xvfb"),
        QStringList{QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), size, QStringLiteral("-nolisten"), QStringLiteral("tcp")},
        m_env);
    const QString number = readDisplayNumber(*m_server);
    if (number.isEmpty()) {
        m_why = QStringLiteral("Xvfb did not start");
        return;
    }
    m_env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + number);
    m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    m_env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    m_windowManager = std::make_unique<Child>(QStringLiteral("openbox"),
                                              QStringList{QStringLiteral("--sm-disable")}, m_env,
                                              logDir + QStringLiteral("/openbox.log"));
    // The manager is up once it has claimed the screen's EWMH support window.
    m_ready = waitFor([&] {
        const CommandResult r = runCommand(
            QStringLiteral("xprop"),
            {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")}, m_env);
        return r.exitCode == 0 && r.out.contains("window id") && m_windowManager->running();
    });
    if (!m_ready) m_why = QStringLiteral("openbox did not start: ") + m_windowManager->log();
}

XDesktop::~XDesktop() {
    m_windowManager.reset();
    m_server.reset();
}

bool XDesktop::xdotool(const QStringList& arguments, QByteArray* out) const {
    const CommandResult r = runCommand(QStringLiteral("xdotool"), arguments, m_env);
    if (out) *out = r.out;
    return r.exitCode == 0;
}

QStringList XDesktop::findWindows(const QString& pattern) const {
    QByteArray out;
    xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
             pattern},
            &out);
    return QString::fromLatin1(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QRect XDesktop::geometry(const QString& window) const {
    // xwininfo, not xdotool: xdotool counts the frame's offset twice for a window that the
    // window manager has reparented.
    const CommandResult r =
        runCommand(QStringLiteral("xwininfo"), {QStringLiteral("-id"), window}, m_env);
    if (r.exitCode != 0) return {};
    int values[4] = {0, 0, 0, 0};
    const char* names[4] = {
        "Absolute upper-left X:", "Absolute upper-left Y:", "Width:", "Height:"};
    for (const QByteArray& line : r.out.split('\n'))
        for (int i = 0; i < 4; ++i)
            if (line.trimmed().startsWith(names[i]))
                values[i] = line.trimmed().mid(qstrlen(names[i])).trimmed().toInt();
    return QRect(values[0], values[1], values[2], values[3]);
}

QMargins XDesktop::frameExtents(const QString& window) const {
    const CommandResult r =
        runCommand(QStringLiteral("xprop"),
                   {QStringLiteral("-id"), window, QStringLiteral("_NET_FRAME_EXTENTS")}, m_env);
    static const QRegularExpression numbers(QStringLiteral("= (\\d+), (\\d+), (\\d+), (\\d+)"));
    const auto m = numbers.match(QString::fromLatin1(r.out));
    if (!m.hasMatch()) return {};
    return QMargins(m.captured(1).toInt(), m.captured(3).toInt(), m.captured(2).toInt(),
                    m.captured(4).toInt());
}

QString XDesktop::activeWindow() const {
    QByteArray out;
    xdotool({QStringLiteral("getactivewindow")}, &out);
    return QString::fromLatin1(out.trimmed());
}

bool XDesktop::activate(const QString& window) const {
    return xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), window});
}

// No --sync on the moves: it waits for the pointer to move and so hangs when the pointer is
// already there; the server handles the motion and the button in the order they are sent.
bool XDesktop::click(QPoint at) const {
    return xdotool({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
                    QStringLiteral("click"), QStringLiteral("1")});
}

bool XDesktop::drag(QPoint from, QPoint to) const {
    // In steps, as a hand moves, so the slider sees motion between press and release.
    QStringList arguments{QStringLiteral("mousemove"), QString::number(from.x()),
                          QString::number(from.y()), QStringLiteral("mousedown"),
                          QStringLiteral("1")};
    for (int step = 1; step <= 8; ++step) {
        const QPoint p = from + (to - from) * step / 8;
        arguments << QStringLiteral("sleep") << QStringLiteral("0.05")
                  << QStringLiteral("mousemove") << QString::number(p.x())
                  << QString::number(p.y());
    }
    arguments << QStringLiteral("sleep") << QStringLiteral("0.1") << QStringLiteral("mouseup")
              << QStringLiteral("1");
    return xdotool(arguments);
}

bool XDesktop::key(const QString& keys) const {
    return xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), keys});
}

bool XDesktop::type(const QString& text) const {
    return xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), text});
}

QImage XDesktop::screenshot(const QString& path) const {
    const CommandResult r = runCommand(
        QStringLiteral("import"),
        {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("png:") + path}, m_env);
    if (r.exitCode != 0) return {};
    return QImage(path).convertToFormat(QImage::Format_RGB32);
}

}  // namespace desktop
