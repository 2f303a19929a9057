#include "Modal.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QScreen>

namespace fw {

namespace {

// Tool windows that stay on top (the index window) lie centred where boxes and dialogs appear;
// a box or dialog in their layer goes above them when it is shown, whoever owns it.
void keepAbove(QWidget& window) { window.setWindowFlag(Qt::WindowStaysOnTopHint); }

class QtModalHost final : public ModalHost {
public:
    void showBox(BoxKind kind, const QString& caption, const QString& text) override {
        QMessageBox box(kind == BoxKind::Error ? QMessageBox::Critical : QMessageBox::NoIcon,
                        caption, text, QMessageBox::Ok);
        box.setWindowModality(Qt::ApplicationModal);
        keepAbove(box);
        box.adjustSize();
        if (QScreen* screen = QGuiApplication::primaryScreen())
            box.move(screen->geometry().center() - box.rect().center());
        box.exec();
    }

    std::optional<QString> runFileDialog(const FileDialogRequest& request) override {
        const bool open = request.kind == FileDialogRequest::Kind::Open;
        QFileDialog dialog(nullptr, request.title);
        keepAbove(dialog);
        dialog.setAcceptMode(open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
        dialog.setFileMode(open && request.options.fileMustExist ? QFileDialog::ExistingFile
                                                                  : QFileDialog::AnyFile);
        if (!request.options.overwritePrompt) dialog.setOption(QFileDialog::DontConfirmOverwrite);
        const QString filters = qtNameFilters(request.filter);
        if (!filters.isEmpty()) {
            dialog.setNameFilter(filters);
            const QStringList names = dialog.nameFilters();
            if (request.filterIndex >= 1 && request.filterIndex <= names.size())
                dialog.selectNameFilter(names.at(request.filterIndex - 1));
        }
        if (!request.defaultExt.isEmpty()) dialog.setDefaultSuffix(request.defaultExt);
        if (!request.initialDir.isEmpty()) dialog.setDirectory(request.initialDir);
        if (!request.fileName.isEmpty()) dialog.selectFile(request.fileName);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    }
};

QtModalHost qtHost;
ModalHost* installed = nullptr;

}  // namespace

ModalHost& modalHost() { return installed ? *installed : qtHost; }

ModalHost* setModalHost(ModalHost* host) {
    ModalHost* previous = installed;
    installed = host;
    return previous;
}

QList<FilterEntry> parseFilter(const QString& filter) {
    QList<FilterEntry> entries;
    const QStringList parts = filter.split(u'|');
    for (int i = 0; i + 1 < parts.size(); i += 2)
        entries.append(FilterEntry{parts[i], parts[i + 1].split(u';', Qt::SkipEmptyParts)});
    return entries;
}

QString qtNameFilters(const QString& filter) {
    QStringList parts;
    for (FilterEntry entry : parseFilter(filter)) {
        for (QString& pattern : entry.patterns)
            if (pattern == QStringLiteral("*.*")) pattern = QStringLiteral("*");
        const QString patterns = entry.patterns.join(u' ');
        // A label that already shows its patterns, "インデックス(*.idx)", is not told them twice.
        if (entry.label.contains(u'(' + patterns + u')'))
            parts << entry.label;
        else
            parts << QStringLiteral("%1 (%2)").arg(entry.label, patterns);
    }
    return parts.join(QStringLiteral(";;"));
}

}  // namespace fw
