// The open and save dialogs as objects with properties, run through fw::modalHost(), so tests
// answer and inspect them with a scripted host. UI thread only.
//
// execute() shows the dialog with the current properties; when the user accepts, fileName()
// becomes the chosen path and it returns true; on cancel nothing changes and it returns false.
#pragma once

#include "Modal.h"

#include <QString>

namespace fw {

class FileDialog {
public:
    explicit FileDialog(FileDialogRequest::Kind kind) { m_request.kind = kind; }
    virtual ~FileDialog() = default;

    QString filter() const { return m_request.filter; }
    void setFilter(const QString& filter) { m_request.filter = filter; }  // "label|pat;pat|..."
    int filterIndex() const { return m_request.filterIndex; }
    void setFilterIndex(int index) { m_request.filterIndex = index; }  // 1-based
    QString defaultExt() const { return m_request.defaultExt; }
    void setDefaultExt(const QString& ext) { m_request.defaultExt = ext; }  // without the dot
    QString initialDir() const { return m_request.initialDir; }
    void setInitialDir(const QString& dir) { m_request.initialDir = dir; }
    QString fileName() const { return m_request.fileName; }
    void setFileName(const QString& name) { m_request.fileName = name; }
    QString title() const { return m_request.title; }
    void setTitle(const QString& title) { m_request.title = title; }
    FileDialogOptions options() const { return m_request.options; }
    void setOptions(const FileDialogOptions& options) { m_request.options = options; }

    bool execute();

private:
    FileDialogRequest m_request;
};

class OpenDialog : public FileDialog {
public:
    OpenDialog() : FileDialog(FileDialogRequest::Kind::Open) {}
};

class SaveDialog : public FileDialog {
public:
    SaveDialog() : FileDialog(FileDialogRequest::Kind::Save) {}
};

}  // namespace fw
