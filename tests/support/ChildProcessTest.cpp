// The helper that runs test cases in a child process: what crosses back, and that a child
// neither hangs the suite nor stays behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <stdexcept>

#include "ChildProcess.h"
#include "Unprivileged.h"

namespace {

int stateOfTheParent = 0;

// Says whether it inherited the parent's memory, and what it was given.
TAVOLEN_CHILD_BODY(reportState) {
    if (arguments.empty()) throw std::runtime_error("no arguments");
    if (arguments[0] == "die") ::raise(SIGKILL);
    std::string said = std::to_string(stateOfTheParent);
    for (const std::string& argument : arguments) said += "|" + argument;
    return said;
}

// Writes its process id into the file named, then never returns.
TAVOLEN_CHILD_BODY(hang) {
    QFile file(QString::fromStdString(arguments.at(0)));
    if (file.open(QIODevice::WriteOnly)) file.write(QByteArray::number(::getpid()));
    file.close();
    for (;;) ::pause();
}

TAVOLEN_CHILD_BODY(effectiveUser) { return std::to_string(::geteuid()); }

}  // namespace

// The child is a fresh process, not a copy of the parent (whose threads' locks a copy would
// inherit held): the parent's state does not cross, only the arguments and the text do.
TEST(ChildProcess, RunsAFreshProcessAndBringsBackItsTextOrHowItEnded) {
    stateOfTheParent = 1;
    const ChildOutcome ran = runChild("reportState", {"a b", ""});
    EXPECT_EQ(ran.end, ChildOutcome::End::Returned);
    EXPECT_EQ(ran.said, "0|a b|");
    EXPECT_EQ(runChild("reportState", {}).said, "no arguments");
    const ChildOutcome killed = runChild("reportState", {"die"});
    EXPECT_EQ(killed.end, ChildOutcome::End::Killed);
    EXPECT_EQ(killed.signal, SIGKILL);
    EXPECT_EQ(runChild("noSuchBody", {}).end, ChildOutcome::End::Failed);
}

TEST(ChildProcess, AChildThatHangsIsKilledAtItsTimeout) {
    QTemporaryDir dir;
    const std::string pidFile = dir.filePath("pid").toStdString();
    ChildOptions options;
    options.timeout = std::chrono::seconds(2);
    const ChildOutcome outcome = runChild("hang", {pidFile}, options);
    EXPECT_EQ(outcome.end, ChildOutcome::End::TimedOut);
    QFile file(QString::fromStdString(pidFile));
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
    const auto said = runUnprivileged("effectiveUser", {}, folder);
    if (!said) GTEST_SKIP() << "the user nobody cannot work in " << folder;
    if (::geteuid() == 0) {
        EXPECT_NE(*said, "0");
    } else {
        EXPECT_EQ(*said, std::to_string(::geteuid()));
    }
    QFile::setPermissions(dir.path(), {});
    EXPECT_EQ(runUnprivileged("effectiveUser", {}, folder), std::nullopt);
    QFile::setPermissions(dir.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}
