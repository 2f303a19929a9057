// The user's folder for what the program keeps between runs that is neither a document nor a
// cache: $XDG_STATE_HOME/tavolen, by default ~/.local/state/tavolen.
#pragma once

#include <QString>

namespace fw {

// The folder's path; the folder itself may not exist yet. Any thread.
QString stateFolder();

}  // namespace fw
