// The index window TIndex: a small tool window beside the player window that keeps a list of
// frame numbers (the index entries), seeks to any of them, shows how far the current frame lies
// from the first one, and saves the entries to an index file beside the media file.
//
// Contract
// - UI thread only. Every handler that Qt calls (buttons, list, timer, show/hide/close) runs
//   through fw::guard; the handlers are public so that the player window and tests may call
//   them directly, and then an exception reaches the caller.
// - The window works on the player window's media device and reads its LastMode; both are
//   handed in at construction because index/ may not reach into the player window. The device
//   is not owned; once it is gone, every handler that needs it raises "MCI デバイスがありません".
// - The entries are the items of Indexlist and nothing else: no second copy is kept.
// - The difference timer Timer1 runs exactly while the window is shown.
// - A failing tick of the difference timer (a first entry that is not a frame number, no device
//   open) is reported once, not every 30 ms: the tick stays silent while it fails with the
//   message it reported last, and reports again when the message changes (entry 0 changed to
//   another text that fails), after a tick that succeeded, or after the window is shown anew.
// - 登録 and the difference display need an open device: without one (after a failed open)
//   they raise "MCI デバイスがありません" rather than take the position 0 for a frame.
// - An entry is read back bounded at kMaxEntryText bytes; a longer one is no frame number and
//   fails its conversion, the message quoting only its first kMaxEntryText bytes (converting a
//   cut-off text could silently give the wrong frame, "000…05" read as 0).
#pragma once

#include "Events.h"
#include "FileDialog.h"
#include "Form.h"
#include "MPlayer.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class TGauge;

namespace fw {
class Bevel;
class Button;
class Edit;
class Label;
class ListBox;
class Timer;
}  // namespace fw

class TIndex : public fw::Form {
public:
    // The longest entry text that is read back from the list, in bytes.
    static constexpr int kMaxEntryText = 4095;

    // Creates the window hidden. device is the player window's media device (not owned);
    // lastMode reads the player window's LastMode.
    TIndex(TMediaPlayer* device, std::function<TMPModes()> lastMode, QWidget* parent = nullptr);
    ~TIndex() override;

    // Components, in the order the window declares them.
    fw::ListBox* Indexlist = nullptr;
    fw::Button* ListClr = nullptr;
    fw::Button* SaveIndex = nullptr;
    fw::SaveDialog SaveIndexDialog1;
    fw::Button* Reg = nullptr;
    fw::Button* Del = nullptr;
    fw::Bevel* Bevel1 = nullptr;
    fw::Edit* difftime = nullptr;
    fw::Timer* Timer1 = nullptr;
    fw::Label* Label1 = nullptr;
    TGauge* PieG = nullptr;
    fw::Bevel* Bevel2 = nullptr;

    // Pauses, seeks to the selected entry and plays on when LastMode is dmPlaying.
    // Raises "MCI デバイスがありません" (no device), "リストのインデックスが範囲を超えています
    // (-1)" (nothing selected; the device is already paused) or the conversion error (no seek).
    void IndexlistClick(TObject* Sender);
    void ListClrClick(TObject* Sender);
    // Proposes the index file of the device's FileName in the save dialog and saves all entries
    // to the path the user confirms. A FileName of 4 characters or fewer does nothing. Raises
    // the index file's save errors; the entries stay as they are.
    void SaveIndexClick(TObject* Sender);
    // Appends the device's position as decimal text; raises "MCI デバイスがありません" when no
    // device is open, and nothing is appended.
    void RegClick(TObject* Sender);
    // Removes the selected entry; nothing selected, nothing happens.
    void DelClick(TObject* Sender);
    // Shows position − entry 0 (wrapping 32-bit) in difftime and |d mod 30| on PieG.
    void Timer1Timer(TObject* Sender);
    void FormShow(TObject* Sender);
    void FormClose(TObject* Sender);
    void FormHide(TObject* Sender);

    // Replaces every entry by the lines of an index file. The file is read before the list is
    // touched, so an unreadable file ("ファイル %s は開けません") leaves the entries as they were.
    void LoadEntries(const QString& path);
    // Shows a hidden window (FormShow runs first) or brings a visible one to the front.
    void ShowWindow();
    // How many times the user has changed the entries (登録, 削除, 消去); loading a file or
    // clearing the list for another media file is no change of the user's.
    std::uint64_t UserEdits() const { return m_userEdits; }

    // An entry's frame number as the window reads it back from its list: bounded at
    // kMaxEntryText bytes, a longer entry failing (EntryTextToFrame is the plain conversion).
    static std::int32_t BoundedEntryToFrame(const QByteArray& entry);

private:
    void CreateComponents();
    void CreateDifferenceDisplay();
    void CreateButtons();
    void SetTabOrder();
    TMediaPlayer& Device() const;
    TMediaPlayer& OpenDevice() const;
    void ShowDifference();

    QPointer<TMediaPlayer> m_device;
    std::function<TMPModes()> m_lastMode;
    // The message of the difference timer's failure that has already been reported.
    std::optional<std::string> m_reportedTickError;
    std::uint64_t m_userEdits = 0;
};

// The one index window, created at program entry right after the player window.
extern TIndex* Index;
