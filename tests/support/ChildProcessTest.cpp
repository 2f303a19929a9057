// The helper that runs test cases in a child process: a fresh process, that neither hangs the
// suite nor stays behind, and that skips where the user nobody cannot work.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <csignal>

#include "ChildProcess.h"
#include "Unprivileged.h"

namespace {

int stateOfTheParent = 0;

TAVOLEN_CHILD_BODY(reportState) {
    if (arguments.at(0) == "hang") {
        QFile file(QString::fromStdString(arguments.at(1)));  // where the parent finds it
        if (file.open(QIODevice::WriteOnly)) file.write(QByteArray::number(::getpid()));
        file.close();
        for (;;) ::pause();
    }
    return std::to_string(stateOfTheParent) + " " + arguments[0] + " " +
           std::to_string(::geteuid());
}

}  // namespace

// Not a copy of the parent, whose other threads' locks a copy would inherit held: nothing of
// the parent's memory crosses, only the arguments and the text.
TEST(ChildProcess, RunsAFreshProcessThatIsKilledAtItsTimeout) {
    stateOfTheParent = 1;
    EXPECT_EQ(runChild("reportState", {"a b"}).said, "0 a b " + std::to_string(::geteuid()));

    QTemporaryDir dir;
    const QString pidFile = dir.filePath("pid");
    ChildOptions options;
    options.timeout = std::chrono::seconds(2);
    EXPECT_EQ(runChild("reportState", {"hang", pidFile.toStdString()}, options).end,
              ChildOutcome::End::TimedOut);
    QFile file(pidFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << "the child never started";
    const pid_t child = pid_t(file.readAll().toLongLong());
    ASSERT_GT(child, 0);
    EXPECT_NE(::kill(child, 0), 0) << "the child is still there";
}

// Under root the child runs as nobody; a folder it cannot enter makes the case skip (nullopt)
// rather than fail on the first file it touches.
TEST(ChildProcess, UnprivilegedRunsAsNobodyAndSkipsWhereNobodyCannotWork) {
    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ExeOther);
    const std::string folder = dir.path().toStdString();
    const auto said = runUnprivileged("reportState", {"x"}, folder);
    if (!said) GTEST_SKIP() << "the user nobody cannot work in " << folder;
    // As root the child is another user; as anyone else, the same one.
    EXPECT_EQ(*said == "0 x " + std::to_string(::geteuid()), ::geteuid() != 0) << *said;
    QFile::setPermissions(dir.path(), {});
    EXPECT_EQ(runUnprivileged("reportState", {"x"}, folder), std::nullopt);
    QFile::setPermissions(dir.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}
