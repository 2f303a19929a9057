// What makes a save into the index file itself safe from a crash (IndexFile.h says when a save
// goes in place). Before the first byte of the file changes, a record goes into the user's
// state folder, named after the file's path, synced and then renamed into place: the file's
// identity, its old content and the new one. Once the file holds the new content on disk, the
// record goes again. A process killed or a machine stopped in between leaves the record, and
// the next load of the file finishes the save before it reads: the file holds the old list or
// the new one, never a mix.
//
// A record only ever repairs a file in a state its own save can have left: the old content
// untouched, the new content, or the new written over the old as far as a write cut short got.
// A file in any other state has been written by someone else since; the record is then
// retired: renamed to a copy in the state folder that no load reads again, so that its
// content is not lost, and the file is shown as it is. A record is found by the file's path
// and by its inode, so a file moved, or a disk mounted elsewhere, is still repaired; a record
// whose file is gone is retired too. Records written by earlier versions carry no old content:
// they finish nothing and are retired, unless the file already holds their new content.
//
// Paths are the file's real path (links resolved), as bytes. Everything here runs on the UI
// thread with the rest of the index file, and makes checked system calls only: a buffered
// writer could report a short write on a full disk as success when it flushes.
#pragma once

#include <sys/stat.h>

#include <QByteArray>
#include <optional>

#include "IndexFile.h"

enum class TJournalWrite {
    Committed,  // the record is on disk under its name
    NoFolder,   // no state folder could be made, or no record created in it
    Failed,     // a write or sync failed; no record is left
};

// Puts the record of a save of `text` into `file` (the open file at `target`, as fstat gave it),
// whose content is `old` (nullopt: it could not be read).
TJournalWrite WriteIndexJournal(const QByteArray& target, const struct stat& file,
                                const std::optional<QByteArray>& old, const QByteArray& text);

// Removes the record of a save of target, if there is one, for good (the state folder synced).
void RemoveIndexJournal(const QByteArray& target);

// Finishes a save of target that was cut short, if there is one, and removes its record; a
// record of a file since written by someone else is retired, and one never committed is
// dropped. False when the file holds a save cut short halfway that cannot be finished now (the
// file may not be written): its content is torn. A file the save had not touched yet stays
// loadable, its record kept for a later load that can write the file.
bool FinishInterruptedIndexSave(const QByteArray& target);

// The whole content of an open file of the given size; nullopt when it cannot be read or is
// larger than kMaxIndexFileBytes.
std::optional<QByteArray> ReadWholeAt(int fd, off_t size);

// Writes all of bytes at offset 0 of fd, or reports failure.
bool WriteWholeAt(int fd, const QByteArray& bytes);

// Makes the names in a folder (a file created, renamed or removed there) last on disk.
bool SyncFolder(const QByteArray& folder);

// Calls the test hook set with SetIndexSaveStepHook, if any.
void PassIndexSaveStep(TIndexSaveStep step);

// Closes the descriptor it holds, if any, when it goes.
struct TFileDescriptor {
    int fd;
    ~TFileDescriptor();
};
