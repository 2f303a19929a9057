#include "MappedFile.h"

#include "LargePages.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <mutex>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mci {

namespace {

// Where a mapping's pages begin.
constexpr qint64 pageStart(qint64 position)
{
    return position & ~qint64(kPage - 1);
}

// Where the thread's innermost readMapped() takes up again after a fault; null outside one.
thread_local sigjmp_buf* t_escape = nullptr;
struct sigaction s_previous {};

void onBusError(int signal, siginfo_t* info, void* context)
{
    // BUS_ADRERR: a page of a mapping with no file behind it any more.
    if (t_escape && info->si_code == BUS_ADRERR)
        siglongjmp(*t_escape, 1);
    // Not ours: as it would have gone without this handler.
    if (s_previous.sa_flags & SA_SIGINFO) {
        s_previous.sa_sigaction(signal, info, context);
    } else if (s_previous.sa_handler != SIG_IGN && s_previous.sa_handler != SIG_DFL) {
        s_previous.sa_handler(signal);
    } else {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigaction(SIGBUS, &fallback, nullptr);
        raise(SIGBUS);
    }
}

void catchBusErrors()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &s_previous);
    });
}

}  // namespace

MappedFile::MappedFile(const QString& path) : m_file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC))
{
    struct stat status {};
    if (m_file < 0 || ::fstat(m_file, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0)
        return;
    m_size = status.st_size;
    void* data = mmap(nullptr, size_t(m_size), PROT_READ, MAP_PRIVATE, m_file, 0);
    m_data = data != MAP_FAILED ? static_cast<uint8_t*>(data) : nullptr;
}

MappedFile::~MappedFile()
{
    if (m_data)
        munmap(m_data, size_t(m_size));
    if (m_file >= 0)
        ::close(m_file);
}

bool MappedFile::read(qint64 position, void* into, qint64 count) const
{
    auto* at = static_cast<char*>(into);
    while (count > 0) {
        const ssize_t read = ::pread(m_file, at, size_t(count), off_t(position));
        if (read < 0 && errno == EINTR)
            continue;
        if (read <= 0)
            return false;
        at += read;
        position += read;
        count -= read;
    }
    return true;
}

bool MappedFile::mapIn(qint64 from, qint64 until) const
{
    from = pageStart(std::clamp<qint64>(from, 0, m_size));
    until = std::clamp<qint64>(until, from, m_size);
    if (!m_data || until == from)
        return true;
    // A kernel without the call (before Linux 5.14) faults the pages in as they are read.
    return madvise(m_data + from, size_t(until - from), MADV_POPULATE_READ) == 0 || errno == EINVAL;
}

void MappedFile::letGoBefore(qint64 position)
{
    constexpr qint64 kMostKept = 32 << 20;
    position = pageStart(std::clamp<qint64>(position, 0, m_size));
    if (m_kept < 0 || position < m_kept) {
        m_kept = position;  // read from here on; or, going back, what lies before stays
    } else if (m_data && position - m_kept > kMostKept) {
        madvise(m_data + m_kept, size_t(position - m_kept), MADV_DONTNEED);
        m_kept = position;
    }
}

bool readMapped(const std::function<bool()>& work)
{
    catchBusErrors();
    sigjmp_buf escape;
    sigjmp_buf* const outer = t_escape;
    // The signal mask is kept: the handler's return by jump must not leave SIGBUS blocked.
    if (sigsetjmp(escape, 1) != 0) {
        t_escape = outer;
        return false;
    }
    t_escape = &escape;
    try {
        const bool done = work();
        t_escape = outer;
        return done;
    } catch (...) {
        t_escape = outer;
        throw;
    }
}

}  // namespace mci
