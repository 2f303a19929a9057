#include "ProcessStats.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <QFile>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace bench {

namespace {

QString procFile(qint64 pid, const char* name) {
    return pid == 0 ? QStringLiteral("/proc/self/%1").arg(QLatin1String(name))
                    : QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name));
}

// The number after "key" in a file of "key: value" lines (status in kB, io in bytes).
qint64 field(qint64 pid, const char* file, const char* key) {
    QFile in(procFile(pid, file));
    if (!in.open(QIODevice::ReadOnly)) return -1;
    const QByteArray wanted = QByteArray(key) + ':';
    for (const QByteArray& line : in.readAll().split('\n')) {
        if (!line.startsWith(wanted)) continue;
        bool ok = false;
        const qint64 value = line.mid(wanted.size()).trimmed().split(' ').value(0).toLongLong(&ok);
        return ok ? value : -1;
    }
    return -1;
}

// Fraction of the file's pages in the page cache, -1 when it cannot be told.
double cachedShare(int fd, qint64 size) {
    if (size <= 0) return 0;
    void* map = mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return -1;
    const long page = sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> resident(size_t((size + page - 1) / page));
    const bool ok = mincore(map, size_t(size), resident.data()) == 0;
    munmap(map, size_t(size));
    if (!ok) return -1;
    std::size_t cached = 0;
    for (const unsigned char r : resident) cached += r & 1;
    return double(cached) / double(resident.size());
}

}  // namespace

qint64 residentKB(qint64 pid) { return field(pid, "status", "VmRSS"); }

qint64 peakResidentKB(qint64 pid) { return field(pid, "status", "VmHWM"); }

bool resetPeakResident(qint64 pid) {
    QFile clear(procFile(pid, "clear_refs"));
    // 5 resets only the peak of resident memory; the other values would clear page flags.
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

ReadCounts readCounts(qint64 pid) {
    return ReadCounts{field(pid, "io", "rchar"), field(pid, "io", "read_bytes")};
}

bool readThrough(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    std::vector<char> buffer(std::size_t(1) << 20);
    while (file.read(buffer.data(), qint64(buffer.size())) > 0) {
    }
    return file.error() == QFileDevice::NoError;
}

double readThroughInParts(const QString& path, int parts) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const off_t size = lseek(fd, 0, SEEK_END);
    std::atomic<bool> failed{false};
    const auto readPart = [&](int k) {
        std::vector<char> buffer(std::size_t(1) << 20);
        const off_t until = size * (k + 1) / parts;
        for (off_t at = size * k / parts; at < until;) {
            const ssize_t read = pread(fd, buffer.data(), std::min<off_t>(off_t(buffer.size()), until - at), at);
            if (read <= 0) {
                failed = true;
                return;
            }
            at += read;
        }
    };
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> others;
    for (int k = 1; k < parts; ++k) others.emplace_back(readPart, k);
    readPart(0);
    for (std::thread& other : others) other.join();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    ::close(fd);
    return failed ? -1 : ms;
}

bool dropFromPageCache(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const qint64 size = lseek(fd, 0, SEEK_END);
    // Pages not yet written back cannot be dropped; a clip just written has some.
    fdatasync(fd);
    const bool advised = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    const double left = cachedShare(fd, size);
    ::close(fd);
    return advised && left >= 0 && left <= 0.01;
}

}  // namespace bench
