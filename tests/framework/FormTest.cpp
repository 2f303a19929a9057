#include "Bevel.h"
#include "Button.h"
#include "Colors.h"
#include "Edit.h"
#include "Form.h"
#include "Menu.h"

#include <QAction>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using fw::Form;

namespace {

QMenuBar* playerMenu(int* opened) {
    return fw::buildMenuBar({
        {"KF1", QString::fromUtf8("ファイル(&F)"), {}, {},
         {{"KO1", QString::fromUtf8("開く（&O)"), QKeySequence(Qt::CTRL | Qt::Key_O),
           [opened](TObject*) { ++*opened; }},
          {"N1", "-"},
          {"Exit1", QString::fromUtf8("終了(&X)")}}},
        {"Show1", QString::fromUtf8("表示 (&V)"), {}, {},
         {{"K3", QString::fromUtf8("インデックス"), QKeySequence(Qt::Key_F1)}}},
    });
}

}  // namespace

TEST(Form, OuterSizeIsClientPlusMenuPlusAllowance) {
    int opened = 0;
    Form form;
    form.setMenuBar(playerMenu(&opened));
    form.setWidth(384);
    form.setHeight(376);
    EXPECT_EQ(form.Width(), 384);
    EXPECT_EQ(form.Height(), 376);
    EXPECT_EQ(form.ClientWidth(), 384 - Form::kFrameWidth);
    EXPECT_EQ(form.ClientHeight(), 376 - Form::kCaptionHeight - Form::kMenuBarHeight);
    EXPECT_EQ(form.client()->geometry(),
              QRect(0, Form::kMenuBarHeight, form.ClientWidth(), form.ClientHeight()));
    // The layout's picture frame (bevels down to y = 240 + 86) stays inside the client area.
    EXPECT_GE(form.ClientHeight(), 240 + 86);
    form.setHeight(136);  // a sound file: the horizontal slider (64 + 24) still fits
    EXPECT_GE(form.ClientHeight(), 88);
    // The user cannot resize: the widget is fixed at exactly the menu plus the client.
    EXPECT_EQ(form.minimumSize(), form.maximumSize());

    Form tool;
    tool.setBorderStyle(fw::FormBorderStyle::bsToolWindow);
    tool.setClientSize(104, 357);
    EXPECT_EQ(tool.Width(), 104 + Form::kFrameWidth);
    EXPECT_EQ(tool.Height(), 357 + Form::kToolCaptionHeight);
    EXPECT_TRUE(tool.windowFlags().testFlag(Qt::Tool));
    EXPECT_FALSE(tool.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    tool.setStayOnTop(true);
    EXPECT_TRUE(tool.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(tool.windowFlags().testFlag(Qt::Tool));
}

TEST(Bevel, EtchedLineIsShadowThenHighlightAlongItsEdge) {
    auto lines = [](fw::BevelShape shape, QSize size) {
        fw::Bevel bevel(nullptr, shape);
        bevel.resize(size);
        return bevel.grab().toImage();
    };
    const QRgb shadow = fw::clBtnShadow.rgb();
    const QRgb highlight = fw::clBtnHighlight.rgb();
    const QImage top = lines(fw::BevelShape::bsTopLine, {20, 9});
    EXPECT_EQ(top.pixel(10, 0), shadow);
    EXPECT_EQ(top.pixel(10, 1), highlight);
    const QImage bottom = lines(fw::BevelShape::bsBottomLine, {20, 9});
    EXPECT_EQ(bottom.pixel(10, 7), shadow);
    EXPECT_EQ(bottom.pixel(10, 8), highlight);
    EXPECT_NE(bottom.pixel(10, 0), shadow);
    const QImage left = lines(fw::BevelShape::bsLeftLine, {2, 20});
    EXPECT_EQ(left.pixel(0, 10), shadow);
    EXPECT_EQ(left.pixel(1, 10), highlight);
    const QImage right = lines(fw::BevelShape::bsRightLine, {9, 20});
    EXPECT_EQ(right.pixel(7, 10), shadow);
    EXPECT_EQ(right.pixel(8, 10), highlight);
}

TEST(Form, MenuCaptionsStandAsGivenAndShortcutsFire) {
    int opened = 0;
    Form form;
    form.setMenuBar(playerMenu(&opened));
    QAction* open = fw::findMenuItem(form.menuBar(), "KO1");
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->text(), QString::fromUtf8("開く（&O)"));
    EXPECT_EQ(open->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    ASSERT_NE(fw::findMenuItem(form.menuBar(), "N1"), nullptr);
    EXPECT_TRUE(fw::findMenuItem(form.menuBar(), "N1")->isSeparator());
    EXPECT_EQ(fw::findMenuItem(form.menuBar(), "K3")->shortcut(), QKeySequence(Qt::Key_F1));

    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    QTest::keyClick(&form, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(opened, 1);
}

TEST(Form, ClickOnTheBareClientAreaOnlyAndPaintSeesItsRectangle) {
    Form form;
    form.setClientSize(200, 100);
    auto* button = new fw::Button("Go", form.client());
    button->setBounds(10, 10, 50, 20);
    auto* bevel = new fw::Bevel(form.client(), fw::BevelShape::bsTopLine);
    bevel->setBounds(0, 50, 200, 2);
    int clicks = 0;
    int buttonClicks = 0;
    form.OnClick = [&](TObject* sender) {
        EXPECT_EQ(sender, &form);
        ++clicks;
    };
    button->OnClick = [&](TObject*) { ++buttonClicks; };
    QRect painted;
    form.OnPaint = [&](TObject*) { painted = form.paintRect(); };
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));

    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(buttonClicks, 1);
    EXPECT_EQ(clicks, 0);
    QTest::mouseClick(form.client(), Qt::LeftButton, {}, QPoint(150, 80));
    QTest::mouseClick(form.client(), Qt::RightButton, {}, QPoint(150, 80));
    EXPECT_EQ(clicks, 1);
    QTest::mouseClick(form.client(), Qt::LeftButton, {}, QPoint(100, 50));  // on the bevel
    EXPECT_EQ(clicks, 2);

    form.client()->repaint(QRect(20, 30, 40, 10));
    EXPECT_EQ(painted, QRect(20, 30, 40, 10));
    EXPECT_TRUE(form.paintRect().isNull());
}

TEST(Form, CentredOnFirstShowThenKeepsWhereItWasHidden) {
    Form form;
    form.setPosition(fw::FormPosition::poScreenCenter);
    form.setClientSize(104, 357);
    std::vector<std::string> events;
    form.OnShow = [&](TObject*) { events.push_back("show"); };
    form.OnHide = [&](TObject*) { events.push_back("hide"); };
    form.OnClose = [&](TObject*) { events.push_back("close"); };
    form.show();
    const QRect screen = form.screen()->geometry();
    EXPECT_EQ(form.pos(), QPoint((screen.width() - form.Width()) / 2,
                                 (screen.height() - form.Height()) / 2));
    form.move(40, 50);
    form.close();  // the close box: hidden, not destroyed
    EXPECT_FALSE(form.isVisible());
    form.show();
    EXPECT_EQ(form.pos(), QPoint(40, 50));
    EXPECT_EQ(events, (std::vector<std::string>{"show", "close", "hide", "show"}));

    form.setCloseAction(fw::CloseAction::None);
    form.close();
    EXPECT_TRUE(form.isVisible());
}

TEST(Edit, SameTextIsNotWrittenAgain) {
    fw::Edit edit;
    QSignalSpy spy(&edit, &QLineEdit::textChanged);
    edit.setText("100 / 5Fr.");
    edit.setCursorPosition(3);
    edit.setText("100 / 5Fr.");
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(edit.cursorPosition(), 3);
    edit.setText("100 / 6Fr.");
    EXPECT_EQ(spy.count(), 2);
}

TEST(Edit, ALongTextShowsItsBeginning) {
    fw::Edit edit;
    edit.setBounds(32, 32, 41, 21);
    edit.setReadOnly(true);
    edit.show();
    edit.setText("x0.333333333333333");
    EXPECT_EQ(edit.cursorPosition(), 0);  // the box keeps its caret in view
}

TEST(Form, OnDestroyRunsOnceWhileTheControlsStillExist) {
    int destroyed = 0;
    int buttonsSeen = 0;
    {
        Form form;
        new fw::Button("x", form.client());
        form.OnDestroy = [&](TObject*) {
            ++destroyed;
            buttonsSeen = int(form.client()->findChildren<fw::Button*>().size());
        };
        form.destroying();  // what a subclass's destructor does first
    }
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(buttonsSeen, 1);
}
