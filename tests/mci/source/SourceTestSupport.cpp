#include "SourceTestSupport.h"

#include "Barcode.h"
#include "MediaReader.h"

#include <gtest/gtest.h>

#include <map>

namespace sourcetest {

std::unique_ptr<mci::Demuxer> openDemuxer(const QString& path, mci::EditLists editLists)
{
    auto opened = mci::Demuxer::open(path, editLists);
    auto* demuxer = std::get_if<std::unique_ptr<mci::Demuxer>>(&opened);
    return demuxer ? std::move(*demuxer) : nullptr;
}

std::vector<mci::PacketEntry> demuxedPackets(const QString& path)
{
    auto demuxer = openDemuxer(path);
    if (!demuxer)
        return {};
    auto read = mci::scanThroughDemuxer(*demuxer, {});
    auto* scan = std::get_if<mci::ContainerScan>(&read);
    return scan ? std::move(scan->packets) : std::vector<mci::PacketEntry>{};
}

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

using Kind = fixtures::ClipKind;
using Times = MatrixClip::Times;

const std::vector<MatrixClip> kMatrix = {
    {Kind::Mpeg1Mpg, "Mpeg1Mpg"},
    {Kind::Mpeg1Avi, "Mpeg1Avi"},
    {Kind::Mpeg1Elementary, "Mpeg1Elementary"},
    {Kind::MjpegAvi, "MjpegAvi"},
    {Kind::H264Mp4, "H264Mp4", Times::Stamps},
    {Kind::H264Mkv, "H264Mkv"},
    {Kind::H264VfrMkv, "H264VfrMkv", Times::Stamps},
    {Kind::Mpeg2Ts, "Mpeg2Ts"},
    {Kind::WithSound, "WithSound"},
    {Kind::Anamorphic, "Anamorphic"},
    {Kind::PackedAvi, "PackedAvi"},
    {Kind::Portrait, "Portrait"},
    {Kind::MirroredTurn, "MirroredTurn"},
    {Kind::CutTs, "CutTs"},
    {Kind::JoinedTs, "JoinedTs"},
    {Kind::JoinedPs, "JoinedPs"},
    {Kind::PicturelessMp4, "PicturelessMp4", Times::Stamps},
    {Kind::LongStill, "LongStill", Times::Stamps},
    {Kind::TinyTimeBase, "TinyTimeBase", Times::Nominal},
    {Kind::TruncatedTs, "TruncatedTs", Times::Any, true},
    {Kind::Cinepak, "Cinepak"},
    {Kind::MsVideo1, "MsVideo1"},
    {Kind::MsMpeg4, "MsMpeg4"},
    {Kind::Theora, "Theora"},
    {Kind::Vp8, "Vp8"},
    {Kind::Vp9Live, "Vp9Live"},
    {Kind::Av1, "Av1"},
    {Kind::Hevc10OpenGop, "Hevc10OpenGop"},
    {Kind::ProRes, "ProRes"},
    {Kind::Wmv, "Wmv"},
    {Kind::Flv, "Flv"},
    {Kind::H263In3gp, "H263In3gp"},
    {Kind::H263Avi, "H263Avi"},
    {Kind::H263PlusAvi, "H263PlusAvi"},
    {Kind::Dv, "Dv"},
    {Kind::InterlacedTs, "InterlacedTs"},
    {Kind::PyramidM2ts, "PyramidM2ts"},
    {Kind::FragmentedMp4, "FragmentedMp4"},
    {Kind::EditListMp4, "EditListMp4"},
    {Kind::CutOpenGopMp4, "CutOpenGopMp4"},
    {Kind::H264Avi, "H264Avi"},
    {Kind::H264Bare, "H264Bare"},
    {Kind::HevcBare, "HevcBare"},
    {Kind::H264Asf, "H264Asf"},
    {Kind::H264Mxf, "H264Mxf"},
    {Kind::RestartedMkv, "RestartedMkv"},
    {Kind::RestartedAtKeyMkv, "RestartedAtKeyMkv"},
    {Kind::RestartedFlv, "RestartedFlv"},
    {Kind::RestartedFragmentedMp4, "RestartedFragmentedMp4"},
    {Kind::RestartedHevcMkv, "RestartedHevcMkv"},
    {Kind::RestartedMpeg2Mkv, "RestartedMpeg2Mkv"},
    {Kind::ResizedJoinTs, "ResizedJoinTs"},
    {Kind::ChainedOgg, "ChainedOgg"},
    {Kind::H261Avi, "H261Avi"},
};

const Reference& referenceOf(const QString& path)
{
    static std::map<QString, Reference> decoded;
    auto [at, added] = decoded.try_emplace(path);
    if (!added)
        return at->second;
    QString error;
    const bool read = fixtures::decodeVideo(
        path,
        [&](const fixtures::DecodedFrame& frame) {
            at->second.numbers.push_back(fixtures::readFrameNumber(frame.image));
            at->second.ptsMs.push_back(frame.ptsMs);
            // A joined recording whose pictures change size is shown at its first one's.
            if (!at->second.shownSize.isValid())
                at->second.shownSize = frame.shownSize;
            return true;
        },
        &error);
    EXPECT_TRUE(read) << error.toStdString();
    return at->second;
}

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
