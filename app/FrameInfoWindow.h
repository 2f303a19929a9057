// The tool window of 表示 > フレーム情報 (F2): what the current frame is, as the file's index
// knows it (no decoding): number, picture type, keyframe, presentation time and duration in
// seconds on the stream's own clock, and the stream's nominal rate and whether it varies.
//
// Contract
// - UI thread only. Created hidden; stays above the player window like the index window.
// - Follows the player window's device (not owned) with a timer of its own that runs exactly
//   while the window is shown. A tick asks the device one question (MCI_TVL_FRAMEINFO, answered
//   from a table) and rewrites the texts only when the frame changed, so the 30 ms monitor
//   never waits on it. Without an open device, or for a file without video, it shows dashes
//   and reports nothing: a window that only watches must not raise an error box every tick.
#pragma once

#include <QPointer>
#include <optional>

#include "Form.h"
#include "MFrameTools.h"

class QLabel;
class TMediaPlayer;

namespace fw {
class Timer;
}

class TFrameInfoWindow : public fw::Form {
public:
    explicit TFrameInfoWindow(TMediaPlayer* Device);
    ~TFrameInfoWindow() override;

    QLabel* FrameNo = nullptr;
    QLabel* PictureType = nullptr;
    QLabel* Keyframe = nullptr;
    QLabel* StartTime = nullptr;
    QLabel* Duration = nullptr;
    QLabel* NominalRate = nullptr;
    QLabel* VariableRate = nullptr;
    fw::Timer* Timer1 = nullptr;

    // Shows a hidden window or brings a visible one to the front; the texts are current at once.
    void ShowWindow();
    void Timer1Timer(TObject* Sender);

private:
    QLabel* AddRow(int Row, const QString& Caption);
    void ShowInfo(const std::optional<TFrameInfo>& Info);

    QPointer<TMediaPlayer> m_device;
    std::optional<TFrameInfo> m_shown;
    bool m_shownAny = false;
};
