#include "FileDialog.h"

namespace fw {

bool FileDialog::execute() {
    const std::optional<QString> chosen = modalHost().runFileDialog(m_request);
    if (!chosen) return false;
    m_request.fileName = *chosen;
    return true;
}

}  // namespace fw
