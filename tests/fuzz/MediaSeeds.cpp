// fuzz_media_seeds DIR: writes the media target's seed corpus into DIR, tiny clips in each
// container and codec the player handles and two short tones, so that the fuzzer starts from
// real files and mutates their insides rather than guessing containers. Small on purpose: a few
// kilobytes each keeps every run of the target fast.
#include "MediaGenerator.h"

#include <QDir>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>

using namespace fixtures;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_media_seeds DIR\n");
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(dir.path());

    struct Seed {
        const char* name;
        Container container;
        VideoCodec codec;
        bool vfr;
        bool audio;
    } const seeds[] = {
        {"mpeg1.mpg", Container::Mpg, VideoCodec::Mpeg1, false, true},
        {"mpeg1.avi", Container::Avi, VideoCodec::Mpeg1, false, false},
        {"mpeg1.m1v", Container::Elementary, VideoCodec::Mpeg1, false, false},
        {"mjpeg.avi", Container::Avi, VideoCodec::Mjpeg, false, false},
        {"h264.mp4", Container::Mp4, VideoCodec::H264, false, true},
        {"h264-vfr.mkv", Container::Mkv, VideoCodec::H264, true, false},
        {"mpeg2.ts", Container::Ts, VideoCodec::Mpeg2, false, false},
    };
    QString error;
    for (const Seed& seed : seeds) {
        if (dir.exists(QString::fromLatin1(seed.name))) continue;
        VideoSpec clipSpec;
        clipSpec.path = dir.filePath(QString::fromLatin1(seed.name));
        clipSpec.container = seed.container;
        clipSpec.codec = seed.codec;
        clipSpec.frames = 8;
        clipSpec.size = QSize(48, 32);
        clipSpec.gop = 4;
        clipSpec.variableFrameRate = seed.vfr;
        clipSpec.withAudio = seed.audio;
        if (!writeVideo(clipSpec, &error)) {
            std::fprintf(stderr, "%s: %s\n", seed.name, qPrintable(error));
            return 1;
        }
    }
    const bool tones = (dir.exists("tone.wav") ||
                        writeTone(dir.filePath("tone.wav"), ToneFormat::Wav, 0.05, 440, &error)) &&
                       (dir.exists("tone.mp3") ||
                        writeTone(dir.filePath("tone.mp3"), ToneFormat::Mp3, 0.1, 440, &error));
    if (!tones) std::fprintf(stderr, "tones: %s\n", qPrintable(error));
    return tones ? 0 : 1;
}
