// Helpers shared by the media source tests.
#pragma once

#include "MediaGenerator.h"
#include "MediaSource.h"

#include <QTemporaryDir>

#include <memory>

namespace sourcetest {

// Opens a file, failing the test (and returning nullptr) when the open fails.
std::unique_ptr<mci::MediaSource> openOrFail(const QString& path);
// The open's failure code, or 0 when the open succeeded.
MCIERROR openFailureCode(const QString& path, const mci::OpenProgress& progress = {});
// The number in frame n's barcode, -1 when there is no frame or no readable barcode.
int barcodeOf(mci::MediaSource& source, int n);
// The video clips every exactness rule is checked on, with their names for test names.
struct MatrixClip {
    fixtures::ClipKind kind;
    const char* name;
};
extern const MatrixClip kMatrix[10];

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
