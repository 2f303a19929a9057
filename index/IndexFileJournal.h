// What makes a save into the index file itself safe from a crash (IndexFile.h says when a save
// goes in place). Before the first byte of the file changes, its new content goes into a
// record in the user's state folder, named after the file's path, synced and then renamed into
// place; once the file holds the new content on disk, the record goes again. A process killed
// or a machine stopped in between leaves the record, and the next load of the file writes the
// content once more before it reads: the file holds the old list or the new one, never a mix.
//
// Paths are the file's real path (links resolved), as bytes. Everything here runs on the UI
// thread with the rest of the index file, and makes checked system calls only: a buffered
// writer could report a short write on a full disk as success when it flushes.
#pragma once

#include <sys/stat.h>

#include <QByteArray>

#include "IndexFile.h"

enum class TJournalWrite {
    Committed,  // the record is on disk under its name
    NoFolder,   // no state folder could be made, or no record created in it
    Failed,     // a write or sync failed; no record is left
};

// Puts the record of a save of `text` into `file` (the open file at `target`, as fstat gave it).
TJournalWrite WriteIndexJournal(const QByteArray& target, const struct stat& file,
                                const QByteArray& text);

// Removes the record of a save of target, if there is one, for good (the state folder synced).
void RemoveIndexJournal(const QByteArray& target);

// Finishes a save of target that was cut short, if there is one, and removes its record; a
// record of a file since replaced by another, or one never committed, is dropped. False when
// an unfinished save remains (the file may not be written now): its content may be torn.
bool FinishInterruptedIndexSave(const QByteArray& target);

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
