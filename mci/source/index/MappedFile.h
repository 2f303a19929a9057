// A file mapped for reading, for scans that look at a few bytes of each of many samples spread
// over a large file: the first bytes of every sample of a two-hour MP4. Read through a buffer,
// the kernel copied every byte first, most of them never looked at; through a mapping only the
// bytes looked at are read. (A scan that reads every byte, as the transport stream scan does,
// and the Matroska scan where the codec's parser reads every frame, goes no faster through a
// mapping: mapping the pages costs what the kernel's copy did.)
//
// Where another program shortens the file while it is mapped, a read past its new end faults
// (SIGBUS). Reads of a mapping go through readMapped(), which turns that fault into a failed
// reading instead of the end of the program.
//
// Threads: any; each mapping read by one thread at a time.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>

namespace mci {

class MappedFile {
public:
    // Not open where the file cannot be opened, or is no regular file with bytes; not mapped
    // where its file system cannot map it either (read() still reads it).
    explicit MappedFile(const QString& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool isOpen() const { return m_size > 0; }
    bool isMapped() const { return m_data != nullptr; }
    // The file's bytes as they were when mapped; read them only inside readMapped().
    const uint8_t* data() const { return m_data; }
    qint64 size() const { return m_size; }
    // Maps the pages of bytes from..until in one call, ahead of reading them, where each first
    // read of a stretch of pages would fault on its own; from the disk where they are not in
    // memory yet. False where the file no longer holds them.
    bool mapIn(qint64 from, qint64 until) const;
    // Copies count bytes at position from the file itself, not the mapping, as read(2) does;
    // false where the file does not hold them.
    bool read(qint64 position, void* into, qint64 count) const;
    // Where the file is read forward: unmaps the pages read before position, which stay in the
    // system's cache of the file. Pages once read stay mapped, and a long file's would all count
    // as this program's memory. Many are let go of at a time: each letting go interrupts every
    // core the program runs on. One reader at a time.
    void letGoBefore(qint64 position);

private:
    int m_file = -1;
    uint8_t* m_data = nullptr;
    qint64 m_size = 0;
    qint64 m_kept = -1;  // where the pages not let go of begin; -1 before the first read
};

// What work returns, or false where a read of a mapping faulted because the file shrank under
// it: work is then left where it stood, without unwinding. So, between its start and any read of
// a mapping, work must own nothing that needs releasing (no locks taken, nothing allocated
// that only its own locals hold).
bool readMapped(const std::function<bool()>& work);

}  // namespace mci
