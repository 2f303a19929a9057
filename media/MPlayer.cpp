// The media device component TMediaPlayer (interface stub while the implementation lands).
#include "MPlayer.h"

#include <QPainter>

TMediaPlayer::TMediaPlayer(QWidget* parent) : QWidget(parent) {}
TMediaPlayer::~TMediaPlayer() = default;
void TMediaPlayer::Loaded() {}
void TMediaPlayer::Open() {}
void TMediaPlayer::Close() {}
void TMediaPlayer::Play() {}
void TMediaPlayer::Record() {}
void TMediaPlayer::Stop() {}
void TMediaPlayer::Pause() {}
void TMediaPlayer::Resume() {}
void TMediaPlayer::TogglePause() {}
void TMediaPlayer::Next() {}
void TMediaPlayer::Previous() {}
void TMediaPlayer::Step() {}
void TMediaPlayer::Back() {}
void TMediaPlayer::Eject() {}
void TMediaPlayer::SeekToStart() {}
void TMediaPlayer::SetDisplay(QWidget* value) { m_display = value; }
QString TMediaPlayer::LastErrorText() const { return {}; }
std::int32_t TMediaPlayer::Position() { return 0; }
void TMediaPlayer::SetPosition(std::int32_t) {}
std::int32_t TMediaPlayer::Length() { return 0; }
std::int32_t TMediaPlayer::Start() { return 0; }
TMPModes TMediaPlayer::Mode() { return dmNotReady; }
TMPTimeFormats TMediaPlayer::TimeFormat() { return 0; }
void TMediaPlayer::SetTimeFormat(TMPTimeFormats) {}
std::int32_t TMediaPlayer::TrackCount() { return 0; }
std::int32_t TMediaPlayer::TrackStart(std::int32_t) { return 0; }
void TMediaPlayer::GetPictureRect(TRect&) {}
void TMediaPlayer::SetPictureRect(const TRect&) {}
void TMediaPlayer::SetVisibleButtons(TButtonSet value) { m_visibleButtons = value; }
void TMediaPlayer::SetEnabledButtons(TButtonSet value) { m_enabledButtons = value; }
void TMediaPlayer::SetColoredButtons(TButtonSet value) { m_coloredButtons = value; }
void TMediaPlayer::SetAutoEnable(bool value) { m_autoEnable = value; }
int TMediaPlayer::VisibleCount() const { return 1; }
bool TMediaPlayer::IsAvailable(TMPBtnType) const { return false; }
const QImage& TMediaPlayer::Glyph(TMPBtnType kind, GlyphKind glyph) const { return m_slots[kind].Glyphs[glyph]; }
void TMediaPlayer::AdjustAutoButtons(TMPBtnType) {}
void TMediaPlayer::ButtonClick(TMPBtnType, bool&) {}
void TMediaPlayer::ButtonPostClick(TMPBtnType) {}
void TMediaPlayer::DeviceNotify() {}
void TMediaPlayer::RefreshAutoFlags() {}
bool TMediaPlayer::event(QEvent* event) { return QWidget::event(event); }
bool TMediaPlayer::focusNextPrevChild(bool next) { return QWidget::focusNextPrevChild(next); }
void TMediaPlayer::paintEvent(QPaintEvent*) {}
void TMediaPlayer::resizeEvent(QResizeEvent*) {}
void TMediaPlayer::mousePressEvent(QMouseEvent*) {}
void TMediaPlayer::mouseDoubleClickEvent(QMouseEvent*) {}
void TMediaPlayer::mouseMoveEvent(QMouseEvent*) {}
void TMediaPlayer::mouseReleaseEvent(QMouseEvent*) {}
void TMediaPlayer::keyPressEvent(QKeyEvent*) {}
void TMediaPlayer::focusInEvent(QFocusEvent*) {}
void TMediaPlayer::focusOutEvent(QFocusEvent*) {}
