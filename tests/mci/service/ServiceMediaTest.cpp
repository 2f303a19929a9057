// The whole service on generated clips: the frame on screen is the frame the position reports
// after seeks, steps and pauses; play to the end; sound-only files; no sound device; the
// progress window, its cancel and the index cache on a large file.
#include "FakeMedia.h"

#include "Barcode.h"
#include "Device.h"
#include "MediaGenerator.h"
#include "MediaReader.h"
#include "MediaService.h"
#include "SourceAdapter.h"
#include "SourceCounters.h"
#include "SourceErrors.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <random>

using namespace servicetest;
using fixtures::ClipKind;

namespace {

// A private index cache for the run, so no entry written by another build or run can decide
// what these tests see.
class PrivateCache final : public ::testing::Environment {
public:
    void SetUp() override {
        m_previous = qgetenv("XDG_CACHE_HOME");
        qputenv("XDG_CACHE_HOME", m_dir.path().toUtf8());
    }
    void TearDown() override { qputenv("XDG_CACHE_HOME", m_previous); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
};
[[maybe_unused]] ::testing::Environment* const privateCache =
    ::testing::AddGlobalTestEnvironment(new PrivateCache);

// The real service with the real source, silent, on the steady clock.
class RealService {
public:
    explicit RealService(mci::SourceOpener opener = &mci::openMediaFile) {
        mci::ServiceParts parts;
        parts.openSource = std::move(opener);
        parts.sourceErrorText = &mci::sourceErrorText;
        parts.openAudio = [] { return std::make_unique<mci::NullAudioOutput>(); };
        m_service = std::make_unique<mci::Service>(std::move(parts));
        m_previous = mciInstallService(m_service.get());
    }
    ~RealService() { mciInstallService(m_previous); }
    mci::Service& service() { return *m_service; }

private:
    std::unique_ptr<mci::Service> m_service;
    MciService* m_previous = nullptr;
};

MCIDEVICEID openFile(const QString& path, MCIERROR* error = nullptr) {
    const QByteArray name = path.toUtf8();
    MCI_OPEN_PARMS parms;
    parms.lpstrElementName = name.constData();
    const MCIERROR result = mciSendCommandA(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_ELEMENT, DWORD_PTR(&parms));
    if (error) *error = result;
    if (result != 0 && error == nullptr) ADD_FAILURE() << "open " << result << ": " << errorText(result).toStdString();
    return result == 0 ? parms.wDeviceID : 0;
}

DWORD status(MCIDEVICEID id, DWORD item) {
    MCI_STATUS_PARMS parms;
    parms.dwItem = item;
    EXPECT_EQ(mciSendCommandA(id, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, DWORD_PTR(&parms)), 0u);
    return DWORD(parms.dwReturn);
}

MCIERROR seek(MCIDEVICEID id, DWORD to) {
    MCI_SEEK_PARMS parms;
    parms.dwTo = to;
    return mciSendCommandA(id, MCI_SEEK, MCI_WAIT | MCI_TO, DWORD_PTR(&parms));
}

MCIERROR step(MCIDEVICEID id, int frames) {
    MCI_DGV_STEP_PARMS parms;
    parms.dwFrames = DWORD(std::abs(frames));
    return mciSendCommandA(id, MCI_STEP, MCI_WAIT | MCI_DGV_STEP_FRAMES | (frames < 0 ? MCI_DGV_STEP_REVERSE : 0),
                           DWORD_PTR(&parms));
}

MCIERROR play(MCIDEVICEID id, NotifySink& sink, DWORD from) {
    MCI_PLAY_PARMS parms;
    parms.dwCallback = sink.callback();
    parms.dwFrom = from;
    return mciSendCommandA(id, MCI_PLAY, MCI_NOTIFY | MCI_FROM, DWORD_PTR(&parms));
}

MCIERROR simple(MCIDEVICEID id, UINT command) {
    MCI_GENERIC_PARMS parms;
    return mciSendCommandA(id, command, MCI_WAIT, DWORD_PTR(&parms));
}

MCIERROR attachWindow(MCIDEVICEID id, QWidget& window) {
    MCI_DGV_WINDOW_PARMS attach;
    attach.hWnd = &window;
    return mciSendCommandA(id, MCI_WINDOW, MCI_WAIT | MCI_DGV_WINDOW_HWND, DWORD_PTR(&attach));
}

int shownFrame(mci::Service& service, MCIDEVICEID id) {
    return fixtures::readFrameNumber(service.device(id)->surface()->image());
}

QString clipOrSkip(ClipKind kind) {
    QString error;
    const QString path = fixtures::clip(kind, &error);
    EXPECT_FALSE(path.isEmpty()) << error.toStdString();
    return path;
}

struct ExactCase {
    ClipKind kind;
    const char* name;
};

void PrintTo(const ExactCase& clip, std::ostream* out) { *out << clip.name; }

class FrameOnScreen : public ::testing::TestWithParam<ExactCase> {};

// Random seeks, steps and back steps; after each the barcode on the surface names the frame
// the position reports. TAVOLEN_LONG_TESTS=1 multiplies the count.
TEST_P(FrameOnScreen, IsThePositionAfterSeeksStepsAndPauses) {
    const QString path = clipOrSkip(GetParam().kind);
    ASSERT_FALSE(path.isEmpty());
    RealService real;
    const MCIDEVICEID id = openFile(path);
    ASSERT_NE(id, 0u);
    QWidget window;
    window.resize(400, 300);
    ASSERT_EQ(attachWindow(id, window), 0u);
    EXPECT_EQ(shownFrame(real.service(), id), 0);

    const int length = int(status(id, MCI_STATUS_LENGTH));
    ASSERT_EQ(length, fixtures::clipFrameCount(GetParam().kind));
    const int rounds = qEnvironmentVariableIntValue("TAVOLEN_LONG_TESTS") ? 1000 : 30;
    std::mt19937 random(20240611u + unsigned(GetParam().kind));
    int mismatches = 0;
    for (int i = 0; i < rounds; ++i) {
        const int position = int(status(id, MCI_STATUS_POSITION));
        const int choice = int(random() % 4);
        if (choice == 0) {
            ASSERT_EQ(seek(id, random() % DWORD(length)), 0u);
        } else if (choice == 1 && position + 1 < length) {
            ASSERT_EQ(step(id, 1), 0u);
        } else if (choice == 2 && position > 0) {
            ASSERT_EQ(step(id, -1), 0u);
        } else {
            const int by = int(random() % 20) - 10;
            if (position + by < 0 || position + by >= length) continue;
            ASSERT_EQ(step(id, by), 0u);
        }
        const int reported = int(status(id, MCI_STATUS_POSITION));
        const int shown = shownFrame(real.service(), id);
        if (shown != reported) ++mismatches;
        EXPECT_EQ(shown, reported) << "round " << i;
    }
    EXPECT_EQ(mismatches, 0);

    // Playing a little and pausing leaves the frame shown and the position in agreement.
    NotifySink sink;
    ASSERT_EQ(play(id, sink, 0), 0u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return status(id, MCI_STATUS_POSITION) >= 5; }, 20000));
    ASSERT_EQ(simple(id, MCI_PAUSE), 0u);
    EXPECT_EQ(shownFrame(real.service(), id), int(status(id, MCI_STATUS_POSITION)));
    ASSERT_EQ(simple(id, MCI_CLOSE), 0u);
}

INSTANTIATE_TEST_SUITE_P(Clips, FrameOnScreen,
                         ::testing::Values(ExactCase{ClipKind::Mpeg1Mpg, "Mpeg1Mpg"},
                                           ExactCase{ClipKind::Mpeg1Avi, "Mpeg1Avi"},
                                           ExactCase{ClipKind::Mpeg1Elementary, "Mpeg1Elementary"},
                                           ExactCase{ClipKind::MjpegAvi, "MjpegAvi"},
                                           ExactCase{ClipKind::H264Mp4, "H264Mp4"},
                                           ExactCase{ClipKind::H264Mkv, "H264Mkv"},
                                           ExactCase{ClipKind::H264VfrMkv, "H264VfrMkv"},
                                           ExactCase{ClipKind::Mpeg2Ts, "Mpeg2Ts"},
                                           ExactCase{ClipKind::Portrait, "Portrait"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Holding Back from the end of a clip of two long keyframe intervals, across the keyframe
// between them: every step shows exactly its frame, and the frames before that keyframe are
// decoded ahead once, not again for every step (which would be 250 pictures a step).
TEST(ServiceMedia, HoldingBackAcrossAKeyframeShowsEveryFrameAndDecodesEachAboutOnce) {
    const QString path = clipOrSkip(ClipKind::H264Mp4);
    RealService real;
    const MCIDEVICEID id = openFile(path);
    ASSERT_NE(id, 0u);
    QWidget window;
    ASSERT_EQ(attachWindow(id, window), 0u);
    const int last = fixtures::clipFrameCount(ClipKind::H264Mp4) - 1;
    const int decodedBefore = mci::decodedFrameCount();
    ASSERT_EQ(seek(id, DWORD(last)), 0u);
    int mismatches = 0;
    for (int n = last - 1; n >= last - 120; --n) {
        ASSERT_EQ(step(id, -1), 0u);
        QTest::qWait(30);  // the pace of a key held down, which decoding behind must keep ahead of
        if (shownFrame(real.service(), id) != n && ++mismatches <= 5) ADD_FAILURE() << "a step back to " << n;
        ASSERT_EQ(status(id, MCI_STATUS_POSITION), DWORD(n));
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_LE(mci::decodedFrameCount() - decodedBefore, 2 * (last + 1));
    // Paused, the next frame is decoded ahead: a step forward decodes nothing more.
    ASSERT_TRUE(QTest::qWaitFor([&] {
        const int decoded = mci::decodedFrameCount();
        QTest::qWait(100);
        return mci::decodedFrameCount() == decoded;
    }, 20000));
    const int settled = mci::decodedFrameCount();
    ASSERT_EQ(step(id, 1), 0u);
    EXPECT_EQ(shownFrame(real.service(), id), last - 119);
    EXPECT_EQ(mci::decodedFrameCount(), settled);
    ASSERT_EQ(simple(id, MCI_CLOSE), 0u);
}

// The file is rewritten under a playing device: the play stops on the last frame shown with its
// notification failing. Then comes what repeat playback does whenever a play stops: back to
// frame 0 and play again. Where the start of the file still reads (cut short, middle zeroed)
// that play is taken; where nothing of it does (emptied, or a longer program stream written
// over it, whose hundreds of packets the index does not know) it is refused with a code that
// has a text, and the device stays stopped instead of starting a run that fails at once, again
// and again, in the playing mode on a frozen picture.
TEST(ServiceMedia, AFileRewrittenWhilePlayingStopsAndIsNotPlayedOnBlindly) {
    QTemporaryDir dir;
    fixtures::VideoSpec longerSpec;  // more video packets than a run may read without knowing them
    longerSpec.path = dir.filePath(QStringLiteral("longer.mpg"));
    longerSpec.frames = 900;
    longerSpec.size = QSize(352, 288);
    QString error;
    ASSERT_TRUE(fixtures::writeVideo(longerSpec, &error)) << error.toStdString();
    QFile longerFile(longerSpec.path);
    ASSERT_TRUE(longerFile.open(QIODevice::ReadOnly));
    const QByteArray longer = longerFile.readAll();

    struct Rewrite {
        const char* name;
        std::function<void(QByteArray&)> change;
        bool playsOn;  // the start of the file still reads
    };
    const Rewrite rewrites[] = {
        {"cut to a third", [](QByteArray& bytes) { bytes.truncate(bytes.size() / 3); }, true},
        {"middle zeroed",
         [](QByteArray& bytes) {
             bytes.replace(bytes.size() / 3, bytes.size() / 2, QByteArray(bytes.size() / 2, 0));
         },
         true},
        {"emptied", [](QByteArray& bytes) { bytes.clear(); }, false},
        {"another stream over it", [&](QByteArray& bytes) { bytes = longer; }, false},
    };
    for (const Rewrite& rewrite : rewrites) {
        SCOPED_TRACE(rewrite.name);
        const QString path = dir.filePath(QStringLiteral("clip.mpg"));
        QFile::remove(path);
        ASSERT_TRUE(QFile::copy(clipOrSkip(ClipKind::WithSound), path));
        RealService real;
        const MCIDEVICEID id = openFile(path);
        ASSERT_NE(id, 0u);
        NotifySink sink;
        ASSERT_EQ(play(id, sink, 0), 0u);
        // Far enough in that the start of the file is no longer in the reader's buffer.
        ASSERT_TRUE(QTest::qWaitFor([&] { return status(id, MCI_STATUS_POSITION) >= 45; }, 20000));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        rewrite.change(bytes);
        file.resize(0);
        file.seek(0);
        file.write(bytes);
        file.close();
        EXPECT_TRUE(QTest::qWaitFor([&] { return status(id, MCI_STATUS_MODE) == MCI_MODE_STOP; }, 30000))
            << "still playing at frame " << status(id, MCI_STATUS_POSITION);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !sink.received.empty(); }, 5000));
        EXPECT_EQ(sink.received.back().code, WPARAM(MCI_NOTIFY_FAILURE));
        const DWORD stoppedAt = status(id, MCI_STATUS_POSITION);

        // Frame 0 shows where the start still reads; else the seek fails as a read does (unless
        // the picture was still kept), with the read error's text.
        const MCIERROR sought = seek(id, 0);
        if (rewrite.playsOn)
            EXPECT_EQ(sought, 0u);
        else if (sought != 0)
            EXPECT_EQ(sought, MCIERR_FILE_READ);
        if (sought != 0) EXPECT_FALSE(errorText(sought).isEmpty());
        MCI_PLAY_PARMS again;
        again.dwCallback = sink.callback();
        const MCIERROR played = mciSendCommandA(id, MCI_PLAY, MCI_NOTIFY, DWORD_PTR(&again));
        if (rewrite.playsOn) {
            EXPECT_EQ(played, 0u);
            EXPECT_EQ(status(id, MCI_STATUS_MODE), MCI_MODE_PLAY);
        } else {
            EXPECT_EQ(played, MCIERR_FILE_READ);
            EXPECT_FALSE(errorText(played).isEmpty());
            QTest::qWait(100);
            EXPECT_EQ(status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
            EXPECT_EQ(status(id, MCI_STATUS_POSITION), sought == 0 ? 0u : stoppedAt);
            EXPECT_EQ(sink.received.size(), 1u);
            const MCIERROR far = seek(id, status(id, MCI_STATUS_LENGTH) / 2);
            EXPECT_NE(far, 0u);
            EXPECT_FALSE(errorText(far).isEmpty());
        }
        ASSERT_EQ(simple(id, MCI_CLOSE), 0u);
    }
}

TEST(ServiceMedia, PlaysToTheEndAndNotifies) {
    const QString path = clipOrSkip(ClipKind::MjpegAvi);
    RealService real;
    const MCIDEVICEID id = openFile(path);
    ASSERT_NE(id, 0u);
    NotifySink sink;
    ASSERT_EQ(play(id, sink, 45), 0u);  // the last half second
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sink.received.empty(); }, 30000));
    EXPECT_EQ(sink.codes(), std::vector<WPARAM>{MCI_NOTIFY_SUCCESSFUL});
    EXPECT_EQ(status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
    EXPECT_EQ(status(id, MCI_STATUS_POSITION), 60u);
    EXPECT_EQ(shownFrame(real.service(), id), 59);
}

MCIERROR frameInfo(MCIDEVICEID id, MCI_TVL_FRAMEINFO_PARMS& parms, DWORD flags) {
    return mciSendCommandA(id, MCI_TVL_FRAMEINFO, MCI_WAIT | flags, DWORD_PTR(&parms));
}

// What the index knows of each frame, against a reference decoder: the picture types of a
// B-frame clip, and the times of a variable-rate clip on its own clock, either way round.
TEST(ServiceMedia, FrameInformationIsTheIndexsOwnAndRightForBFramesAndVariableRates) {
    const QString variable = clipOrSkip(ClipKind::H264VfrMkv);
    ASSERT_FALSE(variable.isEmpty());
    RealService real;
    // MPEG-1 says B in its picture headers; H.264 with a B-pyramid has B-pictures others refer to.
    for (const ClipKind kind : {ClipKind::Mpeg1Mpg, ClipKind::H264Mp4}) {
        const QString path = clipOrSkip(kind);
        const MCIDEVICEID id = openFile(path);
        ASSERT_NE(id, 0u);
        std::string types, expected;
        ASSERT_TRUE(fixtures::decodeVideo(path, [&](const fixtures::DecodedFrame& frame) {
            MCI_TVL_FRAMEINFO_PARMS parms;
            parms.dwFrame = DWORD(frame.index);
            EXPECT_EQ(frameInfo(id, parms, MCI_TVL_FRAMEINFO_FRAME), 0u);
            types += parms.chPictureType;
            expected += frame.pictureType;
            EXPECT_EQ(parms.fKeyframe != 0, frame.keyFrame) << frame.index;
            EXPECT_EQ(parms.dwRateNum * 1000 / std::max<DWORD>(parms.dwRateDen, 1), 30000u);
            EXPECT_EQ(parms.fVariableRate, 0u);
            return true;
        }, nullptr));
        EXPECT_EQ(types, expected);
        EXPECT_NE(types.find('B'), std::string::npos);
    }
    const MCIDEVICEID vfr = openFile(variable);
    ASSERT_NE(vfr, 0u);

    MCI_TVL_FRAMEINFO_PARMS first;
    ASSERT_EQ(frameInfo(vfr, first, MCI_TVL_FRAMEINFO_FRAME), 0u);
    const int frames = fixtures::clipFrameCount(ClipKind::H264VfrMkv);
    for (int n = 0; n + 1 < frames; ++n) {
        MCI_TVL_FRAMEINFO_PARMS parms;
        parms.dwFrame = DWORD(n);
        ASSERT_EQ(frameInfo(vfr, parms, MCI_TVL_FRAMEINFO_FRAME), 0u);
        EXPECT_EQ(parms.llStartUs - first.llStartUs, fixtures::variableFrameStartMs(n) * 1000) << n;
        EXPECT_EQ(parms.llDurationUs, fixtures::variableFrameDurationMs(n) * 1000) << n;
        EXPECT_EQ(parms.fVariableRate, 1u);
        MCI_TVL_FRAMEINFO_PARMS at;  // and back: a time inside the frame names it
        at.llTimeUs = parms.llStartUs + parms.llDurationUs - 1;
        ASSERT_EQ(frameInfo(vfr, at, MCI_TVL_FRAMEINFO_TIME), 0u);
        EXPECT_EQ(at.dwFrame, DWORD(n));
    }
    MCI_TVL_FRAMEINFO_PARMS before, beyond;
    before.llTimeUs = first.llStartUs - 1;
    beyond.dwFrame = DWORD(frames);
    EXPECT_EQ(frameInfo(vfr, before, MCI_TVL_FRAMEINFO_TIME), MCIERR_OUTOFRANGE);
    EXPECT_EQ(frameInfo(vfr, beyond, MCI_TVL_FRAMEINFO_FRAME), MCIERR_OUTOFRANGE);
}

// The frame captured is the one on screen at its natural size, whatever the zoom: at 1x the
// very pixels shown, at 2x those a fresh decode converts at the natural size.
TEST(ServiceMedia, CaptureIsTheFrameShownAtItsNaturalSize) {
    const QString path = clipOrSkip(ClipKind::Anamorphic);  // 352x240 shown as 320x240
    ASSERT_FALSE(path.isEmpty());
    RealService real;
    const MCIDEVICEID id = openFile(path);
    QWidget window;
    ASSERT_EQ(attachWindow(id, window), 0u);
    const auto capture = [&](QImage& image) {
        MCI_TVL_CAPTURE_PARMS parms;
        parms.lpImage = &image;
        EXPECT_EQ(mciSendCommandA(id, MCI_TVL_CAPTURE, MCI_WAIT, DWORD_PTR(&parms)), 0u);
        return int(parms.dwFrame);
    };
    ASSERT_EQ(seek(id, 17), 0u);
    QImage atOne;
    EXPECT_EQ(capture(atOne), 17);
    EXPECT_EQ(atOne, real.service().device(id)->surface()->image());
    EXPECT_EQ(atOne.size(), QSize(320, 240));

    MCI_DGV_RECT_PARMS put;
    put.rc = RECT{0, 0, 640, 480};
    ASSERT_EQ(mciSendCommandA(id, MCI_PUT, MCI_DGV_PUT_DESTINATION | MCI_DGV_RECT, DWORD_PTR(&put)), 0u);
    ASSERT_EQ(seek(id, 23), 0u);
    QImage atTwo;
    EXPECT_EQ(capture(atTwo), 23);
    auto source = mci::MediaSource::open(path, {});
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<mci::MediaSource>>(source));
    const auto decoded = std::get<std::unique_ptr<mci::MediaSource>>(source)->frame(23);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(atTwo, decoded->toImage(QSize(320, 240)));
    EXPECT_EQ(fixtures::readFrameNumber(atTwo), 23);
}

// The picture as shown: pixels widened by their aspect ratio, phone video stood upright.
TEST(ServiceMedia, NaturalSizeHonoursTheSampleAspectRatioAndTheTurn) {
    const std::pair<ClipKind, QSize> cases[] = {{ClipKind::Anamorphic, {320, 240}},
                                                {ClipKind::Portrait, {176, 320}}};
    RealService real;
    for (const auto& [kind, size] : cases) {
        const MCIDEVICEID id = openFile(clipOrSkip(kind));
        ASSERT_NE(id, 0u);
        MCI_DGV_RECT_PARMS where;
        ASSERT_EQ(mciSendCommandA(id, MCI_WHERE, MCI_DGV_WHERE_SOURCE, DWORD_PTR(&where)), 0u);
        EXPECT_EQ(QSize(where.rc.right, where.rc.bottom), size);
        ASSERT_EQ(simple(id, MCI_CLOSE), 0u);
    }
}

// Sound-only files through the product's own installation, with the sound output switched
// off the way a machine without a sound card has it.
class SoundFiles : public ::testing::TestWithParam<ClipKind> {
protected:
    void SetUp() override { qputenv("TAVOLEN_AUDIO", "none"); }
    void TearDown() override { qunsetenv("TAVOLEN_AUDIO"); }
};

TEST_P(SoundFiles, CountThirtyFramesASecondAndNotifyAtTheEnd) {
    const QString path = clipOrSkip(GetParam());
    mci::MediaServiceInstaller installed;
    const MCIDEVICEID id = openFile(path);
    ASSERT_NE(id, 0u);
    // Three seconds; an MP3 carries its encoder's padding, so up to a frame more.
    const DWORD length = status(id, MCI_STATUS_LENGTH);
    EXPECT_TRUE(length == 90u || (GetParam() == ClipKind::Mp3Tone && length == 91u)) << length;
    MCI_GETDEVCAPS_PARMS caps;
    caps.dwItem = MCI_GETDEVCAPS_DEVICE_TYPE;
    ASSERT_EQ(mciSendCommandA(id, MCI_GETDEVCAPS, MCI_WAIT | MCI_GETDEVCAPS_ITEM, DWORD_PTR(&caps)), 0u);
    EXPECT_EQ(caps.dwReturn, MCI_DEVTYPE_WAVEFORM_AUDIO);
    NotifySink sink;
    ASSERT_EQ(play(id, sink, 75), 0u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sink.received.empty(); }, 30000));
    EXPECT_EQ(sink.codes(), std::vector<WPARAM>{MCI_NOTIFY_SUCCESSFUL});
    EXPECT_EQ(status(id, MCI_STATUS_POSITION), length);
}

INSTANTIATE_TEST_SUITE_P(Tones, SoundFiles, ::testing::Values(ClipKind::WavTone, ClipKind::Mp3Tone),
                         [](const auto& info) { return info.param == ClipKind::WavTone ? "Wav" : "Mp3"; });

TEST(ServiceMedia, VideoWithSoundPlaysWithoutASoundDevice) {
    const QString path = clipOrSkip(ClipKind::WithSound);
    qputenv("TAVOLEN_AUDIO", "none");
    mci::MediaServiceInstaller installed;
    qunsetenv("TAVOLEN_AUDIO");
    const MCIDEVICEID id = openFile(path);
    ASSERT_NE(id, 0u);
    NotifySink sink;
    ASSERT_EQ(play(id, sink, 285), 0u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sink.received.empty(); }, 30000));
    EXPECT_EQ(sink.codes(), std::vector<WPARAM>{MCI_NOTIFY_SUCCESSFUL});
    EXPECT_EQ(status(id, MCI_STATUS_POSITION), 300u);
}

// A large file with an empty index cache: the progress window, its cancel, and the cache hit
// on the next open.
class LargeFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new QTemporaryDir;
        s_path = s_dir->filePath("large.avi");
        QString error;
        ASSERT_TRUE(fixtures::writeLargeClip(s_path, 60LL << 20, &error)) << error.toStdString();
        // Without the index at its end, as a capture cut off before writing it leaves the file:
        // only a read through the whole file finds the frames.
        QFile file(s_path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.seek(file.size() - (1 << 20)));
        const qsizetype index = file.read(1 << 20).lastIndexOf("idx1");
        ASSERT_GE(index, 0);
        ASSERT_TRUE(file.resize(file.size() - (1 << 20) + index));
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        m_previousCache = qgetenv("XDG_CACHE_HOME");
        qputenv("XDG_CACHE_HOME", m_cache.path().toUtf8());
    }
    void TearDown() override { qputenv("XDG_CACHE_HOME", m_previousCache); }

    static QTemporaryDir* s_dir;
    static QString s_path;
    QTemporaryDir m_cache;
    QByteArray m_previousCache;
};
QTemporaryDir* LargeFile::s_dir = nullptr;
QString LargeFile::s_path;

QWidget* visibleProgressWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == "mciOpenProgress" && widget->isVisible()) return widget;
    }
    return nullptr;
}

TEST_F(LargeFile, TheProgressWindowCancelsTheOpen) {
    // The index pass holds at its first report until the test has pressed cancel, so the
    // outcome does not depend on how fast the machine reads.
    std::atomic<bool> pressed{false};
    RealService real([&](const QString& path, const mci::OpenProgress& progress) {
        return mci::openMediaFile(path, [&](double fraction) {
            while (!pressed.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            return progress(fraction);
        });
    });
    bool sawWindow = false;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        QWidget* window = visibleProgressWindow();
        if (window == nullptr || pressed.load()) return;
        // Modal, and above the index window, which stays on top where it appears.
        sawWindow = window->isModal() && window->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        QTest::mouseClick(window->findChild<QPushButton*>("cancel"), Qt::LeftButton);
        pressed.store(true);
    });
    watcher.start(20);
    MCIERROR error = 0;
    EXPECT_EQ(openFile(s_path, &error), 0u);
    EXPECT_TRUE(sawWindow);
    EXPECT_EQ(error, mci::MCIERR_SOURCE_CANCELLED);
    EXPECT_EQ(errorText(error), mci::sourceErrorText(mci::MCIERR_SOURCE_CANCELLED));
    EXPECT_EQ(visibleProgressWindow(), nullptr);
}

TEST_F(LargeFile, TheSecondOpenUsesTheCache) {
    std::atomic<int> reports{0};
    RealService real([&](const QString& path, const mci::OpenProgress& progress) {
        return mci::openMediaFile(path, [&](double fraction) {
            ++reports;
            return progress(fraction);
        });
    });
    const MCIDEVICEID first = openFile(s_path);
    ASSERT_NE(first, 0u);
    const DWORD length = status(first, MCI_STATUS_LENGTH);
    EXPECT_GT(reports.load(), 0);  // an index pass
    ASSERT_EQ(simple(first, MCI_CLOSE), 0u);
    EXPECT_FALSE(QDir(m_cache.filePath("tavolen")).isEmpty());

    reports = 0;
    const MCIDEVICEID second = openFile(s_path);
    ASSERT_NE(second, 0u);
    EXPECT_EQ(reports.load(), 0);  // read back from the cache: no pass over the file
    EXPECT_EQ(status(second, MCI_STATUS_LENGTH), length);
}

}  // namespace
