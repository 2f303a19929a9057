// Where the picture goes: the attached window or the default one, the destination rectangle,
// natural size, update, and windows that disappear.
#include "FakeMedia.h"

#include "Device.h"

#include <gtest/gtest.h>

#include <QTest>

using namespace servicetest;

namespace {

class ServicePicture : public ::testing::Test {
protected:
    void SetUp() override {
        fake.addFile("wide.mp4", videoMedia(60, {320, 240}));
        fake.addFile("tone.mp3", soundMedia(2000000));
        id = fake.open("wide.mp4");
        ASSERT_NE(id, 0u);
    }
    MCIERROR attach(QWidget* window) {
        MCI_DGV_WINDOW_PARMS parms;
        parms.hWnd = window;
        return mciSendCommandA(id, MCI_WINDOW, MCI_WAIT | MCI_DGV_WINDOW_HWND, DWORD_PTR(&parms));
    }
    MCIERROR put(RECT rc, DWORD flags = MCI_DGV_PUT_DESTINATION | MCI_DGV_RECT) {
        MCI_DGV_RECT_PARMS parms;
        parms.rc = rc;
        return mciSendCommandA(id, MCI_PUT, flags, DWORD_PTR(&parms));
    }
    RECT where(DWORD which, MCIDEVICEID device = 0) {
        MCI_DGV_RECT_PARMS parms;
        parms.rc = RECT{-1, -1, -1, -1};
        EXPECT_EQ(mciSendCommandA(device ? device : id, MCI_WHERE, which, DWORD_PTR(&parms)), 0u);
        return parms.rc;
    }
    mci::VideoSurface* surface() { return fake.service().device(id)->surface(); }

    FakeService fake;
    MCIDEVICEID id = 0;
};

bool sameRect(RECT a, RECT b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST_F(ServicePicture, TheDefaultWindowAppearsOnlyWithAPictureToShow) {
    EXPECT_EQ(fake.service().device(id)->defaultWindow(), nullptr);  // opening shows nothing
    ASSERT_EQ(fake.seek(id, 7), 0u);
    QWidget* own = fake.service().device(id)->defaultWindow();
    ASSERT_NE(own, nullptr);
    EXPECT_TRUE(own->isVisible());
    EXPECT_EQ(surface()->parentWidget(), own);

    QWidget window;
    ASSERT_EQ(attach(&window), 0u);
    EXPECT_FALSE(own->isVisible());
    EXPECT_EQ(surface()->parentWidget(), &window);
    EXPECT_EQ(fakeFrameNumber(surface()->image()), 7);
}

TEST_F(ServicePicture, TheSurfaceSitsAtTheDestinationAndLetsClicksThrough) {
    QWidget window;
    window.resize(600, 400);
    ASSERT_EQ(attach(&window), 0u);
    ASSERT_NE(surface(), nullptr);
    EXPECT_EQ(surface()->parentWidget(), &window);
    EXPECT_EQ(surface()->geometry(), QRect(0, 0, 320, 240));
    EXPECT_EQ(fakeFrameNumber(surface()->image()), 0);  // the first frame, shown on attach
    EXPECT_TRUE(surface()->testAttribute(Qt::WA_OpaquePaintEvent));
    EXPECT_EQ(window.childAt(QPoint(100, 100)), nullptr);  // a click there is the window's

    ASSERT_EQ(put(RECT{42, 74, 160, 120}), 0u);
    EXPECT_EQ(surface()->geometry(), QRect(42, 74, 160, 120));
    EXPECT_TRUE(sameRect(where(MCI_DGV_WHERE_DESTINATION), RECT{42, 74, 160, 120}));
    // The picture is converted again at the size shown, off the UI thread.
    EXPECT_TRUE(QTest::qWaitFor([&] { return surface()->image().size() == QSize(160, 120); }, 10000));
    EXPECT_EQ(fakeFrameNumber(surface()->image()), 0);

    ASSERT_EQ(put(RECT{}, MCI_DGV_PUT_DESTINATION), 0u);  // no rectangle: natural size at 0,0
    EXPECT_TRUE(sameRect(where(MCI_DGV_WHERE_DESTINATION), RECT{0, 0, 320, 240}));
    EXPECT_EQ(put(RECT{}, MCI_DGV_PUT_SOURCE | MCI_DGV_RECT), MCIERR_UNSUPPORTED_FUNCTION);
    EXPECT_EQ(put(RECT{0, 0, -5, 10}), MCIERR_OUTOFRANGE);
}

TEST_F(ServicePicture, WhereReportsTheNaturalSizeAndNothingForSound) {
    EXPECT_TRUE(sameRect(where(MCI_DGV_WHERE_SOURCE), RECT{0, 0, 320, 240}));
    EXPECT_TRUE(sameRect(where(MCI_DGV_WHERE_DESTINATION), RECT{0, 0, 320, 240}));
    const MCIDEVICEID tone = fake.open("tone.mp3");
    EXPECT_TRUE(sameRect(where(MCI_DGV_WHERE_SOURCE, tone), RECT{0, 0, 0, 0}));
    MCI_DGV_WINDOW_PARMS parms;
    EXPECT_EQ(mciSendCommandA(tone, MCI_WINDOW, MCI_WAIT | MCI_DGV_WINDOW_HWND, DWORD_PTR(&parms)),
              MCIERR_UNSUPPORTED_FUNCTION);
}

TEST_F(ServicePicture, UpdateRepaintsTheFrameShown) {
    QWidget window;
    ASSERT_EQ(attach(&window), 0u);
    ASSERT_EQ(fake.seek(id, 33), 0u);
    MCI_DGV_UPDATE_PARMS parms;
    parms.hDC = &window;
    EXPECT_EQ(mciSendCommandA(id, MCI_UPDATE, MCI_DGV_UPDATE_HDC, DWORD_PTR(&parms)), 0u);
    EXPECT_EQ(fakeFrameNumber(surface()->image()), 33);
}

TEST_F(ServicePicture, AWindowDestroyedUnderTheSurfaceIsSurvived) {
    auto* window = new QWidget;
    ASSERT_EQ(attach(window), 0u);
    ASSERT_NE(surface(), nullptr);
    delete window;  // takes the surface with it
    EXPECT_EQ(surface(), nullptr);
    ASSERT_EQ(fake.play(id, nullptr), 0u);
    ASSERT_TRUE(fake.runClockUntil([&] { return fake.status(id, MCI_STATUS_POSITION) > 3; }));
    ASSERT_EQ(fake.command(id, MCI_PAUSE), 0u);
    ASSERT_NE(surface(), nullptr);  // the picture went on in the default window
    EXPECT_EQ(surface()->parentWidget(), fake.service().device(id)->defaultWindow());
    EXPECT_EQ(DWORD(fakeFrameNumber(surface()->image())), fake.status(id, MCI_STATUS_POSITION));
    ASSERT_EQ(attach(nullptr), 0u);
    EXPECT_EQ(fake.command(id, MCI_CLOSE), 0u);
}

TEST_F(ServicePicture, PlaybackShowsEachFrameAsPositionReportsIt) {
    QWidget window;
    ASSERT_EQ(attach(&window), 0u);
    ASSERT_EQ(fake.play(id, nullptr), 0u);
    for (int i = 0; i < 40 && fake.status(id, MCI_STATUS_MODE) == MCI_MODE_PLAY; ++i) {
        fake.clock().advanceUs(20000);
        QTest::qWait(3);
        EXPECT_EQ(DWORD(fakeFrameNumber(surface()->image())), fake.status(id, MCI_STATUS_POSITION));
    }
    ASSERT_EQ(fake.command(id, MCI_STOP), 0u);
    EXPECT_EQ(DWORD(fakeFrameNumber(surface()->image())), fake.status(id, MCI_STATUS_POSITION));
}

}  // namespace
