// The player window's commands that involve the index window: loading the index file after an
// open, Ctrl+I and F1, with the index window created as the program creates it.
#include "PlayerWindowFixture.h"

#include "Application.h"
#include "IndexFile.h"
#include "IndexForm.h"
#include "Button.h"
#include "ListBox.h"

#include <functional>

namespace {

class PlayerWithIndex : public PlayerWindow {
protected:
    std::unique_ptr<TIndex> index;

    void SetUp() override {}
    void TearDown() override {
        index.reset();
        form.reset();
    }

    void createIndex() {
        index = std::make_unique<TIndex>(form->MediaPlayer1, [] { return LastMode; });
        Index = index.get();
    }

    void writeIndex(const QString& name, const QByteArray& bytes) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
};

}  // namespace

TEST_F(PlayerWithIndex, StartTimerLoadsTheIndexFileBesideTheMediaAndShowsTheWindow) {
    writeIndex("clip.idx", "0\r\n30\r\n150\r\n");
    start({file("clip.avi")});
    createIndex();
    EXPECT_FALSE(index->isVisible());

    form->Timer2Timer(form->Timer2);

    EXPECT_TRUE(index->isVisible());
    EXPECT_EQ(index->Indexlist->items(), (std::vector<QByteArray>{"0", "30", "150"}));
    EXPECT_TRUE(errors().empty());
}

TEST_F(PlayerWithIndex, FileOpenClearsTheEntriesAndLoadsTheNewIndexAtOnce) {
    start({file("first.avi")});
    createIndex();
    index->Indexlist->setItems({"5", "6"});

    openFromMenu(file("plain.avi"));  // no index file beside it
    EXPECT_EQ(index->Indexlist->count(), 0);
    EXPECT_FALSE(index->isVisible());

    writeIndex("clip.idx", "42\r\n");
    openFromMenu(file("clip.avi"));
    EXPECT_TRUE(index->isVisible());
    EXPECT_EQ(index->Indexlist->items(), std::vector<QByteArray>{"42"});
}

TEST_F(PlayerWithIndex, StartTimerLooksForTheNameWithItsLastFourCharactersReplaced) {
    writeIndex("a.idx", "10\r\n");
    start({file("a.mpeg")});
    createIndex();
    index->Indexlist->setItems({"7"});
    form->Timer2Timer(form->Timer2);  // looks for a..idx: absent
    EXPECT_FALSE(index->isVisible());
    EXPECT_EQ(index->Indexlist->items(), std::vector<QByteArray>{"7"});

    writeIndex("a..idx", "30\r\n");
    form->Timer2Timer(form->Timer2);
    EXPECT_EQ(index->Indexlist->items(), std::vector<QByteArray>{"30"});
}

TEST_F(PlayerWithIndex, FileOpenWithoutAnIndexFileKeepsAVisibleWindowVisible) {
    start({file("first.avi")});
    createIndex();
    index->Indexlist->setItems({"1"});
    index->ShowWindow();
    openFromMenu(file("b.avi"));
    EXPECT_EQ(index->Indexlist->count(), 0);
    EXPECT_TRUE(index->isVisible());
}

TEST_F(PlayerWithIndex, UnreadableIndexFileLeavesTheWindowAsItWas) {
    // Larger than any index file is allowed to be, so it cannot be read; sparse, so it costs
    // no disk.
    {
        QFile huge(dir.filePath("d.idx"));
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        ASSERT_TRUE(huge.resize(kMaxIndexFileBytes + 1));
    }
    start({file("d.avi")});
    createIndex();
    index->Indexlist->setItems({"1"});
    const QString message = QStringLiteral("ファイル %1 は開けません").arg(dir.filePath("d.idx"));
    fw::guard([&] { form->Timer2Timer(form->Timer2); });
    EXPECT_EQ(errors(), std::vector<QString>{fw::Application::errorText(message)});
    EXPECT_FALSE(index->isVisible());
    EXPECT_EQ(index->Indexlist->items(), std::vector<QByteArray>{"1"});

    // At File > Open the list has already been cleared and the window shown.
    openFromMenu(dir.filePath("d.avi"));
    EXPECT_EQ(errors().size(), 2u);
    EXPECT_TRUE(index->isVisible());
    EXPECT_EQ(index->Indexlist->count(), 0);
}

TEST_F(PlayerWithIndex, F1ShowsTheWindowAndCtrlISavesEvenWhileItIsHidden) {
    start({file("clip.avi")});
    createIndex();
    form->K3->trigger();
    EXPECT_TRUE(index->isVisible());

    index->hide();
    index->Indexlist->setItems({"7", "-3"});
    modal.answers.push_back(dir.filePath("saved.idx"));
    form->K2->trigger();

    ASSERT_EQ(modal.dialogs.size(), 1u);
    EXPECT_EQ(modal.dialogs[0].fileName, "clip.idx");
    QFile saved(dir.filePath("saved.idx"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("7\r\n-3\r\n"));
}

// One second after File > Open the start timer reads the index file again. That second reading
// stays (it shows what changed on disk meanwhile), but what the user did to the list in that
// second must not vanish under it.
TEST_F(PlayerWithIndex, TheStartTimerKeepsWhatTheUserDidInTheFirstSecondAfterFileOpen) {
    start({file("first.avi")});
    createIndex();
    form->Timer2Timer(form->Timer2);
    const struct {
        const char* edit;
        std::function<void()> run;
        std::vector<QByteArray> after;
    } cases[] = {
        {"none", [] {}, {"42", "43"}},
        {"登録", [&] { index->RegClick(index->Reg); }, {"42", "77"}},
        {"削除",
         [&] {
             index->Indexlist->setItemIndex(0);
             index->DelClick(index->Del);
         },
         {}},
        {"消去", [&] { index->ListClrClick(index->ListClr); }, {}},
    };
    for (const auto& c : cases) {
        writeIndex("clip.idx", "42\r\n");
        openFromMenu(file("clip.avi"));
        ASSERT_EQ(index->Indexlist->items(), std::vector<QByteArray>{"42"});
        mci.device.position = 77;
        c.run();
        writeIndex("clip.idx", "42\r\n43\r\n");
        form->Timer2Timer(form->Timer2);
        EXPECT_EQ(index->Indexlist->items(), c.after) << c.edit;
    }
    EXPECT_TRUE(errors().empty());
}

// An open may run the event loop while it works (its progress window). Between the close and
// the end of the open no tick reaches the device that is not there: with an entry recorded and
// the index window showing its difference, an open that succeeds shows no error box.
TEST_F(PlayerWithIndex, FileOpenWithEntriesShowsNoErrorWhileTheOpenRunsTheEventLoop) {
    start({file("first.avi")});
    createIndex();
    form->Timer2Timer(form->Timer2);
    form->K3->trigger();
    index->Reg->click();
    ASSERT_EQ(index->Indexlist->count(), 1);
    QTest::qWait(60);  // the difference display ticks
    ASSERT_TRUE(errors().empty());
    mci.script = [](const MciCall& call, DWORD_PTR) -> std::optional<MCIERROR> {
        if (call.command == MCI_OPEN) QTest::qWait(150);
        return std::nullopt;
    };

    openFromMenu(file("second.avi"));

    EXPECT_EQ(openedElement(), dir.filePath("second.avi"));
    EXPECT_TRUE(errors().empty()) << errors().front().toStdString();
}
