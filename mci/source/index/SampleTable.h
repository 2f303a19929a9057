// The frame index from a container's own table of its samples, without reading a frame.
//
// MP4/MOV list every sample (decode time, size, position, sync flag) in their movie header,
// and AVI every chunk in its index; the demuxer reads those tables when the file opens. The
// presentation time of an MP4 sample adds its composition offset, which the demuxer keeps to
// itself: it is read here from the track's own table. Any sample may hold no picture (a
// damaged access unit): the first bytes of every one are read, as the reading through looks
// at them, which for a long file of small samples is most of the file.
//
// Fragmented MP4 (no complete table), compressed movie headers, edit lists of more than one
// segment, and AVI whose pictures' order follows from their kinds (MPEG with B-pictures) or
// their slice headers (H.264 with pictures held back) give CannotScan: those files are read
// through. The result names packets by their decode time; the open checks it against the
// packets the demuxer gives before it trusts it.
//
// One thread at a time; reads the file, on threads of its own, but does not move the demuxer.
#pragma once

#include "ContainerScan.h"
#include "Demuxer.h"

#include <QString>

#include <memory>

namespace mci {

class SampleHeadsAhead;

// Cancelled where progress answers false, which it is asked on the calling thread. ahead: a
// reading of the same file's samples begun before the demuxer opened it, or none.
ContainerScan readSampleTable(const QString& path, const Demuxer& demuxer, const OpenProgress& progress,
                              SampleHeadsAhead* ahead = nullptr);

// The first bytes of every sample of a movie file's video track (H.264, HEVC), read from the
// file's own tables on threads of their own while the demuxer opens the file: in a long file of
// small samples each takes about as long as the other, and one after the other they were most
// of the open. readSampleTable takes what was read where the demuxer then lists the same samples
// at the same places, under the same codec headers; anywhere else it reads the samples itself.
class SampleHeadsAhead {
public:
    // Starts where the file begins as a movie file does; else holds nothing.
    explicit SampleHeadsAhead(const QString& path);
    // Stops the reading and waits for it.
    ~SampleHeadsAhead();
    SampleHeadsAhead(const SampleHeadsAhead&) = delete;
    SampleHeadsAhead& operator=(const SampleHeadsAhead&) = delete;

    // Where the open needs no samples read (a kept index, a sound): stops the reading, whose end
    // the destructor waits for.
    void stop();
    // Whether readSampleTable took what was read.
    bool taken() const { return m_taken; }
    // How the demuxer may read the file's edit lists: simply where no video track's edit cuts a
    // picture away (each has no edit list, or one edit at the normal rate from its first picture
    // shown to past its last), fully anywhere else, and where the tables do not add up.
    EditLists editLists() const { return m_editLists; }

    struct Found;
    struct Reading;

private:
    friend ContainerScan readSampleTable(const QString&, const Demuxer&, const OpenProgress&, SampleHeadsAhead*);
    // Wait for the track with its samples placed, and then for the heads of those samples,
    // asking progress on the calling thread: the track, or nullptr where the reading found none;
    // whether every head was read. Neither where it was cancelled (then *cancelled is true).
    const Found* placed(const OpenProgress& progress, bool* cancelled);
    bool headsRead(const OpenProgress& progress, bool* cancelled);

    std::unique_ptr<Reading> m_reading;
    const Found* m_placed = nullptr;
    bool m_headsRead = false;
    bool m_taken = false;
    EditLists m_editLists = EditLists::Full;
};

}  // namespace mci
