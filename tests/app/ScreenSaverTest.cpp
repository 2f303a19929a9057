// The screen stays awake while the player plays: the inhibitor against a fake freedesktop
// ScreenSaver service on a session bus of the test's own, and the player window driving it.
// This binary has its own main, which starts that bus before anything can reach for the
// session bus and stops it at the end.
#include "PlayerWindowFixture.h"

#include "ScreenSaverInhibitor.h"

#include <QApplication>
#include <QDBusConnection>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace {

QString busAddress;

// The service as a desktop offers it, recording every call it gets.
class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    FakeScreenSaver() : m_bus(QDBusConnection::connectToBus(busAddress, QStringLiteral("fake"))) {
        m_bus.registerObject(QStringLiteral("/org/freedesktop/ScreenSaver"), this,
                             QDBusConnection::ExportAllSlots);
        m_bus.registerService(QStringLiteral("org.freedesktop.ScreenSaver"));
    }
    ~FakeScreenSaver() override { QDBusConnection::disconnectFromBus(QStringLiteral("fake")); }

    QStringList calls;
    std::set<uint> held;

public slots:
    uint Inhibit(const QString& application, const QString& reason) {
        calls << QStringLiteral("Inhibit %1 %2").arg(application, reason);
        held.insert(++m_lastCookie);
        return m_lastCookie;
    }
    void UnInhibit(uint cookie) {
        calls << QStringLiteral("UnInhibit %1").arg(cookie);
        held.erase(cookie);
    }

private:
    QDBusConnection m_bus;
    uint m_lastCookie = 0;
};

// Waits until the service has seen `count` calls, then a little longer, so that a call too
// many shows up as well.
bool settles(const FakeScreenSaver& fake, qsizetype count) {
    const bool reached = QTest::qWaitFor([&] { return fake.calls.size() >= count; }, 5000);
    QTest::qWait(50);
    return reached;
}

TEST(ScreenSaverInhibitor, AsksOnceAndGivesBackWhatItGotWhateverTheOrderOfCalls) {
    // Steps: '+' inhibit, '-' release, 'w' let the replies arrive, 'x' destroy the inhibitor.
    struct Case {
        const char* steps;
        QStringList calls;
    };
    const QString inhibit = QStringLiteral("Inhibit test playing");
    const std::vector<Case> cases{
        {"+w-w", {inhibit, "UnInhibit 1"}},
        {"++w--w+w-", {inhibit, "UnInhibit 1", inhibit, "UnInhibit 2"}},
        {"+-w", {inhibit, "UnInhibit 1"}},  // released before the cookie came
        {"+-+w", {inhibit}},                // wanted again before it came: kept
        {"+x", {inhibit, "UnInhibit 1"}},   // destroyed before it came
        {"+wx", {inhibit, "UnInhibit 1"}},  // destroyed while holding it
        {"-w", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps);
        FakeScreenSaver fake;
        auto inhibitor = std::make_unique<fw::ScreenSaverInhibitor>("test", "playing");
        for (const char* step = c.steps; *step; ++step) {
            if (*step == '+') inhibitor->setInhibited(true);
            if (*step == '-') inhibitor->setInhibited(false);
            if (*step == 'w') QTest::qWait(100);
            if (*step == 'x') inhibitor.reset();
        }
        EXPECT_TRUE(settles(fake, c.calls.size()));
        EXPECT_EQ(fake.calls.join(" | ").toStdString(), c.calls.join(" | ").toStdString());
        const bool wanted = inhibitor && inhibitor->inhibited();
        EXPECT_EQ(!fake.held.empty(), wanted);
        // Given back before this fake goes, so that it cannot reach the next one.
        inhibitor.reset();
        if (wanted) settles(fake, c.calls.size() + 1);
    }
}

TEST(ScreenSaverInhibitor, WithoutBusOrServiceNothingHappens) {
    const auto none =
        QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent"), "none");
    ASSERT_FALSE(none.isConnected());
    fw::ScreenSaverInhibitor noBus("test", "playing", none), noService("test", "playing");
    noBus.setInhibited(true);
    noService.setInhibited(true);  // the bus, but nobody on it answers
    QTest::qWait(200);
    noService.setInhibited(false);
    FakeScreenSaver fake;  // a service that comes later is not asked after the fact
    EXPECT_FALSE(settles(fake, 1));
}

// The player window keeps the screen awake exactly while its device plays.
class PlayerKeepsAwake : public PlayerWindow {
protected:
    FakeScreenSaver fake;

    void tick() {
        form->Timer1Timer(form->Timer1);
        form->Timer1Timer(form->Timer1);
    }
    bool held(qsizetype calls) { return settles(fake, calls) && !fake.held.empty(); }
};

TEST_F(PlayerKeepsAwake, WhilePlayingOnlyAndReleasedOnPauseStopAndExit) {
    const QString inhibit = QStringLiteral("Inhibit たぼれん 再生中");
    playing();
    tick();
    EXPECT_TRUE(held(1));

    form->FormClick(form.get());  // a click on the picture pauses
    tick();
    EXPECT_FALSE(held(2));

    form->MediaPlayer1->Play();
    tick();
    EXPECT_TRUE(held(3));

    form->isRepeat->setChecked(false);
    mci.device.mode = MCI_MODE_STOP;  // the end of the file
    tick();
    EXPECT_FALSE(held(4));

    form->MediaPlayer1->Play();
    tick();
    EXPECT_TRUE(held(5));
    form.reset();  // the program ends
    EXPECT_FALSE(held(6));

    const QStringList expected{inhibit,       "UnInhibit 1", inhibit,
                               "UnInhibit 2", inhibit,       "UnInhibit 3"};
    EXPECT_EQ(fake.calls.join(" | ").toStdString(), expected.join(" | ").toStdString());
    EXPECT_TRUE(errors().empty());
}

// Starts a private session bus; the daemon forks, so its pid is read from its output.
struct SessionBus {
    pid_t pid = 0;

    bool start() {
        FILE* out = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        if (!out) return false;
        char address[512] = {}, pidText[32] = {};
        const bool read =
            std::fgets(address, sizeof address, out) && std::fgets(pidText, sizeof pidText, out);
        pclose(out);
        if (!read) return false;
        busAddress = QString::fromLocal8Bit(address).trimmed();
        pid = pid_t(std::atoi(pidText));
        return pid > 0 && !busAddress.isEmpty();
    }
    ~SessionBus() {
        if (pid > 0) kill(pid, SIGTERM);
    }
};

}  // namespace

// Fails the run, without failing the test listing at build time, when there is no bus.
struct NoBus : ::testing::Environment {
    void SetUp() override { FAIL() << "dbus-daemon --session did not start (install dbus-daemon)"; }
};

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    SessionBus bus;
    const bool started = bus.start();
    if (started) setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.toLocal8Bit().constData(), 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    if (!started) ::testing::AddGlobalTestEnvironment(new NoBus);
    return RUN_ALL_TESTS();
}

#include "ScreenSaverTest.moc"
