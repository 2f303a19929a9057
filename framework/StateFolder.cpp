#include "StateFolder.h"

#include <QDir>

namespace fw {

QString stateFolder() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // The variable counts only as an absolute path, as the convention for these folders says.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/tavolen");
}

}  // namespace fw
