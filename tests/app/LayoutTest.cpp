// The window laid out around the picture, at the natural size and through the zoom slider.
#include "PlayerWindowFixture.h"

#include "PlayerRules.h"
#include "TavolenZoom.h"

namespace {

struct Expected {
    QSize window;
    int bevel1Width, bevel1Top, bevel4Left, bevel4Height;
    QSize bar;
    int player;
    int counterLeft;
};

void expectLayout(TTavolenForm& f, const Expected& e) {
    EXPECT_EQ(QSize(f.Width(), f.Height()), e.window);
    EXPECT_EQ(f.Bevel1->width(), e.bevel1Width);
    EXPECT_EQ(f.Bevel1->y(), e.bevel1Top);
    EXPECT_EQ(f.Bevel2->width(), e.bevel1Width);
    EXPECT_EQ(f.Bevel3->height(), e.bevel4Height);
    EXPECT_EQ(f.Bevel4->x(), e.bevel4Left);
    EXPECT_EQ(f.Bevel4->height(), e.bevel4Height);
    EXPECT_EQ(f.Bar->geometry(), QRect(QPoint(0, 64), e.bar));
    EXPECT_EQ(f.MediaPlayer1->width(), e.player);
    EXPECT_EQ(f.Counter->x(), e.counterLeft);
}

}  // namespace

TEST_F(PlayerWindow, LayoutAroundVideosOfThreeSizes) {
    struct Case { QSize picture; Expected e; };
    const Case cases[] = {
        {{320, 240}, {{384, 376}, 340, 324, 372, 260, {25, 258}, 341, 193}},
        {{160, 120}, {{384, 256}, 180, 204, 212, 140, {25, 138}, 317, 193}},
        {{640, 480}, {{704, 616}, 660, 564, 692, 500, {25, 498}, 661, 513}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.picture.width());
        picture(c.picture.width(), c.picture.height());
        mci.clear();
        start({file("clip.avi")});
        expectLayout(*form, c.e);
        EXPECT_EQ(NaturalRect, (TRect{0, 0, c.picture.width(), c.picture.height()}));
        const MciCall* put = mci.last(MCI_PUT);
        ASSERT_NE(put, nullptr);
        EXPECT_TRUE(put->has(MCI_DGV_PUT_DESTINATION));
        EXPECT_EQ(QRect(put->rect.left, put->rect.top, put->rect.right, put->rect.bottom),
                  QRect(42, 74, c.picture.width(), c.picture.height()));
        // The client area keeps the designed margins: the picture ends 62 pixels above the
        // bottom edge and the frame 10 pixels right of it.
        EXPECT_EQ(form->ClientHeight() - (74 + c.picture.height()),
                  form->ClientHeight() - form->Bevel1->y() + 10);
        form.reset();
    }
}

TEST_F(PlayerWindow, SoundFileLaysOutWithoutPicture) {
    picture(0, 0);
    start({file("tone.wav")});
    expectLayout(*form, {{384, 136}, 20, 84, 52, 20, {366, 24}, 317, 193});
    EXPECT_EQ(form->Bar->orientation(), Qt::Horizontal);
    EXPECT_EQ(NaturalRect, TRect());
    EXPECT_EQ(mci.count(MCI_PUT), 0);  // the device ignores a rectangle without picture
    // No frame for the picture there is not: it would be a small box over the slider.
    for (const fw::Bevel* edge : {form->Bevel1, form->Bevel2, form->Bevel3, form->Bevel4})
        EXPECT_FALSE(edge->isVisible());

    // A video afterwards turns the slider upright again, its sides exchanged, in its frame.
    picture(320, 240);
    form->Timer2Timer(form->Timer2);
    openFromMenu(file("clip.avi"));
    for (const fw::Bevel* edge : {form->Bevel1, form->Bevel2, form->Bevel3, form->Bevel4})
        EXPECT_TRUE(edge->isVisible());
    EXPECT_EQ(form->Bar->orientation(), Qt::Vertical);
    EXPECT_EQ(form->Bar->height(), 258);
    EXPECT_EQ(QSize(form->Width(), form->Height()), QSize(384, 376));
}

TEST_F(PlayerWindow, ExtensionWithoutPictureAndNotASoundNameStaysZero) {
    picture(0, 0);
    start({file("music.ogg")});
    EXPECT_EQ(NaturalRect, TRect());
    EXPECT_EQ(form->Bar->orientation(), Qt::Vertical);
    EXPECT_EQ(QSize(form->Width(), form->Height()), QSize(384, 136));
}

TEST_F(PlayerWindow, SmallerVideoAfterALargerOneShrinksTheWindow) {
    picture(640, 480);
    start({file("large.avi")});
    EXPECT_EQ(QSize(form->Width(), form->Height()), QSize(704, 616));
    picture(160, 120);
    openFromMenu(file("small.avi"));
    expectLayout(*form, {{384, 256}, 180, 204, 212, 140, {25, 138}, 317, 193});
}

// ---- zoom --------------------------------------------------------------------------------------

TEST_F(PlayerWindow, ZoomAllSeventeenPositionsFor320x240) {
    picture(320, 240);
    TTavolenForm& f = playing();
    const char* texts[] = {"x0.333333333333333", "x0.363636363636364", "x0.4", "x0.444444444444444",
                           "x0.5", "x0.571428571428571", "x0.666666666666667", "x0.8", "x1",
                           "x1.25", "x1.5", "x1.75", "x2", "x2.25", "x2.5", "x2.75", "x3"};
    const QSize sizes[] = {{107, 80}, {116, 87}, {128, 96}, {142, 107}, {160, 120}, {183, 137},
                           {213, 160}, {256, 192}, {320, 240}, {400, 300}, {480, 360}, {560, 420},
                           {640, 480}, {720, 540}, {800, 600}, {880, 660}, {960, 720}};
    const QSize windows[] = {{384, 216}, {384, 223}, {384, 232}, {384, 243}, {384, 256}, {384, 273},
                             {384, 296}, {384, 328}, {384, 376}, {464, 436}, {544, 496}, {624, 556},
                             {704, 616}, {784, 676}, {864, 736}, {944, 796}, {1024, 856}};
    for (int p = -8; p <= 8; ++p) {
        SCOPED_TRACE(p);
        f.Scalbar->setPosition(p == 0 ? 1 : 0);  // make the next set a change
        mci.clear();
        f.Scalbar->setPosition(p);
        const int i = p + 8;
        EXPECT_EQ(f.Scal->text(), texts[i]);
        EXPECT_EQ(QSize(f.Width(), f.Height()), windows[i]);
        const MciCall* put = mci.last(MCI_PUT);
        ASSERT_NE(put, nullptr);
        EXPECT_EQ(QRect(put->rect.left, put->rect.top, put->rect.right, put->rect.bottom),
                  QRect(QPoint(42, 74), sizes[i]));
        EXPECT_EQ(f.PictureArea(), QRect(QPoint(42, 74), sizes[i]));
    }
}

TEST_F(PlayerWindow, ZoomNeverAccumulatesAndZeroIsTheOpenedLayout) {
    picture(320, 240);
    TTavolenForm& f = playing();
    const QSize opened(f.Width(), f.Height());
    f.Scalbar->setPosition(4);
    const QSize direct(f.Width(), f.Height());
    const int directBevel = f.Bevel4->x();
    f.Scalbar->setPosition(8);
    f.Scalbar->setPosition(4);
    EXPECT_EQ(QSize(f.Width(), f.Height()), direct);
    EXPECT_EQ(f.Bevel4->x(), directBevel);
    f.Scalbar->setPosition(0);
    EXPECT_EQ(f.Scal->text(), "x1");
    EXPECT_EQ(QSize(f.Width(), f.Height()), opened);
}

TEST_F(PlayerWindow, ZoomRoundsHalvesToEven) {
    picture(350, 330);
    TTavolenForm& f = playing();
    f.Scalbar->setPosition(1);
    const MciCall* put = mci.last(MCI_PUT);
    ASSERT_NE(put, nullptr);
    EXPECT_EQ(put->rect.right, 438);
    EXPECT_EQ(put->rect.bottom, 412);
}

TEST_F(PlayerWindow, ZoomOfATinyPictureAndOfASoundFile) {
    picture(1, 1);
    TTavolenForm& f = playing();
    f.Scalbar->setPosition(-8);
    EXPECT_EQ(QSize(f.Width(), f.Height()), QSize(384, 136));
    const MciCall* put = mci.last(MCI_PUT);
    ASSERT_NE(put, nullptr);  // 0 x 0 means the natural size to the device
    EXPECT_EQ(QSize(put->rect.right, put->rect.bottom), QSize(1, 1));
    EXPECT_EQ(f.PictureArea(), QRect(42, 74, 1, 1));
    form.reset();

    picture(0, 0);
    playing(QStringLiteral("tone.wav"));
    for (int p : {3, -5, 8}) {
        form->Scalbar->setPosition(p);
        EXPECT_EQ(QSize(form->Width(), form->Height()), QSize(384, 136));
        EXPECT_EQ(form->Scal->text(), ZoomText(ZoomFactor(p)));
    }
    EXPECT_EQ(mci.count(MCI_PUT), 0);
}

TEST_F(PlayerWindow, OpeningAnotherFileKeepsTheZoomSliderAndLabel) {
    picture(320, 240);
    TTavolenForm& f = playing();
    f.Scalbar->setPosition(4);
    picture(320, 240);  // a new device reports its natural size again
    openFromMenu(file("next.avi"));
    EXPECT_EQ(f.Scalbar->position(), 4);
    EXPECT_EQ(f.Scal->text(), "x2");
    EXPECT_EQ(QSize(f.Width(), f.Height()), QSize(384, 376));  // natural size again
}
