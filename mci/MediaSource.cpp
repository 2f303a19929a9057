#include "MediaSource.h"

#include "SourceErrors.h"

namespace mci {

struct DecodedFrame::Data {};

DecodedFrame::DecodedFrame(std::unique_ptr<Data> data) : m_data(std::move(data)) {}
DecodedFrame::~DecodedFrame() = default;
int DecodedFrame::number() const { return 0; }
qint64 DecodedFrame::ptsUs() const { return 0; }
QSize DecodedFrame::size() const { return {}; }
QImage DecodedFrame::toImage(QSize) const { return {}; }

std::variant<std::unique_ptr<MediaSource>, OpenFailure> MediaSource::open(const QString&, const OpenProgress&)
{
    return OpenFailure{MCIERR_INVALID_FILE, sourceErrorText(MCIERR_INVALID_FILE)};
}

}  // namespace mci
