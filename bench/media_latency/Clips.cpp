#include "Clips.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

#include "StreamCopy.h"

namespace bench {

namespace {

using fixtures::Container;
using fixtures::VideoCodec;

Clip h264Clip(const char* name, QSize size, int frames, int bitRate) {
    Clip clip;
    clip.name = QString::fromLatin1(name);
    clip.clipSpec.container = Container::Mp4;
    clip.clipSpec.codec = VideoCodec::H264;
    clip.clipSpec.size = size;
    clip.clipSpec.frames = frames;
    clip.clipSpec.gop = 250;
    clip.clipSpec.bFrames = 3;
    // B-pyramids as most encoders write them: on these synthetic pictures x264's own choice
    // would be P-pictures only, and the pictures a seek may pass over would not be there.
    clip.clipSpec.encoderOptions = {{"x264-params", "scenecut=0:log=-1:b-adapt=0:b-pyramid=normal"}};
    clip.clipSpec.bitRate = bitRate;
    return clip;
}

Clip hdrClip(const char* name, QSize size, Selection selection) {
    Clip clip = h264Clip(name, size, 390, 0);
    clip.suite = Suite::Picture;
    clip.selection = selection;
    clip.clipSpec.encoder = "libx264";
    clip.clipSpec.pixelFormat = "yuv420p10le";
    clip.clipSpec.colorPrimaries = 9;  // BT.2020
    clip.clipSpec.colorTransfer = 16;  // PQ
    clip.clipSpec.colorMatrix = 9;     // BT.2020, non-constant luminance
    return clip;
}

struct Format {
    Container container;
    const char* extension;
    const char* muxer;  // for the clips made by copying a stream
};

constexpr Format kFormats[] = {
    {Container::Mp4, ".mp4", "mp4"},      {Container::Avi, ".avi", "avi"},
    {Container::Mkv, ".mkv", "matroska"}, {Container::Ts, ".ts", "mpegts"},
    {Container::Mpg, ".mpg", "mpeg"},
};

const Format& formatOf(const Clip& clip) {
    for (const Format& format : kFormats)
        if (format.container == clip.clipSpec.container) return format;
    return kFormats[std::size(kFormats) - 1];
}

QString fileNameOf(const Clip& clip) {
    return clip.name + QString::fromLatin1(formatOf(clip).extension);
}

// The ten-minute clip twelve times over in the container, each copy continuing the one before.
Clip twoHours(const Clip& tenMinutes, const char* name, Container container) {
    Clip clip = tenMinutes;
    clip.name = QString::fromLatin1(name);
    clip.suite = Suite::Opening;
    clip.selection = Selection::Named;
    clip.clipSpec.container = container;
    clip.copyOf = tenMinutes.name;
    clip.copies = 12;
    clip.clipSpec.frames = tenMinutes.frames() * clip.copies;
    return clip;
}

bool writeClip(const Clip& clip, const QString& dir, const QString& path, QString* error) {
    if (clip.copies == 0) {
        fixtures::VideoSpec video = clip.clipSpec;
        video.path = path;
        return fixtures::writeVideo(video, error);
    }
    for (Clip source : benchClips()) {
        if (source.name == clip.copyOf)
            return ensureClip(source, dir, error) &&
                   writeCopies(source.clipSpec.path, path, formatOf(clip).muxer, clip.copies,
                               error);
    }
    *error = QStringLiteral("no clip %1 to copy").arg(clip.copyOf);
    return false;
}

}  // namespace

std::vector<Clip> benchClips() {
    std::vector<Clip> clips;
    clips.push_back(h264Clip("h264-720p", QSize(1280, 720), 900, 0));
    clips.push_back(h264Clip("h264-1080p", QSize(1920, 1080), 900, 0));

    Clip mpeg1;
    mpeg1.name = QStringLiteral("mpeg1-ps");
    mpeg1.clipSpec.container = Container::Mpg;
    mpeg1.clipSpec.codec = VideoCodec::Mpeg1;
    mpeg1.clipSpec.size = QSize(640, 480);
    mpeg1.clipSpec.frames = 900;
    mpeg1.clipSpec.gop = 15;
    mpeg1.clipSpec.bFrames = 2;
    mpeg1.clipSpec.bitRate = 1500000;
    clips.push_back(mpeg1);

    Clip mjpeg;
    mjpeg.name = QStringLiteral("mjpeg-avi");
    mjpeg.clipSpec.container = Container::Avi;
    mjpeg.clipSpec.codec = VideoCodec::Mjpeg;
    mjpeg.clipSpec.size = QSize(640, 480);
    mjpeg.clipSpec.frames = 900;
    clips.push_back(mjpeg);

    // Ten minutes at 30 fps; a low rate keeps the file small and quick enough to write.
    Clip longClip = h264Clip("h264-720p-10min", QSize(1280, 720), 18000, 400000);
    longClip.selection = Selection::Full;
    clips.push_back(longClip);

    // 13 s, so that playback from frame 0 runs 12 s (360 frames) before the end.
    Clip picture = h264Clip("h264-2160p", QSize(3840, 2160), 390, 0);
    picture.suite = Suite::Picture;
    picture.selection = Selection::Full;
    clips.push_back(picture);

    // HDR10 as a camera or a streaming service writes it: 10 bits, PQ, BT.2020. Every picture is
    // tone-mapped, which costs more than decoding it.
    clips.push_back(hdrClip("h264-1080p-hdr", QSize(1920, 1080), Selection::Full));
    clips.push_back(hdrClip("h264-2160p-hdr", QSize(3840, 2160), Selection::Named));

    clips.push_back(twoHours(longClip, "h264-2h-mp4", Container::Mp4));
    clips.push_back(twoHours(longClip, "h264-2h-mkv", Container::Mkv));
    clips.push_back(twoHours(longClip, "h264-2h-ts", Container::Ts));
    return clips;
}

bool ensureClip(Clip& clip, const QString& dir, QString* error) {
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot create %1").arg(dir);
        return false;
    }
    const QString path = QDir(dir).absoluteFilePath(fileNameOf(clip));
    clip.clipSpec.path = path;
    if (QFileInfo(path).size() > 0) return true;

    // Written under another name and renamed when whole, so an interrupted run leaves no clip
    // that a later run would take for a finished one.
    const QString partial =
        QDir(dir).absoluteFilePath(QStringLiteral("partial-") + fileNameOf(clip));
    std::fprintf(stderr, "writing %s (%d frames)...\n", qPrintable(path), clip.frames());
    QElapsedTimer took;
    took.start();
    if (!writeClip(clip, dir, partial, error)) return false;
    QFile::remove(path);
    if (!QFile::rename(partial, path)) {
        *error = QStringLiteral("cannot rename %1").arg(partial);
        return false;
    }
    std::fprintf(stderr, "  done in %.1f s\n", took.elapsed() / 1000.0);
    return true;
}

}  // namespace bench
