// File tests and the process's arguments. Paths are QString; they become bytes with
// QFile::encodeName only at the system call, so any name the file system holds works.
#pragma once

#include <QString>
#include <QStringList>

namespace fw {

// True when a regular file (or a link to one) exists under the path; a folder is not a file.
bool fileExists(const QString& path);

// The arguments after the program's name, decoded from the system's encoding.
QStringList programArguments();

// The folder a file dialog starts in for a path: the text up to and including the last "/",
// with that "/" then dropped unless it is the first character. "/v/a.avi" gives "/v",
// "/a.avi" gives "/", "a.avi" gives "".
QString dialogInitialDir(const QString& path);
// The name a file dialog proposes for a path: everything after the last "/".
QString dialogFileName(const QString& path);

}  // namespace fw
