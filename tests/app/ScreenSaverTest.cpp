// The screen stays awake while the player plays: the inhibitor against a fake freedesktop
// ScreenSaver service on a session bus of the test's own, and the player window driving it.
// This binary has its own main, which starts that bus before anything can reach for the
// session bus and stops it at the end; the bus never outlives the test process.
#include "PlayerWindowFixture.h"

#include "ScreenSaverInhibitor.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QProcess>
#include <QTimer>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace {

QString busAddress;

// The service as a desktop offers it, recording every call it gets. It can answer a request
// late, as a busy desktop does.
class FakeScreenSaver : public QObject, protected QDBusContext {
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
    int answerDelayMs = 0;

public slots:
    uint Inhibit(const QString& application, const QString& reason) {
        calls << QStringLiteral("Inhibit %1 %2").arg(application, reason);
        held.insert(++m_lastCookie);
        if (answerDelayMs > 0) {
            setDelayedReply(true);
            QTimer::singleShot(
                answerDelayMs, this,
                [this, answer = message().createReply(m_lastCookie)] { m_bus.send(answer); });
        }
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
    // Steps: '+' inhibit, '-' release, 'w' wait for the answer, 'x' destroy the inhibitor.
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
    // A service that answers at once, and one slower than any fixed wait would have allowed.
    for (const int answerDelayMs : {0, 300})
        for (const Case& c : cases) {
            SCOPED_TRACE(c.steps);
            SCOPED_TRACE(answerDelayMs);
            FakeScreenSaver fake;
            fake.answerDelayMs = answerDelayMs;
            auto inhibitor = std::make_unique<fw::ScreenSaverInhibitor>("test", "playing");
            for (const char* step = c.steps; *step; ++step) {
                if (*step == '+') inhibitor->setInhibited(true);
                if (*step == '-') inhibitor->setInhibited(false);
                if (*step == 'w') {
                    EXPECT_TRUE(QTest::qWaitFor([&] { return !inhibitor->awaitingAnswer(); }));
                }
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
    EXPECT_FALSE(noBus.awaitingAnswer());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !noService.awaitingAnswer(); }, 10000));
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

// A private session bus. The daemon is a child of this process that the kernel ends with it,
// however it ends: a daemon that forked away outlived every test that crashed.
struct SessionBus {
    pid_t pid = 0;

    bool start() {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return false;
        const pid_t parent = getpid();
        pid = fork();  // from main, before any thread
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(1);  // the test ended before the line above
            dup2(out[1], STDOUT_FILENO);
            // Quiet: it complains of limits it may not raise.
            dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
            execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address=1",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE* output = pid > 0 ? fdopen(out[0], "r") : nullptr;
        char address[512] = {};
        const bool read = output && std::fgets(address, sizeof address, output);
        output ? fclose(output) : close(out[0]);
        busAddress = QString::fromLocal8Bit(address).trimmed();
        return read && !busAddress.isEmpty();
    }
    ~SessionBus() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

// However a test process ends, its bus ends with it. The process is this binary again, told
// to start its bus, say the daemon's pid and end.
TEST(SessionBus, EndsWithTheTestHoweverTheTestEnds) {
    // The daemon is orphaned when that process ends; adopting orphans lets this test see it end
    // and reap it (the machine's init may not).
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (const char* how : {"abort", "kill"}) {
        SCOPED_TRACE(how);
        QProcess run;
        run.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--end-holding-bus=") + QLatin1String(how)});
        ASSERT_TRUE(run.waitForFinished(30000));
        bool isNumber = false;
        const pid_t daemon = run.readAllStandardOutput().trimmed().toInt(&isNumber);
        ASSERT_TRUE(isNumber && daemon > 0);
        const bool ended =
            QTest::qWaitFor([&] { return waitpid(daemon, nullptr, WNOHANG) == daemon; }, 10000);
        EXPECT_TRUE(ended);
        if (!ended) {  // not left behind by this test either
            kill(daemon, SIGKILL);
            waitpid(daemon, nullptr, 0);
        }
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// The process that the test above ends: it holds a bus, says its pid, and ends as `how` says.
int endHoldingBus(const char* how) {
    SessionBus bus;
    if (!bus.start()) return 1;
    std::printf("%d\n", int(bus.pid));
    std::fflush(stdout);
    const rlimit noCore{0, 0};  // a core file would be left behind as well
    setrlimit(RLIMIT_CORE, &noCore);
    if (std::strcmp(how, "kill") == 0) raise(SIGKILL);
    std::abort();
}

}  // namespace

// Fails the run, without failing the test listing at build time, when there is no bus.
struct NoBus : ::testing::Environment {
    void SetUp() override { FAIL() << "dbus-daemon --session did not start (install dbus-daemon)"; }
};

int main(int argc, char** argv) {
    static const char endFlag[] = "--end-holding-bus=";
    if (argc == 2 && std::strncmp(argv[1], endFlag, std::strlen(endFlag)) == 0)
        return endHoldingBus(argv[1] + std::strlen(endFlag));
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
