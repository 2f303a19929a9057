#include "Form.h"

#include "Application.h"
#include "FormClient.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>
#include <algorithm>

namespace fw {

Form::Form(QWidget* parent) : QWidget(parent, Qt::Window), m_client(new FormClient(this)) {
    applyWindowFlags();
    setClientSize(320, 240);
}

Form::~Form() { destroying(); }

void Form::destroying() {
    if (m_destroyed) return;
    m_destroyed = true;
    if (OnDestroy) guard([this] { OnDestroy(this); });
}

QWidget* Form::client() const { return m_client; }

void Form::setMenuBar(QMenuBar* menuBar) {
    if (menuBar == m_menuBar) return;
    delete m_menuBar;
    m_menuBar = menuBar;
    if (m_menuBar) {
        m_menuBar->setParent(this);
        m_menuBar->setNativeMenuBar(false);  // counted inside the window, always
        m_menuBar->show();
    }
    applySize();
}

int Form::nonClientWidth() const { return kFrameWidth; }

int Form::nonClientHeight() const {
    const int caption =
        m_borderStyle == FormBorderStyle::bsToolWindow ? kToolCaptionHeight : kCaptionHeight;
    return caption + (m_menuBar ? kMenuBarHeight : 0);
}

int Form::Width() const { return m_clientWidth + nonClientWidth(); }
int Form::Height() const { return m_clientHeight + nonClientHeight(); }

void Form::setWidth(int width) { setClientSize(width - nonClientWidth(), m_clientHeight); }

void Form::setHeight(int height) { setClientSize(m_clientWidth, height - nonClientHeight()); }

void Form::setClientSize(int width, int height) {
    m_clientWidth = std::max(0, width);
    m_clientHeight = std::max(0, height);
    applySize();
}

// The widget itself is the menu bar plus the client area; the window manager adds the frame.
void Form::applySize() {
    const int menu = m_menuBar ? kMenuBarHeight : 0;
    if (m_menuBar) m_menuBar->setGeometry(0, 0, m_clientWidth, menu);
    m_client->setGeometry(0, menu, m_clientWidth, m_clientHeight);
    setFixedSize(m_clientWidth, menu + m_clientHeight);
}

void Form::setBorderStyle(FormBorderStyle style) {
    if (style == m_borderStyle) return;
    m_borderStyle = style;
    applyWindowFlags();
    applySize();
}

void Form::setStayOnTop(bool stayOnTop) {
    if (stayOnTop == m_stayOnTop) return;
    m_stayOnTop = stayOnTop;
    applyWindowFlags();
}

void Form::applyWindowFlags() {
    const bool visible = isVisible();
    // A close box and a system menu, never a minimise or maximise box.
    Qt::WindowFlags flags = Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    flags |= m_borderStyle == FormBorderStyle::bsToolWindow ? Qt::Tool : Qt::Window;
    if (m_stayOnTop) flags |= Qt::WindowStaysOnTopHint;
    setWindowFlags(flags);
    if (visible) show();  // changing the flags hides a window
}

void Form::setPosition(FormPosition position) { m_position = position; }

void Form::setColor(const QColor& color) {
    QPalette p = m_client->palette();
    p.setColor(QPalette::Window, color);
    m_client->setPalette(p);
}

void Form::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous()) return;  // the window manager restoring it, not a show
    if (OnShow) guard([this] { OnShow(this); });
    if (!m_shownOnce && m_position == FormPosition::poScreenCenter) centreOnScreen();
    m_shownOnce = true;
}

void Form::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (event->spontaneous()) return;
    if (OnHide) guard([this] { OnHide(this); });
}

void Form::closeEvent(QCloseEvent* event) {
    if (OnClose) guard([this] { OnClose(this); });
    switch (m_closeAction) {
    case CloseAction::None: event->ignore(); return;
    case CloseAction::Hide: event->accept(); return;
    case CloseAction::Quit:
        event->accept();
        QCoreApplication::quit();
        return;
    }
}

void Form::centreOnScreen() {
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->geometry();
    move(area.left() + (area.width() - Width()) / 2, area.top() + (area.height() - Height()) / 2);
}

void Form::clientPainted(const QRect& area) {
    m_paintRect = area;
    if (OnPaint) guard([this] { OnPaint(this); });
    m_paintRect = QRect();
}

void Form::clientClicked() {
    if (OnClick) guard([this] { OnClick(this); });
}

}  // namespace fw
