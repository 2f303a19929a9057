#include "ProgressWindow.h"

#include <QElapsedTimer>
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
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
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
};

// Runs loop (with flags) until done or, when limit is given, until limit has passed.
void spin(OpenJob& job, QEventLoop::ProcessEventsFlags flags, ProgressWindow* window,
          const QElapsedTimer& since, std::optional<std::chrono::milliseconds> limit) {
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (window) window->setFraction(job.fraction.load());
        if (job.done.load() || (limit && since.elapsed() >= limit->count())) loop.quit();
    });
    poll.start();
    loop.exec(flags);
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
    });
    QElapsedTimer since;
    since.start();
    spin(job, QEventLoop::ExcludeUserInputEvents, nullptr, since, delay);
    if (!job.done.load()) {
        ProgressWindow window(QFileInfo(path).fileName(), [&job] { job.cancel.store(true); });
        window.show();
        spin(job, QEventLoop::AllEvents, &window, since, std::nullopt);
    }
    worker.join();
    return std::move(job.result);
}

}  // namespace mci
