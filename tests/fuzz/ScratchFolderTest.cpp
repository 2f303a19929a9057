// The fuzz targets' scratch folder is gone once the run ends, whichever way it ends.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>

TEST(FuzzScratchFolder, IsGoneOnceTheRunEndsHoweverItEnds) {
    // Whatever the run leaves to clean up after it is orphaned when it ends; adopting orphans
    // lets this test reap them (the machine's init may not).
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (const char* how : {"return", "_Exit", "abort", "kill"}) {
        SCOPED_TRACE(how);
        QProcess run;
        run.start(QStringLiteral(TAVOLEN_SCRATCH_CHILD), {QString::fromLatin1(how)});
        ASSERT_TRUE(run.waitForFinished(30000));
        const QString folder = QString::fromLocal8Bit(run.readAllStandardOutput()).trimmed();
        ASSERT_TRUE(folder.contains(QStringLiteral("/tavolen-fuzz-"))) << folder.toStdString();
        const bool gone = QTest::qWaitFor([&] { return !QFileInfo::exists(folder); }, 10000);
        EXPECT_TRUE(gone) << folder.toStdString();
        if (!gone) QDir(folder).removeRecursively();  // not left behind by this test either
        EXPECT_TRUE(QTest::qWaitFor(
            [] { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }, 10000))
            << "a process of the run is still there";
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}
