// The window shown while a long open runs (the source's index pass over a large file): modal,
// with the file's name, a progress bar and a cancel button; the user can only watch or cancel.
//
// Threads: the window and openWithProgress on the UI thread; the opener runs on a thread of
// its own and reaches the window only through atomics that the UI thread reads, never a widget;
// its end is a queued call that wakes the waiting loop at once.
#pragma once

#include "PlaybackSource.h"

#include <QDialog>

#include <chrono>
#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

namespace mci {

class ProgressWindow final : public QDialog {
    Q_OBJECT
public:
    // onCancel runs on the UI thread the moment the user cancels.
    ProgressWindow(const QString& fileName, std::function<void()> onCancel);
    void setFraction(double fraction);
    bool cancelRequested() const { return m_cancelRequested; }

protected:
    void reject() override;  // Escape and the window's close box cancel, too

private:
    QLabel* m_text;
    QProgressBar* m_bar;
    QPushButton* m_cancel;
    std::function<void()> m_onCancel;
    bool m_cancelRequested = false;
};

using SourceOpener = std::function<SourceOpenResult(const QString& path, const OpenProgress& progress)>;

// Runs opener on a worker thread while the UI thread keeps its event loop going (timers keep
// ticking). User input waits until the progress window appears after delay; from then the
// window is modal and its cancel makes the progress callback answer false, so the open fails
// with the source's "cancelled" reason. Returns once the worker has finished. UI thread only.
SourceOpenResult openWithProgress(const QString& path, const SourceOpener& opener,
                                  std::chrono::milliseconds delay);

}  // namespace mci
