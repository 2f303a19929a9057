// The one seam for modal interaction: message boxes, error boxes and file dialogs.
// The product shows real Qt dialogs (QtModalHost); tests install a scripted host that answers
// and records what was shown. Called on the UI thread only.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace fw {

enum class BoxKind { Message, Error };

// Options of the open and save dialogs, named after what the system asks of them.
struct FileDialogOptions {
    bool fileMustExist = false;
    bool pathMustExist = false;
    bool overwritePrompt = false;
    bool hideReadOnly = false;
};

struct FileDialogRequest {
    enum class Kind { Open, Save };
    Kind kind = Kind::Open;
    QString filter;      // "label|pattern;pattern|label|pattern"
    int filterIndex = 1; // 1-based entry selected first
    QString defaultExt;  // without the dot; appended when the user types no extension
    QString initialDir;
    QString fileName;    // proposed name
    QString title;       // empty: the platform's default
    FileDialogOptions options;
};

class ModalHost {
public:
    virtual ~ModalHost() = default;
    // A modal box with one OK button, centred on the screen; returns when dismissed.
    virtual void showBox(BoxKind kind, const QString& caption, const QString& text) = 0;
    // Runs a file dialog; the chosen path, or nothing when the user cancels.
    virtual std::optional<QString> runFileDialog(const FileDialogRequest& request) = 0;
};

// The installed host; the Qt one unless a test installed another.
ModalHost& modalHost();
// Installs a host (not owned); nullptr restores the Qt one. Returns the previous one.
ModalHost* setModalHost(ModalHost* host);

// One label/pattern pair of a dialog filter.
struct FilterEntry {
    QString label;
    QStringList patterns;
};
// Parses "label|pat;pat|label|pat"; a trailing label without pattern is dropped.
QList<FilterEntry> parseFilter(const QString& filter);
// The same filter in Qt's syntax, "label (pat pat);;label (pat)". "*.*" becomes "*": here it
// would match only names with a dot, and "all files" must show a file without an extension.
QString qtNameFilters(const QString& filter);

}  // namespace fw
