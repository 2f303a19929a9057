#include "Mci.h"
#include "ScriptedMci.h"

#include <QByteArray>
#include <cstring>
#include <QString>
#include <gtest/gtest.h>

TEST(MciInterface, WithoutAServiceEveryCommandIsRefusedWithAText) {
    ASSERT_EQ(mciInstalledService(), nullptr);
    MCI_OPEN_PARMS open;
    open.lpstrElementName = "/tmp/a.avi";
    const MCIERROR error = mciSendCommandA(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_ELEMENT,
                                           reinterpret_cast<DWORD_PTR>(&open));
    EXPECT_EQ(error, MCIERR_DEVICE_NOT_INSTALLED);
    char text[4096];
    ASSERT_TRUE(mciGetErrorStringA(error, text, sizeof text));
    EXPECT_GT(std::strlen(text), 0u);
    EXPECT_FALSE(mciGetErrorStringA(MCIERR_OUTOFRANGE, text, sizeof text));
    EXPECT_STREQ(text, "");
}

TEST(MciInterface, ShortTextBuffersAreCutBetweenCharacters) {
    for (UINT length = 1; length < 40; ++length) {
        char text[64];
        std::memset(text, 'x', sizeof text);
        mciGetErrorStringA(MCIERR_DEVICE_NOT_INSTALLED, text, length);
        const QByteArray bytes(text);
        ASSERT_LT(UINT(bytes.size()), length);
        EXPECT_EQ(QString::fromUtf8(bytes).toUtf8(), bytes) << "length " << length;
    }
}

TEST(MciInterface, InstalledServiceReceivesCommandsAndIsRemovedAgain) {
    {
        ScriptedMci scripted;
        MCI_STATUS_PARMS status;
        status.dwItem = MCI_STATUS_MODE;
        scripted.open = true;
        EXPECT_EQ(mciSendCommandA(1, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM,
                                  reinterpret_cast<DWORD_PTR>(&status)),
                  0u);
        EXPECT_EQ(status.dwReturn, MCI_MODE_STOP);
        ASSERT_EQ(scripted.count(MCI_STATUS), 1);
    }
    EXPECT_EQ(mciInstalledService(), nullptr);
}

TEST(MciInterface, TmsfPacking) {
    const DWORD t = MCI_MAKE_TMSF(3, 1, 2, 10);
    EXPECT_EQ(MCI_TMSF_TRACK(t), 3);
    EXPECT_EQ(MCI_TMSF_MINUTE(t), 1);
    EXPECT_EQ(MCI_TMSF_SECOND(t), 2);
    EXPECT_EQ(MCI_TMSF_FRAME(t), 10);
}
