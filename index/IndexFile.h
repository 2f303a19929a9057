// The index file: frame numbers kept beside a media file, one per line, each line ended by
// CR LF. Entries are byte strings and go back to disk exactly as they came, so a file written on
// another system in another code page round-trips byte for byte.
//
// All functions run on the UI thread and finish before they return; a file is open only for the
// duration of one load or save. Failures are exceptions (see each function).
#pragma once

#include "ByteList.h"

#include <QByteArray>
#include <QString>
#include <cstdint>

// The entries, kept compactly: loading a file costs about its own size again, however short
// its lines.
using TIndexEntries = fw::ByteList;

// The index file of a media path: the path without its last four characters, then ".idx".
// "/v/a.avi" gives "/v/a.idx"; "/v/clip.mpeg" gives "/v/clip..idx"; a path of four characters
// or fewer gives ".idx".
QString IndexFileName(const QString& mediaPath);

// Writes every entry followed by CR LF. The new content replaces the old one only once it is
// completely on disk: a full disk, a failed write or the program dying in the middle leaves
// the old list or the new one, never a mix. The content is normally written beside the file,
// synced and renamed over it. In a folder where no file may be created, an existing index file
// we may write is rewritten in place instead: a copy of the new content goes first into the
// user's state folder (IndexFileJournal.h), so that the next load finishes a save cut short,
// and the room for the content is reserved before a byte changes, so that a disk too full for
// it refuses the save and keeps the old bytes.
// Raises EFCreateError "ファイル %s を作成できません" when the file cannot be created or is an
// existing file marked read-only or not writable for us (it is then left as it was), or when a
// save in place has no state folder for its copy; and EWriteError "ストリームへの書き込みエラー"
// when the write falls short. The file then holds the old content, or, when it was written in
// place and we could not read it to put it back, the new content by the next load.
void SaveIndexFile(const TIndexEntries& entries, const QString& path);

// Finishes a save in place that was cut short, then reads the whole file and cuts it into
// lines: CR LF, a lone LF and a lone CR each end a line; a line end at the very end adds no
// entry; a NUL byte ends the text.
// Raises EFOpenError "ファイル %s は開けません" when the file cannot be opened or read, is
// larger than kMaxIndexFileBytes (no index of frame numbers comes near it; reading a huge file
// whole would only exhaust memory), or holds a save cut short that cannot be finished now.
TIndexEntries LoadIndexFile(const QString& path);
inline constexpr std::int64_t kMaxIndexFileBytes = 256ll * 1024 * 1024;

// Splits a file's content into entries by the rule above, reusing the text's memory.
TIndexEntries SplitIndexLines(QByteArray text);

// Turns an entry's whole text, however long, into a frame number. This is the plain conversion;
// the index window reads its entries back bounded first (TIndex::BoundedEntryToFrame).
// The text: leading blanks (code 32 only), then either decimal with an optional sign or
// hexadecimal after "$", "x", "X", "0x" or "0X" (no sign), filling the rest of the text exactly,
// within the signed 32-bit range (hexadecimal up to 8 significant digits, the top bit giving a
// negative number). Raises EConvertError "'%s' は整数ではありません".
std::int32_t EntryTextToFrame(const QByteArray& entry);

// The decimal text of a frame number, as recorded entries hold it.
QByteArray FrameToEntry(std::int32_t frame);

// For tests that stop a process in the middle of a save: the steps a save passes, in order.
// A save beside the file passes the first two, a save in place the others.
enum class TIndexSaveStep {
    TemporaryWritten,  // the new file beside the old one is on disk, not yet renamed over it
    Renamed,           // the new file has replaced the old one; the folder is not yet synced
    JournalWritten,    // the copy for a save in place is on disk, not yet under its name
    JournalCommitted,  // the copy is in place; the index file is untouched
    SpaceReserved,     // the room for the new content is reserved
    Written,           // the new content is written over the old; the file is not yet cut
    Synced,            // the file holds the new content on disk; the copy is still there
};
// The hook is called at each step, on the thread saving. The program sets none.
void SetIndexSaveStepHook(void (*hook)(TIndexSaveStep step));
