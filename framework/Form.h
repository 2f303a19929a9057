// The base of both windows: a top-level widget with an optional menu bar over a client area.
//
// Geometry. client() is the parent of every control, and controls are placed in its
// coordinates; the media service draws the picture into client() as a child surface at client
// coordinates (pass client() as the display window). Width()/Height() are the window's outer
// size as the layout rules count it: client area + menu bar + this platform's fixed
// non-client allowance (the constants below), so a 320 x 240 picture gives exactly 384 x 376
// whatever the window manager draws around it. The user cannot resize a form: both border
// styles are fixed size, and only setWidth/setHeight/setClientSize change it.
//
// Events (TNotifyEvent, Sender = the form; every one runs through fw::guard):
// - OnShow before a hidden form appears; OnHide after it disappears.
// - OnClose when the user closes it (the close box); then closeAction() decides: Hide (the
//   default) hides it, Quit hides it and ends the event loop, None keeps it open.
// - OnDestroy once, from destroying(): ~Form calls it while every control still exists, but a
//   subclass whose handler uses the subclass's own members calls destroying() first thing in
//   its own destructor (by ~Form those members are gone).
// - OnPaint when the client area repaints (paintRect() is the area being repainted, valid
//   during the call; paint with a QPainter on client()).
// - OnClick on a left click (press and release) in the client area outside any control.
// Position ScreenCenter centres the form on the screen when it is first shown; later shows keep
// the position it had when it was last hidden. Menu shortcuts work while the form is active.
// UI thread only. The form owns its menu bar, client area and controls (Qt parenthood).
#pragma once

#include "Events.h"

#include <QRect>
#include <QWidget>

class QMenuBar;

namespace fw {

class FormClient;

enum class FormBorderStyle { bsSingle, bsToolWindow };
enum class FormPosition { poDefaultPosOnly, poScreenCenter };
enum class CloseAction { None, Hide, Quit };

class Form : public QWidget {
public:
    // This platform's non-client allowance: what the frame and caption add to the client area.
    static constexpr int kFrameWidth = 6;          // left + right frame
    static constexpr int kCaptionHeight = 25;      // caption + top and bottom frame, bsSingle
    static constexpr int kToolCaptionHeight = 21;  // the same for bsToolWindow
    static constexpr int kMenuBarHeight = 20;

    explicit Form(QWidget* parent = nullptr);
    ~Form() override;

    QWidget* client() const;
    // Installs the menu bar (the form takes it over); the client area moves down under it and
    // the outer height grows by kMenuBarHeight, the client area keeping its size.
    void setMenuBar(QMenuBar* menuBar);
    QMenuBar* menuBar() const { return m_menuBar; }

    int Width() const;
    int Height() const;
    void setWidth(int width);    // outer; the client area takes what the allowance leaves
    void setHeight(int height);  // outer
    int ClientWidth() const { return m_clientWidth; }
    int ClientHeight() const { return m_clientHeight; }
    void setClientSize(int width, int height);
    int nonClientWidth() const;
    int nonClientHeight() const;  // caption and frame, plus the menu bar when there is one

    FormBorderStyle borderStyle() const { return m_borderStyle; }
    void setBorderStyle(FormBorderStyle style);
    bool stayOnTop() const { return m_stayOnTop; }
    void setStayOnTop(bool stayOnTop);  // fsStayOnTop
    FormPosition position() const { return m_position; }
    void setPosition(FormPosition position);
    QString caption() const { return windowTitle(); }
    void setCaption(const QString& caption) { setWindowTitle(caption); }
    void setColor(const QColor& color);  // the client area's background
    CloseAction closeAction() const { return m_closeAction; }
    void setCloseAction(CloseAction action) { m_closeAction = action; }

    // Runs OnDestroy unless it already ran.
    void destroying();

    // The area being repainted; valid during OnPaint only (empty otherwise).
    QRect paintRect() const { return m_paintRect; }

    TNotifyEvent OnShow;
    TNotifyEvent OnHide;
    TNotifyEvent OnClose;
    TNotifyEvent OnDestroy;
    TNotifyEvent OnPaint;
    TNotifyEvent OnClick;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    friend class FormClient;
    void clientPainted(const QRect& area);
    void clientClicked();
    void applyWindowFlags();
    void applySize();
    void centreOnScreen();

    FormClient* m_client = nullptr;
    QMenuBar* m_menuBar = nullptr;
    int m_clientWidth = 0;
    int m_clientHeight = 0;
    FormBorderStyle m_borderStyle = FormBorderStyle::bsSingle;
    FormPosition m_position = FormPosition::poDefaultPosOnly;
    CloseAction m_closeAction = CloseAction::Hide;
    bool m_stayOnTop = false;
    bool m_shownOnce = false;
    bool m_destroyed = false;
    QRect m_paintRect;
};

}  // namespace fw
