// Helpers shared by the media source tests.
#pragma once

#include "ContainerScan.h"
#include "Demuxer.h"
#include "MediaGenerator.h"
#include "MediaSource.h"

#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace sourcetest {

// The demuxer of a file, nullptr where it does not open.
std::unique_ptr<mci::Demuxer> openDemuxer(const QString& path, mci::EditLists editLists = mci::EditLists::Full);
// Every packet of the video stream as the index pass reads it through the demuxer; none where
// the file does not open.
std::vector<mci::PacketEntry> demuxedPackets(const QString& path);

// Opens a file, failing the test (and returning nullptr) when the open fails.
std::unique_ptr<mci::MediaSource> openOrFail(const QString& path);
// The open's failure code, or 0 when the open succeeded.
MCIERROR openFailureCode(const QString& path, const mci::OpenProgress& progress = {});
// The number in frame n's barcode, -1 when there is no frame or no readable barcode.
int barcodeOf(mci::MediaSource& source, int n);
// The video clips every exactness rule is checked on, with their names for test names: the
// standard clips, then the kinds of files people keep.
struct MatrixClip {
    enum class Times { Any, Stamps, Nominal };
    fixtures::ClipKind kind;
    const char* name;
    // What the frame times must be besides rising: the file's own stamps (a long still, a
    // variable rate), or the nominal rate (stamps absurd as a whole).
    Times times = Times::Any;
    // The file ends in a damaged picture, which the decoder patches up from whatever it decoded
    // before: reached another way, it may look a little different.
    bool endsDamaged = false;
};
extern const std::vector<MatrixClip> kMatrix;

// What an independent decode of the whole file shows, frame by frame: the number each picture
// carries (-1 where none can be read) and its time, and the size a picture is shown at.
struct Reference {
    std::vector<int> numbers;
    std::vector<qint64> ptsMs;
    QSize shownSize;
};
// Decoded once per process and path.
const Reference& referenceOf(const QString& path);

// Whether the long runs were asked for (TAVOLEN_LONG=1).
bool longRun();

// Every test runs with the index cache in a folder of its own, so runs never share entries
// and nothing is left in the user's cache.
class CacheFolder {
public:
    CacheFolder();
    ~CacheFolder();
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

}  // namespace sourcetest
