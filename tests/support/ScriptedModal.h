// A scripted modal host for tests: records every box and dialog shown (kind, caption, text or
// request) and answers file dialogs from a queue (a path, or cancel when the queue holds
// nothing). Construction installs it; destruction restores the previous host.
//
// While a box is "shown" it can spin the event loop for `boxSpinMs`, so that tests can check
// what timers do during the nested loop of a real message box.
#pragma once

#include "Modal.h"

#include <deque>
#include <functional>
#include <optional>
#include <vector>

class ScriptedModal : public fw::ModalHost {
public:
    struct Box {
        fw::BoxKind kind;
        QString caption;
        QString text;
    };

    ScriptedModal();
    ~ScriptedModal() override;

    void showBox(fw::BoxKind kind, const QString& caption, const QString& text) override;
    std::optional<QString> runFileDialog(const fw::FileDialogRequest& request) override;

    std::vector<Box> boxes;
    std::vector<fw::FileDialogRequest> dialogs;
    std::deque<std::optional<QString>> answers;  // front answers the next dialog
    int boxSpinMs = 0;
    std::function<void(const Box&)> onBox;       // runs while the box is "open"
    int openBoxes = 0;                           // boxes on the screen right now
    int maxOpenBoxes = 0;                        // most boxes ever open at once

    std::vector<QString> texts(fw::BoxKind kind) const;

private:
    fw::ModalHost* m_previous = nullptr;
};
