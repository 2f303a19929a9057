#include "Clips.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

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
    clip.clipSpec.bitRate = bitRate;
    return clip;
}

QString fileNameOf(const Clip& clip) {
    switch (clip.clipSpec.container) {
        case Container::Mp4:
            return clip.name + ".mp4";
        case Container::Avi:
            return clip.name + ".avi";
        default:
            return clip.name + ".mpg";
    }
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
    fixtures::VideoSpec partial = clip.clipSpec;
    partial.path = QDir(dir).absoluteFilePath(QStringLiteral("partial-") + fileNameOf(clip));
    std::fprintf(stderr, "writing %s (%d frames)...\n", qPrintable(path), clip.frames());
    QElapsedTimer took;
    took.start();
    if (!fixtures::writeVideo(partial, error)) return false;
    QFile::remove(path);
    if (!QFile::rename(partial.path, path)) {
        *error = QStringLiteral("cannot rename %1").arg(partial.path);
        return false;
    }
    std::fprintf(stderr, "  done in %.1f s\n", took.elapsed() / 1000.0);
    return true;
}

}  // namespace bench
