#include "IndexFileJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDataStream>
#include <QFile>
#include <cerrno>
#include <optional>
#include <utility>

#include "StateFolder.h"

namespace {

constexpr quint32 kMagic = 0x54564953;  // "TVIS"
constexpr quint32 kVersion = 1;
constexpr qsizetype kChecksumBytes = 20;

void (*stepHook)(TIndexSaveStep) = nullptr;

struct TRecord {
    QByteArray target;
    quint64 device = 0;
    quint64 inode = 0;
    QByteArray text;
};

QByteArray checksum(QByteArrayView bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
}

// The record's bytes: the fields, then their checksum, which tells a whole record from one
// that the disk lost part of.
QByteArray encode(const TRecord& record) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << kMagic << kVersion << record.target << record.device << record.inode << record.text;
    return bytes + checksum(bytes);
}

std::optional<TRecord> decode(const QByteArray& bytes) {
    const QByteArrayView fields =
        QByteArrayView(bytes).chopped(std::min<qsizetype>(kChecksumBytes, bytes.size()));
    if (bytes.size() < kChecksumBytes || checksum(fields) != bytes.right(kChecksumBytes))
        return std::nullopt;
    QDataStream in(fields.toByteArray());
    in.setVersion(QDataStream::Qt_6_0);
    quint32 magic = 0, version = 0;
    TRecord record;
    in >> magic >> version >> record.target >> record.device >> record.inode >> record.text;
    if (in.status() != QDataStream::Ok || magic != kMagic || version != kVersion)
        return std::nullopt;
    return record;
}

QByteArray stateFolder() { return QFile::encodeName(fw::stateFolder()); }

QByteArray recordPath(const QByteArray& folder, const QByteArray& target) {
    return folder + '/' + checksum(target).toHex() + ".index-save";
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

// Writes the record's content into its file, if the file there is still the one it was
// written for. False when that is so and the file cannot take the content now.
bool replay(const TRecord& record) {
    struct stat now {};
    if (::stat(record.target.constData(), &now) != 0) return errno == ENOENT || errno == ENOTDIR;
    if (quint64(now.st_dev) != record.device || quint64(now.st_ino) != record.inode) return true;
    TFileDescriptor file{::open(record.target.constData(), O_WRONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0 || ::fstat(file.fd, &now) != 0 || quint64(now.st_dev) != record.device ||
        quint64(now.st_ino) != record.inode)
        return false;
    return WriteWholeAt(file.fd, record.text) &&
           ::ftruncate(file.fd, off_t(record.text.size())) == 0 && ::fsync(file.fd) == 0 &&
           ::close(std::exchange(file.fd, -1)) == 0;
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
                                const QByteArray& text) {
    const QByteArray folder = stateFolder();
    if (!makeFolder(folder)) return TJournalWrite::NoFolder;
    const TRecord record{target, quint64(file.st_dev), quint64(file.st_ino), text};
    return commit(folder, recordPath(folder, target), encode(record));
}

void RemoveIndexJournal(const QByteArray& target) {
    const QByteArray folder = stateFolder();
    if (::unlink(recordPath(folder, target).constData()) == 0) SyncFolder(folder);
}

bool FinishInterruptedIndexSave(const QByteArray& target) {
    const QByteArray folder = stateFolder();
    const QByteArray path = recordPath(folder, target);
    ::unlink((path + ".new").constData());  // its save never touched the file
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly)) return !file.exists();
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) return false;
    file.close();
    const std::optional<TRecord> record = decode(bytes);
    // A record that is not whole was never committed, since a record is synced before it is
    // renamed into place: its save did not touch the file.
    if (record && record->target == target && !replay(*record)) return false;
    RemoveIndexJournal(target);
    return true;
}
