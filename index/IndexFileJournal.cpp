#include "IndexFileJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "StateFolder.h"

namespace {

constexpr quint32 kMagic = 0x54564953;  // "TVIS"
constexpr quint32 kFirstVersion = 1;    // target, identity, new content
constexpr quint32 kVersion = 2;         // and what the file held before
constexpr qsizetype kChecksumBytes = 20;
constexpr char kRecordSuffix[] = ".index-save";

void (*stepHook)(TIndexSaveStep) = nullptr;

struct TRecord {
    quint32 version = kVersion;
    QByteArray target;
    quint64 device = 0;
    quint64 inode = 0;
    // What the file held before the save: its size and time, and when it could be read, the
    // part the new content goes over, byte for byte, and a checksum of the rest. (So the record
    // needs no more room than twice the new content: emptying a file on a full disk works.)
    bool oldKnown = false;
    quint64 oldSize = 0;
    qint64 oldModified = 0;    // nanoseconds; tells an untouched file whose content is unknown
    QByteArray oldHead;        // the first min(old size, new size) bytes
    QByteArray oldTailChecksum;
    QByteArray text;
};

QByteArray checksum(QByteArrayView bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
}

qint64 modified(const struct stat& file) {
    return qint64(file.st_mtim.tv_sec) * 1000000000 + qint64(file.st_mtim.tv_nsec);
}

// The record's bytes: the fields, then their checksum, which tells a whole record from one
// that the disk lost part of.
QByteArray encode(const TRecord& record) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << kMagic << kVersion << record.target << record.device << record.inode
        << record.oldKnown << record.oldSize << record.oldModified << record.oldHead
        << record.oldTailChecksum << record.text;
    return bytes + checksum(bytes);
}

std::optional<TRecord> decode(const QByteArray& bytes) {
    const QByteArrayView fields =
        QByteArrayView(bytes).chopped(std::min<qsizetype>(kChecksumBytes, bytes.size()));
    if (bytes.size() < kChecksumBytes || checksum(fields) != bytes.right(kChecksumBytes))
        return std::nullopt;
    QDataStream in(fields.toByteArray());
    in.setVersion(QDataStream::Qt_6_0);
    quint32 magic = 0;
    TRecord record;
    in >> magic >> record.version >> record.target >> record.device >> record.inode;
    if (record.version == kVersion)
        in >> record.oldKnown >> record.oldSize >> record.oldModified >> record.oldHead >>
            record.oldTailChecksum;
    in >> record.text;
    if (in.status() != QDataStream::Ok || magic != kMagic ||
        (record.version != kVersion && record.version != kFirstVersion))
        return std::nullopt;
    return record;
}

QByteArray stateFolder() { return QFile::encodeName(fw::stateFolder()); }

QByteArray recordPath(const QByteArray& folder, const QByteArray& target) {
    return folder + '/' + checksum(target).toHex() + kRecordSuffix;
}

// Makes the folder and any parent missing, private to the user; each one made is synced into
// its parent, or a power loss could take the record with the folder.
bool makeFolder(const QByteArray& folder) {
    struct stat existing {};
    if (::stat(folder.constData(), &existing) == 0) return S_ISDIR(existing.st_mode);
    const qsizetype slash = folder.lastIndexOf('/');
    if (slash <= 0) return false;
    const QByteArray parent = folder.left(slash);
    if (!makeFolder(parent)) return false;
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST) return false;
    return SyncFolder(parent);
}

// Writes the record to its final place through a file beside it. (Named after the record, a
// file left by a process killed here is replaced by the next save and removed by the next load.)
TJournalWrite commit(const QByteArray& folder, const QByteArray& path, const QByteArray& bytes) {
    const QByteArray temporary = path + ".new";
    TFileDescriptor file{
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600)};
    if (file.fd < 0) return TJournalWrite::NoFolder;
    const bool written = WriteWholeAt(file.fd, bytes) && ::fsync(file.fd) == 0;
    if (::close(std::exchange(file.fd, -1)) != 0 || !written) {
        ::unlink(temporary.constData());
        return TJournalWrite::Failed;
    }
    PassIndexSaveStep(TIndexSaveStep::JournalWritten);
    if (::rename(temporary.constData(), path.constData()) != 0) {
        ::unlink(temporary.constData());
        return TJournalWrite::Failed;
    }
    if (!SyncFolder(folder)) {
        ::unlink(path.constData());
        return TJournalWrite::Failed;
    }
    PassIndexSaveStep(TIndexSaveStep::JournalCommitted);
    return TJournalWrite::Committed;
}

void removeRecord(const QByteArray& folder, const QByteArray& path) {
    if (::unlink(path.constData()) == 0) SyncFolder(folder);
}

// Keeps a record that will not be applied under a name no load reads, for whoever wants its
// content back. Should even that fail, the record stays where it is rather than go.
void retireRecord(const QByteArray& folder, const QByteArray& path) {
    const QByteArray kept = path + ".retired-" +
        QByteArray::number(QDateTime::currentMSecsSinceEpoch());
    if (::rename(path.constData(), kept.constData()) == 0) SyncFolder(folder);
}

enum class TFileState {
    Untouched,  // the old content: the save had not begun
    Finished,   // the new content
    Torn,       // the new content over the old, as far as the save got
    Foreign,    // anything else: written by someone else since
};

// Whether bytes[from, to), all before the end of the old head or beyond the old size, are
// what the file held there before the save: the old bytes, and the zeros of room reserved.
bool holdsOld(const TRecord& record, const QByteArray& bytes, qsizetype from, qsizetype to) {
    for (qsizetype i = from; i < to; ++i) {
        const char before = i < record.oldHead.size() ? record.oldHead[i] : '\0';
        if (bytes[i] != before) return false;
    }
    return true;
}

// Whether the old content past the head is there as it was, from the end of the head to the
// old size.
bool oldTailIntact(const TRecord& record, const QByteArray& bytes) {
    const qsizetype head = record.oldHead.size(), size = qsizetype(record.oldSize);
    return bytes.size() >= size &&
           checksum(QByteArrayView(bytes).sliced(head, size - head)) == record.oldTailChecksum;
}

// The save writes the new content from the start over the old one, in room reserved first, and
// then cuts the file to its new length. A write cut short leaves a start of the new content;
// a machine stopped before the file was synced may keep any of its pages, each with the start
// of the new content it was given. So each page must be the new content up to some point and
// the old one after it; old bytes the new content never reaches must be whole, or cut off.
bool tornBySave(const TRecord& record, const QByteArray& bytes) {
    const qsizetype newSize = record.text.size();
    const qsizetype oldSize = qsizetype(record.oldSize);
    if (bytes.size() < std::min(newSize, oldSize) || bytes.size() > std::max(newSize, oldSize))
        return false;
    if (!record.oldKnown) {
        // Without the old bytes only the new content's start tells the save's work apart.
        qsizetype p = 0;
        while (p < bytes.size() && p < newSize && bytes[p] == record.text[p]) ++p;
        for (qsizetype i = std::max(p, oldSize); i < bytes.size(); ++i)
            if (bytes[i] != '\0') return false;
        return p > 0;
    }
    const qsizetype written = newSize >= oldSize ? bytes.size() : std::min(bytes.size(), newSize);
    if (written < bytes.size() && (bytes.size() != oldSize || !oldTailIntact(record, bytes)))
        return false;
    constexpr qsizetype kPage = 4096;
    for (qsizetype page = 0; page < written; page += kPage) {
        const qsizetype end = std::min(written, page + kPage);
        qsizetype p = page;
        while (p < end && p < newSize && bytes[p] == record.text[p]) ++p;
        if (!holdsOld(record, bytes, p, end)) return false;
    }
    return true;
}

TFileState stateOf(const TRecord& record, const QByteArray& bytes, const struct stat& file) {
    if (bytes == record.text) return TFileState::Finished;
    if (record.version != kVersion) return TFileState::Foreign;
    const bool untouched = record.oldKnown
        ? bytes.size() == qsizetype(record.oldSize) && bytes.startsWith(record.oldHead) &&
              oldTailIntact(record, bytes)
        : quint64(file.st_size) == record.oldSize && modified(file) == record.oldModified;
    if (untouched) return TFileState::Untouched;
    return tornBySave(record, bytes) ? TFileState::Torn : TFileState::Foreign;
}

enum class TReplay { Done, NotNow, Failed };

// Writes the record's content into the file just read. NotNow when it may not be written now
// (nothing was written then).
TReplay replay(const TRecord& record, const QByteArray& target, const struct stat& read) {
    TFileDescriptor file{::open(target.constData(), O_WRONLY | O_CLOEXEC | O_NONBLOCK)};
    struct stat now {};
    if (file.fd < 0 || ::fstat(file.fd, &now) != 0 || now.st_dev != read.st_dev ||
        now.st_ino != read.st_ino)
        return TReplay::NotNow;
    const bool done = WriteWholeAt(file.fd, record.text) &&
                      ::ftruncate(file.fd, off_t(record.text.size())) == 0 &&
                      ::fsync(file.fd) == 0 && ::close(std::exchange(file.fd, -1)) == 0;
    return done ? TReplay::Done : TReplay::Failed;
}

struct TFound {
    QByteArray path;  // the record's
    TRecord record;
    bool byPath;      // named after the file's path; else found by its inode
};

std::optional<TRecord> readRecord(const QByteArray& path) {
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    return decode(file.readAll());
}

// Whether the record's file is gone: nothing at its path in a folder that is still there. (A
// folder gone may be a disk not mounted now, or a folder renamed; its file is looked for by
// inode then.)
bool fileGone(const TRecord& record) {
    struct stat now {};
    if (::stat(record.target.constData(), &now) == 0 || errno != ENOENT) return false;
    const qsizetype slash = record.target.lastIndexOf('/');
    return slash > 0 && ::stat(record.target.left(slash).constData(), &now) == 0;
}

bool exists(const QByteArray& path) {
    struct stat now {};
    return ::stat(path.constData(), &now) == 0;
}

// The records that may belong to the file: the one named after its path first, then those of
// its inode under another path (on another device only when nothing is left at their own
// path: a disk mounted elsewhere). Records of other files found gone are retired on the way.
std::vector<TFound> recordsOf(const QByteArray& folder, const QByteArray& target,
                              const struct stat& file) {
    std::vector<TFound> found;
    const QByteArray own = recordPath(folder, target);
    if (auto record = readRecord(own)) {
        if (record->target == target) found.push_back({own, std::move(*record), true});
    } else if (exists(own)) {
        removeRecord(folder, own);  // not whole, so never committed: its save did not begin
    }
    const QStringList names =
        QDir(QFile::decodeName(folder)).entryList({QStringLiteral("*.index-save")}, QDir::Files);
    for (const QString& name : names) {
        const QByteArray path = folder + '/' + QFile::encodeName(name);
        if (path == own) continue;
        auto record = readRecord(path);
        if (!record) continue;
        const bool sameInode = record->inode == quint64(file.st_ino) &&
            (record->device == quint64(file.st_dev) || !exists(record->target));
        if (sameInode)
            found.push_back({path, std::move(*record), false});
        else if (fileGone(*record))
            retireRecord(folder, path);
    }
    return found;
}

// Settles one record against the file as it is now. False when the file stays torn.
bool settle(const QByteArray& folder, const TFound& found, const QByteArray& target) {
    TFileDescriptor file{::open(target.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    struct stat now {};
    if (file.fd < 0 || ::fstat(file.fd, &now) != 0 || !S_ISREG(now.st_mode))
        return false;  // nothing to recognise; the load will say it cannot open the file
    const std::optional<QByteArray> bytes = ReadWholeAt(file.fd, now.st_size);
    if (!bytes) return false;
    const TFileState state = stateOf(found.record, *bytes, now);
    if (state == TFileState::Foreign) {
        // Found by inode alone, it may be another file's, still at its own path.
        if (found.byPath || !exists(found.record.target)) retireRecord(folder, found.path);
        return true;
    }
    const TReplay replayed =
        state == TFileState::Finished ? TReplay::Done : replay(found.record, target, now);
    if (replayed == TReplay::Done) removeRecord(folder, found.path);
    // An untouched file that may not be written now keeps its old list, and the record waits.
    return replayed == TReplay::Done ||
           (replayed == TReplay::NotNow && state == TFileState::Untouched);
}

}  // namespace

TFileDescriptor::~TFileDescriptor() {
    if (fd >= 0) ::close(fd);
}

bool WriteWholeAt(int fd, const QByteArray& bytes) {
    const char* p = bytes.constData();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, p + done, size_t(bytes.size() - done), off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

bool SyncFolder(const QByteArray& folder) {
    TFileDescriptor file{::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (file.fd < 0) return false;
    // Some file systems cannot sync a folder, and keep its names by other means.
    return ::fsync(file.fd) == 0 || errno == EINVAL;
}

void SetIndexSaveStepHook(void (*hook)(TIndexSaveStep)) { stepHook = hook; }

void PassIndexSaveStep(TIndexSaveStep step) {
    if (stepHook) stepHook(step);
}

TJournalWrite WriteIndexJournal(const QByteArray& target, const struct stat& file,
                                const std::optional<QByteArray>& old, const QByteArray& text) {
    const QByteArray folder = stateFolder();
    if (!makeFolder(folder)) return TJournalWrite::NoFolder;
    TRecord record{kVersion, target, quint64(file.st_dev), quint64(file.st_ino), old.has_value(),
                   quint64(file.st_size), modified(file), {}, {}, text};
    if (old) {
        const qsizetype head = std::min(old->size(), text.size());
        record.oldHead = old->left(head);
        record.oldTailChecksum = checksum(QByteArrayView(*old).sliced(head));
    }
    return commit(folder, recordPath(folder, target), encode(record));
}

void RemoveIndexJournal(const QByteArray& target) {
    const QByteArray folder = stateFolder();
    removeRecord(folder, recordPath(folder, target));
}

bool FinishInterruptedIndexSave(const QByteArray& target) {
    const QByteArray folder = stateFolder();
    ::unlink((recordPath(folder, target) + ".new").constData());  // its save never touched the file
    struct stat file {};
    if (::stat(target.constData(), &file) != 0) return true;
    bool whole = true;
    for (const TFound& found : recordsOf(folder, target, file))
        whole = settle(folder, found, target) && whole;
    return whole;
}

std::optional<QByteArray> ReadWholeAt(int fd, off_t size) {
    if (size > kMaxIndexFileBytes) return std::nullopt;
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + done, size_t(bytes.size() - done), off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        done += n;
    }
    return bytes;
}
