#include "Device.h"

#include "AudioOutput.h"

#include <algorithm>
#include <utility>

namespace mci {

namespace {
// Often enough to show each frame within a few milliseconds of its time; the presenter only
// looks at the clock and a short queue, so a tick costs next to nothing.
constexpr int kPresenterIntervalMs = 4;
}  // namespace

std::variant<std::unique_ptr<Device>, MCIERROR> Device::create(MCIDEVICEID id, Parts parts) {
    std::unique_ptr<Device> device(new Device(id, std::move(parts)));
    if (device->hasVideo() && device->m_timeline.frameCount() > 0) {
        // Held back until a window is attached or playback starts, so that opening a file
        // does not flash the default window before the caller attaches its own.
        auto first = device->m_feeder->fetch(0, device->m_display.destination().size());
        if (!first) return MCIERR_FILE_READ;
        device->m_shown = std::move(first);
        device->m_display.replaceImage(device->m_shown->image);
    }
    return device;
}

Device::Device(MCIDEVICEID id, Parts parts)
    : m_id(id), m_source(std::move(parts.source)), m_info(m_source->info()),
      m_timeline(*m_source), m_audio(std::move(parts.audio)),
      m_clock(*parts.clock, m_audio.get()), m_display(m_info.naturalSize, parts.title),
      m_state(id, [this](Mode from, Mode to) { onModeChange(from, to); }) {
    // The sound stream is opened before the worker owns the source.
    if (m_info.hasAudio && m_audio && m_audio->sampleRate() > 0) {
        m_audioStream = m_source->openAudio(m_audio->sampleRate(), m_audio->channels());
    }
    m_feeder = std::make_unique<FrameFeeder>(
        *m_source, this, [this](quint64 token, QImage image) { onReconverted(token, image); });
    m_presenter.setTimerType(Qt::PreciseTimer);
    m_presenter.setInterval(kPresenterIntervalMs);
    connect(&m_presenter, &QTimer::timeout, this, [this] { tick(); });
}

Device::~Device() {
    m_state.handle(PlaybackEvent::Close);
    haltRun();
}

// ---- positions -----------------------------------------------------------------------------

Device::Position Device::endPosition() const {
    return {m_timeline.frameCount(), m_timeline.endUs()};
}

Device::Position Device::atFrame(int frame) const { return {frame, m_timeline.startUs(frame)}; }

std::optional<Device::Position> Device::fromUnits(DWORD value) const {
    if (m_timeFormat == MCI_FORMAT_FRAMES) {
        if (value > DWORD(m_timeline.frameCount())) return std::nullopt;
        return atFrame(int(value));
    }
    const qint64 us = qint64(value) * 1000;
    if (value > lengthUnits()) return std::nullopt;
    if (us >= m_timeline.endUs() || value == lengthUnits()) return endPosition();
    if (hasVideo()) return atFrame(m_timeline.frameAt(us));
    return Position{m_timeline.frameAt(us), us};  // sound: the position is the time
}

DWORD Device::toUnits(const Position& position) const {
    if (m_timeFormat == MCI_FORMAT_FRAMES) return DWORD(position.frame);
    return DWORD(position.us / 1000);
}

// ---- picture -------------------------------------------------------------------------------

MCIERROR Device::showExactly(const Position& position) {
    if (hasVideo() && m_timeline.frameCount() > 0) {
        const int frame = std::min(position.frame, m_timeline.frameCount() - 1);
        const QSize size = m_display.destination().size();
        // The frame already on screen at this size is exact; a repaint-and-seek costs nothing.
        if (!m_shown || m_shown->number != frame || m_shown->image.size() != size) {
            auto fetched = m_feeder->fetch(frame, size);
            if (!fetched) {
                m_fileFailed = true;
                return MCIERR_FILE_READ;
            }
            present(std::move(*fetched));
        } else {
            m_display.present(m_shown->image);
        }
    }
    m_position = position;
    return 0;
}

void Device::present(ShownFrame frame) {
    ++m_pictureToken;
    m_shown = std::move(frame);
    m_display.present(m_shown->image);
}

void Device::onReconverted(quint64 token, const QImage& image) {
    if (token != m_pictureToken || !m_shown) return;
    m_shown->image = image;
    m_display.replaceImage(image);
}

// ---- playback ------------------------------------------------------------------------------

NotifyRequest Device::notifyRequest(DWORD flags, DWORD_PTR callback) const {
    if (!(flags & MCI_NOTIFY)) return {};
    return {true, QPointer<QWidget>(mciWindowOf(callback))};
}

MCIERROR Device::play(DWORD flags, const MCI_PLAY_PARMS* parms) {
    if ((flags & (MCI_FROM | MCI_TO | MCI_NOTIFY)) && parms == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    Position from = m_position;
    Position to = endPosition();
    if (flags & MCI_FROM) {
        const auto asked = fromUnits(parms->dwFrom);
        if (!asked) return MCIERR_OUTOFRANGE;
        from = *asked;
    }
    if (flags & MCI_TO) {
        const auto asked = fromUnits(parms->dwTo);
        if (!asked || asked->us < from.us) return MCIERR_OUTOFRANGE;
        to = *asked;
    }
    if (flags & MCI_FROM) {
        if (const MCIERROR error = showExactly(from)) return error;
    }
    if (const MCIERROR error = checkReadable(flags & MCI_FROM ? from : m_position, to))
        return error;
    if (flags & MCI_FROM) m_playFrom = from;
    m_runEnd = to;
    m_state.handle(PlaybackEvent::Play, notifyRequest(flags, parms ? parms->dwCallback : 0));
    return 0;
}

MCIERROR Device::pause() {
    m_state.handle(PlaybackEvent::Pause);
    return 0;
}

MCIERROR Device::resume(DWORD flags, const MCI_GENERIC_PARMS* parms) {
    if ((flags & MCI_NOTIFY) && parms == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    if (m_state.mode() == Mode::Stopped) return MCIERR_NONAPPLICABLE_FUNCTION;
    m_state.handle(PlaybackEvent::Play, notifyRequest(flags, parms ? parms->dwCallback : 0));
    return 0;
}

MCIERROR Device::stop() {
    m_state.handle(PlaybackEvent::Stop);
    return 0;
}

// Once the file failed to read, a play is taken only when the frame it would show first can be
// read again. Accepting it regardless starts a run that fails at once: a caller that restarts
// whatever stops (repeat playback) would keep the device in the playing mode on a frozen
// picture, each failed run followed by the next.
MCIERROR Device::checkReadable(const Position& from, const Position& to) {
    if (!m_fileFailed || !hasVideo()) return 0;
    const bool shownIsFrom = m_shown && m_shown->number == from.frame;
    const int first = from.frame + (shownIsFrom ? 1 : 0);
    if (first >= std::min(to.frame, m_timeline.frameCount())) return 0;  // nothing to read
    if (!m_feeder->fetch(first, m_display.destination().size())) return MCIERR_FILE_READ;
    m_fileFailed = false;
    return 0;
}

void Device::onModeChange(Mode from, Mode to) {
    if (from == Mode::Playing) haltRun();
    if (to == Mode::Playing) startRun();
}

void Device::startRun() {
    // A play from a position while playing: halting the old run just set the position to where
    // that run had got to.
    if (m_playFrom) m_position = *std::exchange(m_playFrom, std::nullopt);
    // The frame on screen is the position's own, so the run continues with the next one.
    const bool shownIsPosition = m_shown && m_shown->number == m_position.frame;
    const int first = hasVideo() ? m_position.frame + (shownIsPosition ? 1 : 0) : 0;
    const qint64 startUs = m_position.us;
    if (hasVideo()) {
        m_feeder->startRun(first, m_runEnd.frame - 1, m_display.destination().size());
    }
    if (m_audioStream && m_audioStream->seekUs(startUs)) m_audio->start(m_audioStream.get(), startUs);
    m_clock.start(startUs);
    m_presenter.start();
}

void Device::haltRun() {
    if (!m_clock.running()) return;
    m_presenter.stop();
    if (m_audio) m_audio->stop();
    const qint64 now = std::min(m_clock.nowUs(), m_runEnd.us);
    m_clock.stop();
    m_feeder->haltRun();
    // Sound-only files stop where the clock is; video stays on the frame shown.
    if (!hasVideo()) m_position = {m_timeline.frameAt(now), now};
}

void Device::tick() {
    const qint64 now = m_clock.nowUs();
    bool ranOut = true;
    if (hasVideo()) {
        auto due = m_feeder->takeDue(now, [this](int n) { return m_timeline.startUs(n); });
        if (due.frame) {
            m_position = atFrame(due.frame->number);
            present(std::move(*due.frame));
        }
        if (due.failed) {
            m_fileFailed = true;
            return finishRun(PlaybackEvent::Fail);
        }
        ranOut = due.finished || m_runEnd.frame <= m_position.frame;
    } else {
        const qint64 heard = std::min(now, m_runEnd.us);
        m_position = {m_timeline.frameAt(heard), heard};
    }
    if (ranOut && now >= m_runEnd.us) finishRun(PlaybackEvent::ReachEnd);
}

void Device::finishRun(PlaybackEvent event) {
    const Position shown = m_position;
    m_state.handle(event);  // halts the run
    m_position = event == PlaybackEvent::ReachEnd ? m_runEnd : shown;
}

// ---- seek and step -------------------------------------------------------------------------

MCIERROR Device::reposition(const Position& target) {
    if (const MCIERROR error = showExactly(target)) return error;
    m_state.handle(PlaybackEvent::Reposition);
    m_position = target;  // a halted run must not leave its own idea of the position
    return 0;
}

MCIERROR Device::seek(DWORD flags, const MCI_SEEK_PARMS* parms) {
    const DWORD where = flags & (MCI_TO | MCI_SEEK_TO_START | MCI_SEEK_TO_END);
    if (where == 0) return MCIERR_MISSING_PARAMETER;
    if (where != MCI_TO && where != MCI_SEEK_TO_START && where != MCI_SEEK_TO_END) {
        return MCIERR_FLAGS_NOT_COMPATIBLE;
    }
    if (where == MCI_SEEK_TO_START) return reposition(atFrame(0));
    if (where == MCI_SEEK_TO_END) return reposition(endPosition());
    if (parms == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    const auto target = fromUnits(parms->dwTo);
    if (!target) return MCIERR_OUTOFRANGE;
    return reposition(*target);
}

MCIERROR Device::step(DWORD flags, const MCI_DGV_STEP_PARMS* parms) {
    qint64 frames = 1;
    if (flags & MCI_DGV_STEP_FRAMES) {
        if (parms == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
        frames = parms->dwFrames;
    }
    if (flags & MCI_DGV_STEP_REVERSE) frames = -frames;
    const qint64 target = qint64(m_position.frame) + frames;
    if (target < 0 || target > m_timeline.frameCount()) return MCIERR_OUTOFRANGE;
    return reposition(atFrame(int(target)));
}

// ---- queries and settings ------------------------------------------------------------------

MCIERROR Device::status(DWORD flags, MCI_STATUS_PARMS* parms) const {
    if (parms == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    if (!(flags & MCI_STATUS_ITEM)) return MCIERR_MISSING_PARAMETER;
    if ((flags & MCI_TRACK) && parms->dwTrack != 1) return MCIERR_OUTOFRANGE;
    switch (parms->dwItem) {
    case MCI_STATUS_LENGTH: parms->dwReturn = lengthUnits(); break;
    case MCI_STATUS_POSITION:
        parms->dwReturn = (flags & (MCI_STATUS_START | MCI_TRACK)) ? 0 : toUnits(m_position);
        break;
    case MCI_STATUS_NUMBER_OF_TRACKS:
    case MCI_STATUS_CURRENT_TRACK: parms->dwReturn = 1; break;
    case MCI_STATUS_MODE: parms->dwReturn = modeCode(m_state.mode()); break;
    case MCI_STATUS_TIME_FORMAT: parms->dwReturn = m_timeFormat; break;
    case MCI_STATUS_MEDIA_PRESENT:
    case MCI_STATUS_READY: parms->dwReturn = 1; break;
    default: return MCIERR_UNSUPPORTED_FUNCTION;
    }
    return 0;
}

MCIERROR Device::set(DWORD flags, const MCI_SET_PARMS* parms) {
    if (flags & (MCI_SET_DOOR_OPEN | MCI_SET_DOOR_CLOSED)) return MCIERR_UNSUPPORTED_FUNCTION;
    if (!(flags & MCI_SET_TIME_FORMAT)) return MCIERR_MISSING_PARAMETER;
    if (parms == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    if (parms->dwTimeFormat != MCI_FORMAT_FRAMES && parms->dwTimeFormat != MCI_FORMAT_MILLISECONDS) {
        return MCIERR_BAD_TIME_FORMAT;
    }
    m_timeFormat = parms->dwTimeFormat;
    return 0;
}

MCIERROR Device::getDevCaps(DWORD flags, MCI_GETDEVCAPS_PARMS* parms) const {
    if (parms == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    if (!(flags & MCI_GETDEVCAPS_ITEM)) return MCIERR_MISSING_PARAMETER;
    switch (parms->dwItem) {
    case MCI_GETDEVCAPS_CAN_PLAY:
    case MCI_GETDEVCAPS_USES_FILES:
    case MCI_GETDEVCAPS_COMPOUND_DEVICE: parms->dwReturn = 1; break;
    case MCI_GETDEVCAPS_CAN_RECORD:
    case MCI_GETDEVCAPS_CAN_EJECT:
    case MCI_GETDEVCAPS_CAN_SAVE: parms->dwReturn = 0; break;
    case MCI_GETDEVCAPS_HAS_VIDEO: parms->dwReturn = hasVideo() ? 1 : 0; break;
    case MCI_GETDEVCAPS_HAS_AUDIO: parms->dwReturn = m_info.hasAudio ? 1 : 0; break;
    case MCI_GETDEVCAPS_DEVICE_TYPE:
        parms->dwReturn = hasVideo() ? MCI_DEVTYPE_DIGITAL_VIDEO : MCI_DEVTYPE_WAVEFORM_AUDIO;
        break;
    default: return MCIERR_UNSUPPORTED_FUNCTION;
    }
    return 0;
}

// ---- picture commands ----------------------------------------------------------------------

MCIERROR Device::window(DWORD flags, const MCI_DGV_WINDOW_PARMS* parms) {
    if (!hasVideo()) return MCIERR_UNSUPPORTED_FUNCTION;
    if (parms == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    if (!(flags & (MCI_DGV_WINDOW_HWND | MCI_DGV_WINDOW_STATE))) return MCIERR_MISSING_PARAMETER;
    if (flags & MCI_DGV_WINDOW_HWND) {
        m_display.attach(parms->hWnd);
        if (parms->hWnd != nullptr && m_shown) m_display.present(m_shown->image);
    }
    if (flags & MCI_DGV_WINDOW_STATE) m_display.setDefaultWindowVisible(parms->nCmdShow != 0);
    return 0;
}

MCIERROR Device::put(DWORD flags, const MCI_DGV_RECT_PARMS* parms) {
    if (!hasVideo()) return MCIERR_UNSUPPORTED_FUNCTION;
    if (flags & MCI_DGV_PUT_SOURCE) return MCIERR_UNSUPPORTED_FUNCTION;
    if (!(flags & MCI_DGV_PUT_DESTINATION)) return MCIERR_MISSING_PARAMETER;
    QRect rect(QPoint(0, 0), m_info.naturalSize);
    if (flags & MCI_DGV_RECT) {
        if (parms == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
        if (parms->rc.right < 0 || parms->rc.bottom < 0) return MCIERR_OUTOFRANGE;
        rect = QRect(parms->rc.left, parms->rc.top, parms->rc.right, parms->rc.bottom);
    }
    m_display.setDestination(rect);
    m_feeder->setRunSize(rect.size());
    if (m_shown && m_shown->image.size() != rect.size()) {
        m_feeder->reconvert(m_shown->picture, rect.size(), m_pictureToken);
    }
    return 0;
}

MCIERROR Device::where(DWORD flags, MCI_DGV_RECT_PARMS* parms) const {
    if (parms == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    QRect rect;
    if (flags & MCI_DGV_WHERE_SOURCE) {
        rect = QRect(QPoint(0, 0), m_info.naturalSize);
    } else if (flags & MCI_DGV_WHERE_DESTINATION) {
        rect = m_display.destination();
    } else {
        return MCIERR_MISSING_PARAMETER;
    }
    if (!hasVideo()) rect = QRect();
    parms->rc = RECT{rect.left(), rect.top(), rect.width(), rect.height()};
    return 0;
}

MCIERROR Device::update() {
    if (!hasVideo()) return MCIERR_UNSUPPORTED_FUNCTION;
    m_display.repaint();
    return 0;
}

// ---- this service's own commands -----------------------------------------------------------

MCIERROR Device::frameInfo(DWORD flags, MCI_TVL_FRAMEINFO_PARMS* parms) const {
    if (!hasVideo()) return MCIERR_UNSUPPORTED_FUNCTION;
    if (parms == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    if ((flags & MCI_TVL_FRAMEINFO_FRAME) && (flags & MCI_TVL_FRAMEINFO_TIME)) {
        return MCIERR_FLAGS_NOT_COMPATIBLE;
    }
    const int count = m_timeline.frameCount();
    if (count == 0) return MCIERR_OUTOFRANGE;
    int frame = std::min(m_position.frame, count - 1);  // the end shows the last frame
    if (flags & MCI_TVL_FRAMEINFO_FRAME) {
        if (parms->dwFrame >= DWORD(count)) return MCIERR_OUTOFRANGE;
        frame = int(parms->dwFrame);
    } else if (flags & MCI_TVL_FRAMEINFO_TIME) {
        const qint64 sinceFirst = parms->llTimeUs - m_info.firstPtsUs;
        if (sinceFirst < 0 || sinceFirst >= m_timeline.endUs()) return MCIERR_OUTOFRANGE;
        frame = m_timeline.frameAt(sinceFirst);
    }
    const FrameFacts facts = m_timeline.factsOf(frame);
    parms->dwFrame = DWORD(frame);
    parms->chPictureType = facts.pictureType;
    parms->fKeyframe = facts.keyframe ? 1 : 0;
    parms->llStartUs = m_info.firstPtsUs + m_timeline.startUs(frame);
    parms->llDurationUs = m_timeline.startUs(frame + 1) - m_timeline.startUs(frame);
    parms->dwRateNum = DWORD(std::max(m_info.rateNum, 0));
    parms->dwRateDen = DWORD(std::max(m_info.rateDen, 0));
    parms->fVariableRate = m_info.variableRate ? 1 : 0;
    return 0;
}

MCIERROR Device::capture(MCI_TVL_CAPTURE_PARMS* parms) const {
    if (!hasVideo()) return MCIERR_UNSUPPORTED_FUNCTION;
    if (parms == nullptr || parms->lpImage == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    if (!m_shown || !m_shown->picture) return MCIERR_DEVICE_NOT_READY;
    const QSize natural = m_info.naturalSize;
    QImage image = m_shown->image.size() == natural ? m_shown->image : m_shown->picture->toImage(natural);
    if (image.isNull()) return MCIERR_OUT_OF_MEMORY;
    *parms->lpImage = image.convertToFormat(QImage::Format_RGB32);
    parms->dwFrame = DWORD(m_shown->number);
    return 0;
}

}  // namespace mci
