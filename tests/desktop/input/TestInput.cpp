// A Qt generic plugin for tests, loaded into the real program with
// QT_QPA_GENERIC_PLUGINS=tavolentestinput where no outside input can be injected (headless
// Wayland compositors offer no seat to drive). It reads commands from the program's standard
// input, one a line:
//   click OBJECT X Y   a left click at (X, Y) of the widget named OBJECT, delivered as the
//                      window system would (through the window, to whatever lies under it)
//   trigger OBJECT     the action named OBJECT, as when its menu item is chosen
// Nothing of it is in the product; the program does not know it is there.
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QGenericPlugin>
#include <QSocketNotifier>
#include <QTest>
#include <QWidget>
#include <QWindow>

namespace {

template <typename T>
T* findNamed(const QString& name) {
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->objectName() == name) {
            if (auto* found = qobject_cast<T*>(top)) return found;
        }
        if (auto* found = top->findChild<T*>(name)) return found;
    }
    return nullptr;
}

class CommandReader : public QObject {
public:
    CommandReader() : m_notifier(STDIN_FILENO, QSocketNotifier::Read) {
        connect(&m_notifier, &QSocketNotifier::activated, this, &CommandReader::readLines);
    }

private:
    void readLines() {
        char chunk[512];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) {
            m_notifier.setEnabled(false);
            return;
        }
        m_pending.append(chunk, got);
        for (qsizetype end; (end = m_pending.indexOf('\n')) >= 0;) {
            run(QString::fromUtf8(m_pending.left(end)).split(QLatin1Char(' '), Qt::SkipEmptyParts));
            m_pending.remove(0, end + 1);
        }
    }
    void run(const QStringList& words) {
        if (words.size() == 4 && words[0] == QLatin1String("click")) {
            QWidget* widget = findNamed<QWidget>(words[1]);
            if (!widget || !widget->window()->windowHandle()) return;
            const QPoint at =
                widget->mapTo(widget->window(), QPoint(words[2].toInt(), words[3].toInt()));
            QTest::mouseClick(widget->window()->windowHandle(), Qt::LeftButton, {}, at);
        } else if (words.size() == 2 && words[0] == QLatin1String("trigger")) {
            if (QAction* action = findNamed<QAction>(words[1])) action->trigger();
        }
    }

    QSocketNotifier m_notifier;
    QByteArray m_pending;
};

class TestInputPlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "TestInput.json")
public:
    QObject* create(const QString&, const QString&) override { return new CommandReader; }
};

}  // namespace

#include "TestInput.moc"
