#include "SourceTestSupport.h"

#include "Barcode.h"

#include <gtest/gtest.h>

namespace sourcetest {

std::unique_ptr<mci::MediaSource> openOrFail(const QString& path)
{
    auto opened = mci::MediaSource::open(path, {});
    if (auto* failure = std::get_if<mci::OpenFailure>(&opened)) {
        ADD_FAILURE() << "cannot open " << path.toStdString() << ": " << failure->code << " "
                      << failure->text.toStdString();
        return nullptr;
    }
    return std::move(std::get<std::unique_ptr<mci::MediaSource>>(opened));
}

MCIERROR openFailureCode(const QString& path, const mci::OpenProgress& progress)
{
    auto opened = mci::MediaSource::open(path, progress);
    if (auto* failure = std::get_if<mci::OpenFailure>(&opened)) {
        EXPECT_FALSE(failure->text.isEmpty()) << "code " << failure->code << " has no text";
        return failure->code;
    }
    return 0;
}

int barcodeOf(mci::MediaSource& source, int n)
{
    const auto frame = source.frame(n);
    if (!frame)
        return -1;
    // Half size: scaling is part of what is tested, and smaller pictures convert faster.
    const QSize size = source.info().naturalSize / 2;
    // The source's own idea of the number must agree with what it was asked for.
    EXPECT_EQ(frame->number(), n);
    return fixtures::readFrameNumber(frame->toImage(size));
}

const MatrixClip kMatrix[10] = {
    {fixtures::ClipKind::Mpeg1Mpg, "Mpeg1Mpg"},     {fixtures::ClipKind::Mpeg1Avi, "Mpeg1Avi"},
    {fixtures::ClipKind::Mpeg1Elementary, "Mpeg1Elementary"}, {fixtures::ClipKind::MjpegAvi, "MjpegAvi"},
    {fixtures::ClipKind::H264Mp4, "H264Mp4"},       {fixtures::ClipKind::H264Mkv, "H264Mkv"},
    {fixtures::ClipKind::H264VfrMkv, "H264VfrMkv"}, {fixtures::ClipKind::Mpeg2Ts, "Mpeg2Ts"},
    {fixtures::ClipKind::WithSound, "WithSound"},   {fixtures::ClipKind::Anamorphic, "Anamorphic"},
};

bool longRun()
{
    return qEnvironmentVariable("TAVOLEN_LONG") == QLatin1String("1");
}

CacheFolder::CacheFolder()
    : m_previous(qgetenv("XDG_CACHE_HOME")), m_hadPrevious(qEnvironmentVariableIsSet("XDG_CACHE_HOME"))
{
    qputenv("XDG_CACHE_HOME", m_dir.path().toUtf8());
}

CacheFolder::~CacheFolder()
{
    if (m_hadPrevious)
        qputenv("XDG_CACHE_HOME", m_previous);
    else
        qunsetenv("XDG_CACHE_HOME");
}

}  // namespace sourcetest
