#include "Files.h"

#include <QCoreApplication>
#include <QFile>
#include <sys/stat.h>

namespace fw {

bool fileExists(const QString& path) {
    if (path.isEmpty()) return false;
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) return false;
    return S_ISREG(info.st_mode);
}

QStringList programArguments() {
    QStringList arguments = QCoreApplication::arguments();
    if (!arguments.isEmpty()) arguments.removeFirst();
    return arguments;
}

QString dialogInitialDir(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0) return {};
    // The root keeps its slash; any other folder is named without a trailing one.
    return slash == 0 ? path.left(1) : path.left(slash);
}

QString dialogFileName(const QString& path) {
    return path.mid(path.lastIndexOf(u'/') + 1);
}

}  // namespace fw
