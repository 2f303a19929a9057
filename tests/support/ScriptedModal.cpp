#include "ScriptedModal.h"

#include <QEventLoop>
#include <QTimer>
#include <algorithm>

ScriptedModal::ScriptedModal() { m_previous = fw::setModalHost(this); }

ScriptedModal::~ScriptedModal() { fw::setModalHost(m_previous); }

void ScriptedModal::showBox(fw::BoxKind kind, const QString& caption, const QString& text) {
    boxes.push_back({kind, caption, text});
    Box shown = boxes.back();
    maxOpenBoxes = std::max(maxOpenBoxes, ++openBoxes);
    struct Close {
        int& open;
        ~Close() { --open; }
    } close{openBoxes};
    if (onBox) onBox(shown);
    if (boxSpinMs > 0) {
        QEventLoop loop;
        QTimer::singleShot(boxSpinMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

std::optional<QString> ScriptedModal::runFileDialog(const fw::FileDialogRequest& request) {
    dialogs.push_back(request);
    std::optional<QString> answer;
    if (!answers.empty()) {
        answer.swap(answers.front());
        answers.pop_front();
    }
    return answer;
}

std::vector<QString> ScriptedModal::texts(fw::BoxKind kind) const {
    std::vector<QString> out;
    for (const auto& box : boxes)
        if (box.kind == kind) out.push_back(box.text);
    return out;
}
