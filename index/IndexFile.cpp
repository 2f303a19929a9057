#include "IndexFile.h"

#include "Exception.h"
#include "IndexFileJournal.h"

#include <QFile>
#include <optional>
#include <utility>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string utf8(const QString& text) { return text.toUtf8().toStdString(); }

// The path with every link resolved, when it names something.
std::optional<QByteArray> realPath(const QByteArray& path) {
    char* resolved = ::realpath(path.constData(), nullptr);
    if (!resolved) return std::nullopt;
    QByteArray real(resolved);
    std::free(resolved);
    return real;
}

// The folder a path names a file in.
QByteArray folderOf(const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0) return ".";
    return slash == 0 ? QByteArray("/") : path.left(slash);
}

// The replacement keeps the owner, group and permissions of the file it replaces, as far as
// we may give them (only root gives a file away; a group must be one of ours); a new file
// gets the usual permissions. The owner comes first: changing it drops set-id bits.
void takeOverAttributes(int fd, const QByteArray& target) {
    struct stat existing {};
    if (::stat(target.constData(), &existing) != 0) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        return;
    }
    // Where the owner cannot be kept, the group may be; else the file becomes ours, as any
    // file we create does.
    [[maybe_unused]] const bool kept = ::fchown(fd, existing.st_uid, existing.st_gid) == 0 ||
                                       ::fchown(fd, uid_t(-1), existing.st_gid) == 0;
    ::fchmod(fd, existing.st_mode & 07777);
}

// An existing file that is marked read-only, or that we may not write. Replacing it through a
// sibling would only need the folder's permission and so would override the file's own.
bool protectedFile(const QByteArray& target) {
    struct stat existing {};
    if (::stat(target.constData(), &existing) != 0 || !S_ISREG(existing.st_mode)) return false;
    return (existing.st_mode & 0222) == 0 || ::access(target.constData(), W_OK) != 0;
}

// A folder we may not create files in, holding an index file we may write: the save goes into
// the file itself, and no failure may leave it torn. A copy of the new content goes first into
// the state folder, from which a load finishes the save should the process die before it is
// done. The room for the content is reserved before a byte changes (a full disk then refuses
// at once), and should the write fail all the same (an I/O error, a file system that copies on
// write), the old bytes go back. A file we may write but not read, or one beyond the size
// limit, has no copy to put back: its save is then left for the next load to finish.
template <typename CannotCreate>
void saveInPlace(const QByteArray& target, const QByteArray& text, const CannotCreate& cannotCreate) {
    TFileDescriptor file{::open(target.constData(), O_RDWR | O_CLOEXEC)};
    if (file.fd < 0) file.fd = ::open(target.constData(), O_WRONLY | O_CLOEXEC);
    struct stat before {};
    if (file.fd < 0 || ::fstat(file.fd, &before) != 0 || !S_ISREG(before.st_mode))
        throw cannotCreate();
    const std::optional<QByteArray> old = ReadWholeAt(file.fd, before.st_size);
    switch (WriteIndexJournal(target, before, old, text)) {
        case TJournalWrite::Committed:
            break;
        case TJournalWrite::NoFolder:
            throw cannotCreate();
        case TJournalWrite::Failed:
            throw EWriteError("ストリームへの書き込みエラー");
    }
    bool changed = false;
    const auto restore = [&] {
        const bool restored = (!changed || (old && WriteWholeAt(file.fd, *old))) &&
                              ::ftruncate(file.fd, before.st_size) == 0 && ::fsync(file.fd) == 0;
        if (restored) RemoveIndexJournal(target);
        return EWriteError("ストリームへの書き込みエラー");
    };
    if (!text.isEmpty() && ::posix_fallocate(file.fd, 0, off_t(text.size())) != 0) throw restore();
    PassIndexSaveStep(TIndexSaveStep::SpaceReserved);
    changed = true;
    if (!WriteWholeAt(file.fd, text)) throw restore();
    PassIndexSaveStep(TIndexSaveStep::Written);
    if (::ftruncate(file.fd, off_t(text.size())) != 0 || ::fsync(file.fd) != 0) throw restore();
    PassIndexSaveStep(TIndexSaveStep::Synced);
    const int fd = std::exchange(file.fd, -1);
    if (::close(fd) != 0) throw EWriteError("ストリームへの書き込みエラー");
    RemoveIndexJournal(target);
}

// Writes a sibling file and renames it over the old one, so that the old index survives any
// failure. (Buffered writers are no good here: a short write on a full disk can come back as
// success when they flush.) False when the folder will not let us do that but may let us write
// the file itself: no file may be created there, or, in a sticky folder, the file is another
// user's.
template <typename CannotCreate>
bool saveBeside(const QByteArray& target, const QByteArray& text,
                const CannotCreate& cannotCreate) {
    const QByteArray folder = folderOf(target);
    // A short name of its own: the index's name may be as long as a name can be.
    QByteArray temporary = folder + "/.tavolen-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM) return false;
        throw cannotCreate();
    }
    takeOverAttributes(fd, target);
    const bool written = WriteWholeAt(fd, text) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written) {
        ::unlink(temporary.constData());
        throw EWriteError("ストリームへの書き込みエラー");
    }
    PassIndexSaveStep(TIndexSaveStep::TemporaryWritten);
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        if (error == EACCES || error == EPERM) return false;
        throw cannotCreate();
    }
    PassIndexSaveStep(TIndexSaveStep::Renamed);
    // Until the folder is synced, the rename itself may not outlive a power loss.
    const bool lasting = SyncFolder(folder);
    // A copy left by a save in place cut short belongs to the file just replaced; the file
    // system may give its number to a later file of the same name, which the copy would take
    // for its own.
    if (const auto real = realPath(target)) RemoveIndexJournal(*real);
    if (!lasting) throw EWriteError("ストリームへの書き込みエラー");
    return true;
}

// Calls line(start, length) for each line of the text: CR LF, a lone LF and a lone CR end a
// line; a NUL byte ends the text. The call may overwrite the bytes of its line and any before.
template <typename Line>
void forEachLine(const char* text, qsizetype size, const Line& line) {
    const char* p = text;
    const char* end = text + size;
    while (p < end && *p != '\0') {
        const char* start = p;
        while (p < end && *p != '\r' && *p != '\n' && *p != '\0') ++p;
        line(start, p - start);
        if (p < end && *p == '\r') ++p;
        if (p < end && *p == '\n') ++p;
    }
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

std::optional<std::int32_t> parseDecimal(const char* p, const char* end) {
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    if (p == end) return std::nullopt;
    std::int64_t value = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        if (value > 214748364) return std::nullopt;
        value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    if (value > 2147483647 || value < -2147483648ll) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::optional<std::int32_t> parseHex(const char* p, const char* end) {
    if (p == end) return std::nullopt;
    std::uint32_t value = 0;
    for (; p < end; ++p) {
        if (!isHexDigit(*p) || value > 0x0FFFFFFFu) return std::nullopt;
        value = value * 16 + std::uint32_t(hexValue(*p));
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

QString IndexFileName(const QString& mediaPath) {
    return mediaPath.left(std::max<qsizetype>(0, mediaPath.size() - 4)) + QStringLiteral(".idx");
}

void SaveIndexFile(const TIndexEntries& entries, const QString& path) {
    QByteArray text;
    text.reserve(entries.totalBytes() + 2 * entries.size());
    for (qsizetype i = 0; i < entries.size(); ++i) text.append(entries.view(i)).append("\r\n", 2);

    // A link keeps pointing at its index: the sibling goes beside the file it names, since a
    // rename over the link itself would replace the link and leave that file as it was.
    const QByteArray target = realPath(QFile::encodeName(path)).value_or(QFile::encodeName(path));
    const auto cannotCreate = [&] {
        return EFCreateError(fw::format("ファイル %s を作成できません", utf8(path).c_str()));
    };
    if (protectedFile(target)) throw cannotCreate();
    if (!saveBeside(target, text, cannotCreate)) saveInPlace(target, text, cannotCreate);
}

TIndexEntries SplitIndexLines(QByteArray text) {
    // Counted first, so the lengths are allocated once; then each line moves down over the
    // line ends before it, inside the text's own buffer.
    qsizetype count = 0;
    forEachLine(text.constData(), text.size(), [&](const char*, qsizetype) { ++count; });
    const qsizetype size = text.size();
    TIndexEntries lines;
    const char* kept = lines.adopt(std::move(text));
    lines.reserve(count, 0);
    forEachLine(kept, size, [&](const char* start, qsizetype length) {
        lines.append(QByteArrayView(start, length));
    });
    return lines;
}

TIndexEntries LoadIndexFile(const QString& path) {
    QFile file(path);
    const auto cannotOpen = [&] {
        return EFOpenError(fw::format("ファイル %s は開けません", utf8(path).c_str()));
    };
    const auto target = realPath(QFile::encodeName(path));
    if (target && !FinishInterruptedIndexSave(*target)) throw cannotOpen();
    if (!file.open(QIODevice::ReadOnly)) throw cannotOpen();
    if (file.size() > kMaxIndexFileBytes) throw cannotOpen();
    QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError) throw cannotOpen();
    return SplitIndexLines(std::move(text));
}

std::int32_t EntryTextToFrame(const QByteArray& entry) {
    const char* p = entry.constData();
    const char* end = p + entry.size();
    while (p < end && *p == ' ') ++p;
    std::optional<std::int32_t> value;
    const qsizetype left = end - p;
    if (left >= 1 && (*p == '$' || *p == 'x' || *p == 'X'))
        value = parseHex(p + 1, end);
    else if (left >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        value = parseHex(p + 2, end);
    else
        value = parseDecimal(p, end);
    if (!value)
        throw EConvertError(fw::format("'%s' は整数ではありません", entry.toStdString().c_str()));
    return *value;
}

QByteArray FrameToEntry(std::int32_t frame) { return QByteArray::number(frame); }
