// A file dropped on the player window opens as one chosen in File > Open's dialog would; a
// drop of anything else is refused and changes nothing.
#include "PlayerWindowFixture.h"

#include "IndexForm.h"
#include "ListBox.h"

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace {

class DropOnPlayer : public PlayerWindow {
protected:
    std::unique_ptr<TIndex> index;

    void SetUp() override {
        playing(QStringLiteral("first.avi"));
        index = std::make_unique<TIndex>(form->MediaPlayer1, [] { return LastMode; });
        Index = index.get();
        index->Indexlist->setItems({"5"});
    }
    void TearDown() override {
        index.reset();
        form.reset();
    }

    // Drags the data onto the picture and drops it there (even when the drag was refused: the
    // drop must check again), then lets the deferred open run, but no monitor tick.
    bool drop(const QList<QUrl>& urls, const QString& text = {}) {
        QMimeData data;
        if (!urls.isEmpty()) data.setUrls(urls);
        if (!text.isEmpty()) data.setText(text);
        QDragEnterEvent enter(QPoint(60, 100), Qt::CopyAction, &data, Qt::LeftButton, {});
        QDropEvent dropped(QPointF(60, 100), Qt::CopyAction, &data, Qt::LeftButton, {});
        enter.ignore();
        dropped.ignore();
        QApplication::sendEvent(form.get(), &enter);
        QApplication::sendEvent(form.get(), &dropped);
        QCoreApplication::sendPostedEvents();
        return enter.isAccepted() && dropped.isAccepted();
    }

    std::vector<UINT> commands() const {
        std::vector<UINT> list;
        for (const MciCall& call : mci.calls) list.push_back(call.command);
        return list;
    }
};

}  // namespace

TEST_F(DropOnPlayer, DroppedFileGoesTheWayOfFileOpenIndexStepIncluded) {
    openFromMenu(file(QStringLiteral("menu.avi")));
    const std::vector<UINT> viaMenu = commands();
    form->Timer2Timer(form->Timer2);  // now playing menu.avi, as it played first.avi before
    QFile idx(dir.filePath(QStringLiteral("dropped.idx")));
    ASSERT_TRUE(idx.open(QIODevice::WriteOnly) && idx.write("42\r\n") == 4);
    idx.close();
    mci.clear();
    const size_t dialogs = modal.dialogs.size();

    const QString dropped = file(QStringLiteral("dropped.avi"));
    EXPECT_TRUE(drop({QUrl::fromLocalFile(dropped)}));

    EXPECT_EQ(commands(), viaMenu);
    EXPECT_EQ(openedElement(), dropped);
    EXPECT_TRUE(form->Timer2->enabled());
    EXPECT_TRUE(index->isVisible());
    EXPECT_EQ(index->Indexlist->items(), std::vector<QByteArray>{"42"});
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(modal.dialogs.size(), dialogs);  // no open dialog on the way
}

TEST_F(DropOnPlayer, AnythingButOneExistingFileOpensNothing) {
    const QUrl a = QUrl::fromLocalFile(file(QStringLiteral("a.avi")));
    const QString gone = dir.filePath(QStringLiteral("gone.avi"));
    QDir(dir.path()).mkdir(QStringLiteral("folder"));
    struct Case {
        const char* what;
        QList<QUrl> urls;
        QString text;
        QString message;  // a single local file is taken, and File > Open's check speaks
    };
    const std::vector<Case> cases{
        {"a folder", {QUrl::fromLocalFile(dir.filePath(QStringLiteral("folder")))}, {}, {}},
        {"two files", {a, QUrl::fromLocalFile(file(QStringLiteral("b.avi")))}, {}, {}},
        {"a remote file", {QUrl(QStringLiteral("https://example.org/clip.avi"))}, {}, {}},
        {"text naming a file", {}, a.toLocalFile(), {}},
        {"a file that is gone",
         {QUrl::fromLocalFile(gone)},
         {},
         "ファイル " + gone + " は存在してません。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        mci.clear();
        modal.boxes.clear();
        EXPECT_EQ(drop(c.urls, c.text), !c.message.isEmpty());
        EXPECT_TRUE(mci.calls.empty());
        EXPECT_EQ(messages(),
                  c.message.isEmpty() ? std::vector<QString>{} : std::vector{c.message});
        EXPECT_EQ(index->Indexlist->items(), std::vector<QByteArray>{"5"});
        EXPECT_FALSE(form->Timer2->enabled());
    }
}
