// One open device: a file, its playback state, its decode worker, its sound and its picture.
// The service routes each command to one handler here; every handler returns 0 or an MCIERROR
// and changes nothing when it refuses.
//
// Behaviour of the commands (positions in the device's time format: frames, the default, or
// milliseconds; the medium runs from 0 to its length, and position = length is the end):
//   MCI_PLAY     returns at once; plays from MCI_FROM (or the position) to MCI_TO (or the end);
//                at the end the mode is stopped, the position is the end point and the play's
//                notification is MCI_NOTIFY_SUCCESSFUL. A play at the end ends at once. When a
//                frame cannot be read mid-play, the device stops on the frame shown and the
//                notification is MCI_NOTIFY_FAILURE; from then on a play is refused
//                (MCIERR_FILE_READ) until the frame it would show first can be read again.
//                MCI_WAIT does not wait for the end: the play has taken effect once it runs.
//   MCI_PAUSE    playing: paused on the frame shown; otherwise nothing changes.
//   MCI_RESUME   paused: plays on; playing: keeps playing (and takes over the notification);
//                stopped: refused (MCIERR_NONAPPLICABLE_FUNCTION), so a caller falls back to play.
//   MCI_STOP     stopped on the frame shown.
//   MCI_SEEK     MCI_TO / MCI_SEEK_TO_START / MCI_SEEK_TO_END: returns once that exact frame is
//                decoded and shown. Playing becomes stopped (as the platform reports after a
//                seek); paused stays paused, so a pause-seek-resume sequence resumes from the
//                new frame. Outside 0..length: MCIERR_OUTOFRANGE, nothing changes.
//   MCI_STEP     by dwFrames (MCI_DGV_STEP_FRAMES; 1 without it) forward or back
//                (MCI_DGV_STEP_REVERSE), always counted in frames; modes as MCI_SEEK; a step
//                past either end is refused (MCIERR_OUTOFRANGE) and nothing changes.
//   MCI_STATUS   length, position (MCI_STATUS_START: 0; MCI_TRACK 1: track start), mode,
//                time format, number of tracks (1), current track, media present, ready.
//                Never waits for the decoder.
//   MCI_SET      time format frames or milliseconds (others MCIERR_BAD_TIME_FORMAT); the door
//                is refused (MCIERR_UNSUPPORTED_FUNCTION).
//   MCI_GETDEVCAPS  plays, does not record, eject or save; has video per file; device type
//                MCI_DEVTYPE_DIGITAL_VIDEO with video, MCI_DEVTYPE_WAVEFORM_AUDIO without.
//   MCI_WINDOW   attaches a window (MCI_DGV_WINDOW_DEFAULT: the device's own window).
//   MCI_PUT      destination rectangle (left, top, width, height) in the window's client area;
//                without MCI_DGV_RECT the natural size at 0,0. Source rectangles are refused.
//   MCI_WHERE    source = natural size (sample aspect ratio applied); destination as put.
//   MCI_UPDATE   repaints the surface with the frame shown.
//   MCI_RECORD   refused (MCIERR_UNSUPPORTED_FUNCTION).
//   MCI_TVL_FRAMEINFO  from the Timeline alone (copied from the index at open), so it costs no
//                more than a status read and never waits for the decoder. Times on the stream's
//                clock are the first frame's timestamp plus the frame's time; where that clock
//                restarts (joined recordings) the later runs continue from where the one
//                before ended, as the frames are counted.
//   MCI_TVL_CAPTURE    the picture on screen when it is at the natural size, else the same
//                picture converted at that size the way the screen would get it.
// Picture commands on a file without video are refused (MCIERR_UNSUPPORTED_FUNCTION), except
// MCI_WHERE, which reports an empty rectangle. Sound-only files count 30 frames a second; in
// milliseconds their position is the time.
//
// Threads: UI thread only. The decode worker (FrameFeeder) and the sound output run on their
// own threads; status reads use only UI-thread fields and the immutable Timeline.
#pragma once

#include "Clock.h"
#include "DisplayTarget.h"
#include "FrameFeeder.h"
#include "PlaybackState.h"
#include "Timeline.h"

#include <QObject>
#include <QTimer>

namespace mci {

class AudioOutput;

class Device final : public QObject {
    Q_OBJECT
public:
    struct Parts {
        std::unique_ptr<PlaybackSource> source;
        std::unique_ptr<AudioOutput> audio;  // may be null: silent
        const Clock* clock = nullptr;        // outlives the device
        QString title;                       // of the default window
    };
    // Opens on the first frame (shown once a window is attached); MCIERR_FILE_READ when it
    // cannot be decoded.
    static std::variant<std::unique_ptr<Device>, MCIERROR> create(MCIDEVICEID id, Parts parts);
    ~Device() override;  // MCI_CLOSE: an owed notification is aborted

    MCIERROR play(DWORD flags, const MCI_PLAY_PARMS* parms);
    MCIERROR pause();
    MCIERROR resume(DWORD flags, const MCI_GENERIC_PARMS* parms);
    MCIERROR stop();
    MCIERROR seek(DWORD flags, const MCI_SEEK_PARMS* parms);
    MCIERROR step(DWORD flags, const MCI_DGV_STEP_PARMS* parms);
    MCIERROR status(DWORD flags, MCI_STATUS_PARMS* parms) const;
    MCIERROR set(DWORD flags, const MCI_SET_PARMS* parms);
    MCIERROR getDevCaps(DWORD flags, MCI_GETDEVCAPS_PARMS* parms) const;
    MCIERROR window(DWORD flags, const MCI_DGV_WINDOW_PARMS* parms);
    MCIERROR put(DWORD flags, const MCI_DGV_RECT_PARMS* parms);
    MCIERROR where(DWORD flags, MCI_DGV_RECT_PARMS* parms) const;
    MCIERROR update();
    MCIERROR frameInfo(DWORD flags, MCI_TVL_FRAMEINFO_PARMS* parms) const;
    MCIERROR capture(MCI_TVL_CAPTURE_PARMS* parms) const;

    Mode mode() const { return m_state.mode(); }
    // For tests: the surface showing this device's picture (null before the first picture).
    VideoSurface* surface() const { return m_display.surface(); }
    QWidget* defaultWindow() const { return m_display.defaultWindow(); }

private:
    // A place in the medium: frame and time agree (for video the time is the frame's start).
    struct Position {
        int frame = 0;
        qint64 us = 0;
    };

    Device(MCIDEVICEID id, Parts parts);
    bool hasVideo() const { return m_timeline.hasVideo(); }
    Position endPosition() const;
    Position atFrame(int frame) const;
    std::optional<Position> fromUnits(DWORD value) const;  // nullopt: outside 0..length
    DWORD toUnits(const Position& position) const;
    DWORD lengthUnits() const { return toUnits(endPosition()); }

    MCIERROR showExactly(const Position& position);
    void present(ShownFrame frame);
    MCIERROR reposition(const Position& target);
    MCIERROR checkReadable(const Position& from, const Position& to);
    void onModeChange(Mode from, Mode to);
    void startRun();
    void haltRun();
    void tick();
    void finishRun(PlaybackEvent event);
    void onReconverted(quint64 token, const QImage& image);
    NotifyRequest notifyRequest(DWORD flags, DWORD_PTR callback) const;

    const MCIDEVICEID m_id;
    std::unique_ptr<PlaybackSource> m_source;
    const MediaInfo m_info;
    const Timeline m_timeline;
    std::unique_ptr<AudioOutput> m_audio;
    std::unique_ptr<AudioStream> m_audioStream;  // used by m_audio while a run plays
    PlaybackClock m_clock;
    DisplayTarget m_display;
    PlaybackState m_state;
    QTimer m_presenter;  // ticks while playing
    DWORD m_timeFormat = MCI_FORMAT_FRAMES;
    Position m_position;
    Position m_runEnd;
    std::optional<Position> m_playFrom;  // MCI_FROM of the play about to start its run
    std::optional<ShownFrame> m_shown;  // the picture on screen and its frame
    bool m_fileFailed = false;          // a frame could not be read: the file changed or went bad
    quint64 m_pictureToken = 0;         // bumps with every new picture; late conversions drop
    std::unique_ptr<FrameFeeder> m_feeder;  // last: its worker stops first
};

}  // namespace mci
