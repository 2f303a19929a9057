// The player window's commands that involve the index window: loading the index file of a media
// file after it has been opened (at the start timer and at File > Open), saving the entries
// (Ctrl+I) and showing the window (F1). They reach the index window through the global Index,
// absent only in tests of the player window alone, and use only its public operations.
#include "TavolenPlay.h"

#include "Files.h"
#include "IndexFile.h"
#include "IndexForm.h"
#include "ListBox.h"

#include <utility>

void TTavolenForm::K2Click(TObject* Sender) {
    if (Index) Index->SaveIndexClick(Sender);
}

void TTavolenForm::K3Click(TObject* Sender) {
    if (Index) Index->ShowWindow();
}

// When the index file of the media file exists, its lines replace the entries and the window is
// shown. An unreadable file raises "ファイル %s は開けません" before anything changes, so the
// window stays as it was. After File > Open this reads the file a second time; what the user
// changed in between stays as the user left it.
void TTavolenForm::IndexStepAfterStart() {
    const auto editsAtFileOpen = std::exchange(m_indexEditsAtFileOpen, std::nullopt);
    if (!Index) return;
    if (editsAtFileOpen && Index->UserEdits() != *editsAtFileOpen) return;
    const QString name = IndexFileName(MediaPlayer1->FileName());
    if (!fw::fileExists(name)) return;
    Index->LoadEntries(name);
    Index->ShowWindow();
}

// The entries are cleared; when the index file of the chosen name exists, the window is shown
// and then its lines replace the entries.
void TTavolenForm::IndexStepAfterOpen(const QString& chosenName) {
    if (!Index) return;
    m_indexEditsAtFileOpen = Index->UserEdits();
    Index->Indexlist->clear();
    const QString name = IndexFileName(chosenName);
    if (!fw::fileExists(name)) return;
    Index->ShowWindow();
    Index->LoadEntries(name);
}
