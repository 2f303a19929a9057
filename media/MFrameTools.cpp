#include "MFrameTools.h"

#include "Exception.h"

static MCIDEVICEID OpenId(TMediaPlayer& Player) {
    if (Player.OpenDeviceId() == 0) throw EMCIDeviceError("MCI デバイスがありません");
    return Player.OpenDeviceId();
}

static std::optional<TFrameInfo> AskFrameInfo(TMediaPlayer& Player, DWORD Flags,
                                              MCI_TVL_FRAMEINFO_PARMS& Parms) {
    Parms.dwCallback = 0;
    if (mciSendCommandA(OpenId(Player), MCI_TVL_FRAMEINFO, MCI_WAIT | Flags, DWORD_PTR(&Parms)) !=
        0)
        return std::nullopt;
    TFrameInfo Info;
    Info.Frame = std::int32_t(Parms.dwFrame);
    Info.PictureType = Parms.chPictureType;
    Info.Keyframe = Parms.fKeyframe != 0;
    Info.StartUs = Parms.llStartUs;
    Info.DurationUs = Parms.llDurationUs;
    Info.RateNum = Parms.dwRateNum;
    Info.RateDen = Parms.dwRateDen;
    Info.VariableRate = Parms.fVariableRate != 0;
    return Info;
}

std::optional<TFrameInfo> FrameInfoOf(TMediaPlayer& Player, std::optional<std::int32_t> Frame) {
    MCI_TVL_FRAMEINFO_PARMS Parms;
    if (!Frame) return AskFrameInfo(Player, 0, Parms);
    if (*Frame < 0) return std::nullopt;
    Parms.dwFrame = DWORD(*Frame);
    return AskFrameInfo(Player, MCI_TVL_FRAMEINFO_FRAME, Parms);
}

std::optional<TFrameInfo> FrameInfoAtTime(TMediaPlayer& Player, std::int64_t Microseconds) {
    MCI_TVL_FRAMEINFO_PARMS Parms;
    Parms.llTimeUs = Microseconds;
    return AskFrameInfo(Player, MCI_TVL_FRAMEINFO_TIME, Parms);
}

std::optional<TCapturedFrame> CaptureFrame(TMediaPlayer& Player) {
    TCapturedFrame Shot;
    MCI_TVL_CAPTURE_PARMS Parms;
    Parms.lpImage = &Shot.Image;
    if (mciSendCommandA(OpenId(Player), MCI_TVL_CAPTURE, MCI_WAIT, DWORD_PTR(&Parms)) != 0 ||
        Shot.Image.isNull())
        return std::nullopt;
    Shot.Frame = std::int32_t(Parms.dwFrame);
    return Shot;
}
