#include "ProgressWindow.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

namespace mci {

ProgressWindow::ProgressWindow(const QString& fileName, std::function<void()> onCancel)
    : m_text(new QLabel(this)), m_bar(new QProgressBar(this)),
      m_cancel(new QPushButton(QStringLiteral("キャンセル"), this)), m_onCancel(std::move(onCancel)) {
    setObjectName(QStringLiteral("mciOpenProgress"));
    setWindowTitle(QStringLiteral("メディアを開いています"));
    setWindowModality(Qt::ApplicationModal);
    // On top as the player's index window is, or it would hide the window and its cancel button.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowStaysOnTopHint);
    m_text->setText(QStringLiteral("「%1」を読み込んでいます。\n"
                                   "初めて開く大きなファイルは時間がかかります。")
                        .arg(fileName));
    m_bar->setRange(0, 1000);
    m_cancel->setObjectName(QStringLiteral("cancel"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    layout->addWidget(m_bar);
    layout->addWidget(m_cancel, 0, Qt::AlignRight);
    connect(m_cancel, &QPushButton::clicked, this, &ProgressWindow::reject);
}

void ProgressWindow::setFraction(double fraction) {
    m_bar->setValue(int(std::clamp(fraction, 0.0, 1.0) * 1000));
}

void ProgressWindow::reject() {
    // Stays open until the open has actually stopped; closing it is the caller's business.
    if (m_cancelRequested) return;
    m_cancelRequested = true;
    m_cancel->setEnabled(false);
    m_text->setText(QStringLiteral("キャンセルしています…"));
    if (m_onCancel) m_onCancel();
}

namespace {

// Shared between the UI thread and the opening thread; lives until the thread is joined.
struct OpenJob {
    std::atomic<bool> cancel{false};
    std::atomic<double> fraction{0.0};
    std::atomic<bool> done{false};
    SourceOpenResult result;
    // Lives on the UI thread: the opener's "done" is a queued call on it, so the waiting loop
    // wakes the moment the open finishes instead of at its next poll.
    QObject waker;
    QEventLoop* waiting = nullptr;  // UI thread only
};

// Runs an event loop (with flags) until the job is done or, when limit is given, until limit
// has passed. The window's bar follows the job's progress.
void spin(OpenJob& job, QEventLoop::ProcessEventsFlags flags, ProgressWindow* window,
          std::optional<std::chrono::milliseconds> limit) {
    if (job.done.load()) return;
    QEventLoop loop;
    job.waiting = &loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (limit) timeout.start(*limit);
    QTimer progress;
    progress.setInterval(50);
    QObject::connect(&progress, &QTimer::timeout, &loop, [&] { window->setFraction(job.fraction.load()); });
    if (window) progress.start();
    loop.exec(flags);
    job.waiting = nullptr;
}

}  // namespace

SourceOpenResult openWithProgress(const QString& path, const SourceOpener& opener,
                                  std::chrono::milliseconds delay) {
    OpenJob job;
    std::thread worker([&] {
        job.result = opener(path, [&](double fraction) {
            job.fraction.store(fraction);
            return !job.cancel.load();
        });
        job.done.store(true);
        QMetaObject::invokeMethod(
            &job.waker, [&job] {
                if (job.waiting) job.waiting->quit();
            },
            Qt::QueuedConnection);
    });
    spin(job, QEventLoop::ExcludeUserInputEvents, nullptr, delay);
    if (!job.done.load()) {
        ProgressWindow window(QFileInfo(path).fileName(), [&job] { job.cancel.store(true); });
        window.show();
        spin(job, QEventLoop::AllEvents, &window, std::nullopt);
    }
    worker.join();
    return std::move(job.result);
}

}  // namespace mci
