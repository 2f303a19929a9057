// Every test binary runs inside one QApplication on the offscreen platform; run again as a
// child of a test (ChildProcess.h), it runs only the body asked for.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <cstdlib>

#include "ChildProcess.h"

int main(int argc, char** argv) {
    if (isChildProcess()) return runChildBody(argc, argv);
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (std::getenv("TAVOLEN_TEST_OUTPUT") == nullptr)
        setenv("TAVOLEN_TEST_OUTPUT", TAVOLEN_TEST_OUTPUT_DEFAULT, 1);
    QDir().mkpath(QString::fromLocal8Bit(std::getenv("TAVOLEN_TEST_OUTPUT")));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
