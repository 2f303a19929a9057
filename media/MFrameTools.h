// What the media device can tell of a single frame and give of its picture, for the player
// window's inspection tools: the frame's facts as the file's index knows them (no decoding) and
// the picture on screen at its natural size. Both go through the service's own commands
// MCI_TVL_FRAMEINFO and MCI_TVL_CAPTURE (Mci.h) on the device's open id.
//
// UI thread only. Each raises EMCIDeviceError "MCI デバイスがありません" when no device is open,
// like the device's own operations; a refusal by the service (a file without video, a frame or
// time outside the medium) is an empty result, never an exception.
#pragma once

#include <QImage>
#include <cstdint>
#include <optional>

#include "MPlayer.h"

struct TFrameInfo {
    std::int32_t Frame = 0;
    char PictureType = 0;  // 'I', 'P' or 'B'
    bool Keyframe = false;
    std::int64_t StartUs = 0;  // on the stream's own clock
    std::int64_t DurationUs = 0;
    std::uint32_t RateNum = 0;  // nominal rate RateNum / RateDen; 0 / 0 when the file names none
    std::uint32_t RateDen = 0;
    bool VariableRate = false;
    friend bool operator==(const TFrameInfo&, const TFrameInfo&) = default;
};

// The frame shown (Frame empty) or frame Frame, counted in frames whatever the time format.
std::optional<TFrameInfo> FrameInfoOf(TMediaPlayer& Player,
                                      std::optional<std::int32_t> Frame = std::nullopt);
// The frame shown at a time on the stream's own clock.
std::optional<TFrameInfo> FrameInfoAtTime(TMediaPlayer& Player, std::int64_t Microseconds);

struct TCapturedFrame {
    QImage Image;  // natural size, the pixels shown at 1x
    std::int32_t Frame = 0;
};
std::optional<TCapturedFrame> CaptureFrame(TMediaPlayer& Player);
