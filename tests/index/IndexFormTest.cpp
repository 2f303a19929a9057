// The index window against the scripted media service and scripted dialogs: the difference
// display, recording, deleting and selecting entries, saving, showing and hiding. (The player
// window's index steps are tested with the player window.)
#include "IndexForm.h"

#include "Application.h"
#include "Button.h"
#include "Edit.h"
#include "Exception.h"
#include "Gauges.h"
#include "IndexFile.h"
#include "Label.h"
#include "ListBox.h"
#include "ScriptedMci.h"
#include "ScriptedModal.h"
#include "Timer.h"

#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <algorithm>
#include <memory>

namespace {

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QString ErrorText(const char* message) {
    return fw::Application::errorText(QString::fromUtf8(message));
}

class IndexFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        mci.device.length = 1000;
        player.SetFileName(QStringLiteral("/v/clip.mpeg"));
        player.Open();
        mci.clear();
        index = std::make_unique<TIndex>(&player, [this] { return lastMode; });
    }

    // One tick of the difference timer, run the way the timer runs it.
    void Tick() { fw::guard([this] { index->Timer1->OnTimer(index->Timer1); }); }

    void SetEntries(std::vector<QByteArray> entries) { index->Indexlist->setItems(std::move(entries)); }

    // The transport commands sent since the last clear, status queries left out.
    std::vector<std::string> Transport() const {
        std::vector<std::string> sent;
        for (const MciCall& call : mci.calls)
            if (call.command != MCI_STATUS && call.command != MCI_GETDEVCAPS)
                sent.push_back(mciCommandName(call.command));
        return sent;
    }

    ScriptedMci mci;
    ScriptedModal modal;
    TMediaPlayer player;
    TMPModes lastMode = dmPaused;
    std::unique_ptr<TIndex> index;
};

TEST_F(IndexFormTest, WindowIsBuiltAsDesignedAndStartsHidden) {
    EXPECT_FALSE(index->isVisible());
    EXPECT_EQ(index->caption(), QStringLiteral("Index"));
    EXPECT_EQ(index->borderStyle(), fw::FormBorderStyle::bsToolWindow);
    EXPECT_TRUE(index->stayOnTop());
    EXPECT_EQ(index->ClientWidth(), 104);
    EXPECT_EQ(index->ClientHeight(), 357);
    EXPECT_FALSE(index->Timer1->enabled());
    EXPECT_EQ(index->Timer1->interval(), 30);

    EXPECT_TRUE(index->difftime->isReadOnly());
    EXPECT_EQ(index->Label1->text(), QStringLiteral("時間的差分"));
    EXPECT_EQ(index->Reg->caption(), QStringLiteral("登録"));
    EXPECT_EQ(index->Del->caption(), QStringLiteral("削除"));
    EXPECT_EQ(index->SaveIndex->caption(), QStringLiteral("保存"));
    EXPECT_EQ(index->ListClr->caption(), QStringLiteral("消去"));
    EXPECT_EQ(index->PieG->MaxValue(), 29);

    // Tab order: list, 消去, 保存, 登録, 削除, difference box.
    const std::vector<QWidget*> controls{index->Indexlist, index->ListClr, index->SaveIndex,
                                         index->Reg, index->Del, index->difftime};
    std::vector<QWidget*> chain;
    for (QWidget* w = index->Indexlist->nextInFocusChain(); chain.size() < controls.size();
         w = w->nextInFocusChain())
        if (std::find(controls.begin(), controls.end(), w) != controls.end()) chain.push_back(w);
    chain.insert(chain.begin(), index->Indexlist);
    chain.pop_back();
    EXPECT_EQ(chain, controls);
}

// ---- difference display ----------------------------------------------------------------------

TEST_F(IndexFormTest, DifferenceIsSignedTextAndPieTurnsEvery30Frames) {
    SetEntries({"100", "5"});
    const struct {
        LONG position;
        const char* text;
        int progress;
    } cases[] = {{131, "31", 1}, {69, "-31", 1}, {160, "60", 0}, {129, "29", 29}, {70, "-30", 0}};
    for (const auto& c : cases) {
        mci.device.position = c.position;
        Tick();
        EXPECT_EQ(index->difftime->text(), QString::fromLatin1(c.text)) << c.position;
        EXPECT_EQ(index->PieG->Progress(), c.progress) << c.position;
    }
    EXPECT_TRUE(modal.boxes.empty());
}

TEST_F(IndexFormTest, DifferenceWrapsIn32Bits) {
    SetEntries({"-2147483648"});
    mci.device.position = 0;
    Tick();
    // 0 − (−2^31) wraps to −2^31; |−2^31 rem 30| is 8.
    EXPECT_EQ(index->difftime->text(), QStringLiteral("-2147483648"));
    EXPECT_EQ(index->PieG->Progress(), 8);
}

TEST_F(IndexFormTest, EmptyListEmptiesTheBoxAndLeavesThePie) {
    SetEntries({"100"});
    mci.device.position = 110;
    Tick();
    ASSERT_EQ(index->PieG->Progress(), 10);
    index->ListClrClick(index->ListClr);
    mci.clear();
    Tick();
    EXPECT_EQ(index->difftime->text(), QString());
    EXPECT_EQ(index->PieG->Progress(), 10);
    EXPECT_TRUE(mci.calls.empty());  // no position asked for
}

TEST_F(IndexFormTest, DeletingOrClearingTheFirstEntryMovesTheReference) {
    SetEntries({"100", "200"});
    mci.device.position = 250;
    Tick();
    EXPECT_EQ(index->difftime->text(), QStringLiteral("150"));

    index->Indexlist->setItemIndex(0);
    index->DelClick(index->Del);
    Tick();
    EXPECT_EQ(index->difftime->text(), QStringLiteral("50"));

    index->ListClrClick(index->ListClr);
    Tick();
    EXPECT_EQ(index->difftime->text(), QString());
}

// A first entry that is not a frame number must not open an error box on every 30 ms tick.
TEST_F(IndexFormTest, UnconvertibleFirstEntryIsReportedOnceAndChangesNothing) {
    SetEntries({"100"});
    mci.device.position = 107;
    Tick();
    SetEntries({"abc"});
    mci.clear();
    for (int i = 0; i < 5; ++i) Tick();
    ASSERT_EQ(modal.boxes.size(), 1u);
    EXPECT_EQ(modal.boxes[0].kind, fw::BoxKind::Error);
    EXPECT_EQ(modal.boxes[0].text, ErrorText("'abc' は整数ではありません"));
    EXPECT_TRUE(mci.calls.empty());
    EXPECT_EQ(index->difftime->text(), QStringLiteral("7"));
    EXPECT_EQ(index->PieG->Progress(), 7);

    SetEntries({"xyz"});  // another failing text is news
    Tick();
    Tick();
    EXPECT_EQ(modal.boxes.size(), 2u);

    SetEntries({"100"});  // after a good tick the same bad text is reported again
    Tick();
    SetEntries({"xyz"});
    Tick();
    EXPECT_EQ(modal.boxes.size(), 3u);

    index->FormShow(index.get());  // showing the window anew reports it again
    Tick();
    EXPECT_EQ(modal.boxes.size(), 4u);
}

TEST_F(IndexFormTest, EntriesAreReadBackBoundedAt4095Bytes) {
    const QByteArray fits = QByteArray(4094, '0') + "5";
    EXPECT_EQ(TIndex::BoundedEntryToFrame(fits), 5);
    // Cut off, this text would read as frame 0; it must fail instead.
    const QByteArray tooLong = QByteArray(4095, '0') + "5";
    try {
        TIndex::BoundedEntryToFrame(tooLong);
        FAIL() << "converted";
    } catch (const EConvertError& error) {
        const std::string expected = "'" + std::string(4095, '0') + "' は整数ではありません";
        EXPECT_EQ(error.what(), expected);
    }
}

// ---- recording and deleting ------------------------------------------------------------------

TEST_F(IndexFormTest, RegAppendsThePositionEachTime) {
    SetEntries({"7"});
    mci.device.position = 42;
    index->RegClick(index->Reg);
    index->RegClick(index->Reg);
    mci.device.position = -3;
    index->RegClick(index->Reg);
    EXPECT_EQ(index->Indexlist->items(), (std::vector<QByteArray>{"7", "42", "42", "-3"}));
    mci.device.position = 10;
    Tick();
    EXPECT_EQ(index->difftime->text(), QStringLiteral("3"));  // the first entry stays the reference
}

TEST_F(IndexFormTest, DelWithNothingSelectedChangesNothing) {
    SetEntries({"1", "2"});
    index->Indexlist->setItemIndex(-1);
    index->Del->click();
    EXPECT_EQ(index->Indexlist->count(), 2);
    EXPECT_TRUE(modal.boxes.empty());

    // Deleting leaves nothing selected, so a second press deletes nothing more.
    index->Indexlist->setItemIndex(0);
    index->Del->click();
    index->Del->click();
    EXPECT_EQ(index->Indexlist->items(), (std::vector<QByteArray>{"2"}));
    EXPECT_EQ(index->Indexlist->itemIndex(), -1);
}

// ---- selecting an entry ----------------------------------------------------------------------

TEST_F(IndexFormTest, SelectingWhilePausedSeeksAndStaysPaused) {
    SetEntries({"10", "120"});
    lastMode = dmPaused;
    index->Indexlist->setItemIndex(1);
    index->IndexlistClick(index->Indexlist);
    EXPECT_EQ(Transport(), (std::vector<std::string>{"MCI_PAUSE", "MCI_SEEK"}));
    EXPECT_EQ(mci.last(MCI_SEEK)->to, 120u);
    EXPECT_EQ(mci.device.position, 120);
    EXPECT_EQ(lastMode, dmPaused);
}

TEST_F(IndexFormTest, UserSelectionWhilePlayingPlaysOnFromTheEntry) {
    SetEntries({"10", "120", "300"});
    lastMode = dmPlaying;
    index->ShowWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(index.get()));
    mci.clear();
    const QRect row = index->Indexlist->visualRect(index->Indexlist->model()->index(2, 0));
    QTest::mouseClick(index->Indexlist->viewport(), Qt::LeftButton, {}, row.center());
    EXPECT_EQ(Transport(), (std::vector<std::string>{"MCI_PAUSE", "MCI_SEEK", "MCI_PLAY"}));
    EXPECT_EQ(mci.last(MCI_SEEK)->to, 300u);
    EXPECT_TRUE(modal.boxes.empty());
}

TEST_F(IndexFormTest, SelectingANonNumberPausesAndReportsWithoutSeeking) {
    SetEntries({"10", ""});
    lastMode = dmPlaying;
    index->Indexlist->setItemIndex(1);
    fw::guard([this] { index->IndexlistClick(index->Indexlist); });
    EXPECT_EQ(Transport(), (std::vector<std::string>{"MCI_PAUSE"}));
    ASSERT_EQ(modal.boxes.size(), 1u);
    EXPECT_EQ(modal.boxes[0].text, ErrorText("'' は整数ではありません"));
}

TEST_F(IndexFormTest, SelectClickWithNothingSelectedPausesThenFails) {
    SetEntries({"10"});
    try {
        index->IndexlistClick(index->Indexlist);
        FAIL() << "no error";
    } catch (const EStringListError& error) {
        EXPECT_STREQ(error.what(), "リストのインデックスが範囲を超えています (-1)");
    }
    EXPECT_EQ(Transport(), (std::vector<std::string>{"MCI_PAUSE"}));
}

// The player window's device may go first at the end of the program.
TEST_F(IndexFormTest, HandlersThatNeedTheDeviceFailOnceItIsGone) {
    auto device = std::make_unique<TMediaPlayer>();
    TIndex orphan(device.get(), [] { return dmPlaying; });
    device.reset();
    orphan.Indexlist->setItems({"5"});
    fw::guard([&] { orphan.RegClick(orphan.Reg); });
    fw::guard([&] { orphan.Timer1->OnTimer(orphan.Timer1); });
    EXPECT_EQ(modal.texts(fw::BoxKind::Error),
              std::vector<QString>(2, ErrorText("MCI デバイスがありません")));
    EXPECT_EQ(orphan.Indexlist->count(), 1);
}

// After a failed open nothing is open: recording "0" would pass a failure off as an entry.
TEST_F(IndexFormTest, WithNoDeviceOpenRegAndTheDifferenceReportNoDeviceOnce) {
    SetEntries({"100"});
    mci.device.position = 107;
    Tick();
    player.Close();
    fw::guard([this] { index->RegClick(index->Reg); });
    for (int i = 0; i < 5; ++i) Tick();
    EXPECT_EQ(modal.texts(fw::BoxKind::Error),
              std::vector<QString>(2, ErrorText("MCI デバイスがありません")));
    EXPECT_EQ(index->Indexlist->items(), (std::vector<QByteArray>{"100"}));
    EXPECT_EQ(index->difftime->text(), QStringLiteral("7"));

    player.Open();  // a device again: the difference comes back, a later loss is news
    mci.device.position = 107;
    Tick();
    EXPECT_EQ(index->difftime->text(), QStringLiteral("7"));
    player.Close();
    Tick();
    Tick();
    EXPECT_EQ(modal.boxes.size(), 3u);
}

// ---- saving ----------------------------------------------------------------------------------

TEST_F(IndexFormTest, SaveProposesTheIndexFileBesideTheMedia) {
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("saved.idx"));
    SetEntries({"120", "45", "-3"});
    modal.answers.push_back(target);
    index->SaveIndexClick(nullptr);
    ASSERT_EQ(modal.dialogs.size(), 1u);
    const fw::FileDialogRequest& asked = modal.dialogs[0];
    EXPECT_EQ(asked.kind, fw::FileDialogRequest::Kind::Save);
    EXPECT_EQ(asked.initialDir, QStringLiteral("/v"));
    EXPECT_EQ(asked.fileName, QStringLiteral("clip..idx"));
    EXPECT_EQ(asked.filter, QStringLiteral("インデックス(*.idx)|*.idx"));
    EXPECT_EQ(asked.defaultExt, QStringLiteral("idx"));
    EXPECT_TRUE(asked.options.overwritePrompt);
    EXPECT_EQ(ReadFile(target), QByteArray("120\r\n45\r\n-3\r\n"));
    EXPECT_EQ(index->Indexlist->count(), 3);

    player.SetFileName(QStringLiteral("/v/a.avi"));
    modal.answers.push_back(std::nullopt);  // cancelled: nothing written
    index->SaveIndexClick(nullptr);
    ASSERT_EQ(modal.dialogs.size(), 2u);
    EXPECT_EQ(modal.dialogs[1].initialDir, QStringLiteral("/v"));
    EXPECT_EQ(modal.dialogs[1].fileName, QStringLiteral("a.idx"));
    EXPECT_FALSE(QFile::exists(QStringLiteral("/v/a.idx")));
}

TEST_F(IndexFormTest, SaveWithAShortMediaPathDoesNothing) {
    player.SetFileName(QStringLiteral("a.av"));
    index->SaveIndex->click();
    EXPECT_TRUE(modal.dialogs.empty());
    EXPECT_TRUE(modal.boxes.empty());
}

// ---- showing and hiding ----------------------------------------------------------------------

TEST_F(IndexFormTest, TimerRunsExactlyWhileShownAndPlacementIsKept) {
    SetEntries({"100"});
    mci.device.position = 104;
    index->ShowWindow();
    EXPECT_TRUE(index->Timer1->enabled());
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(index->pos(), QPoint((screen.width() - index->Width()) / 2,
                                   (screen.height() - index->Height()) / 2));
    ASSERT_TRUE(QTest::qWaitFor([&] { return index->difftime->text() == QStringLiteral("4"); }, 10000));

    index->move(40, 50);
    index->close();  // the close box hides
    EXPECT_FALSE(index->isVisible());
    EXPECT_FALSE(index->Timer1->enabled());

    mci.device.position = 90;
    index->ShowWindow();
    EXPECT_TRUE(index->Timer1->enabled());
    EXPECT_EQ(index->pos(), QPoint(40, 50));
    EXPECT_EQ(index->Indexlist->count(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return index->difftime->text() == QStringLiteral("-10"); }, 10000));

    index->hide();
    EXPECT_FALSE(index->Timer1->enabled());
}

}  // namespace
