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

    void TearDown() override {
        index.reset();
        form.reset();
    }

    TTavolenForm& playingWithIndex(const QString& name) {
        playing(name);
        index = std::make_unique<TIndex>(form->MediaPlayer1, [] { return LastMode; });
        Index = index.get();
        return *form;
    }

    // Drags the data onto the picture and drops it there, then lets the deferred open run.
    // True when the window took both the drag and the drop.
    bool drop(const QList<QUrl>& urls, const QString& text = {}) {
        QMimeData data;
        if (!urls.isEmpty()) data.setUrls(urls);
        if (!text.isEmpty()) data.setText(text);
        const QPoint at(60, 100);
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        enter.ignore();
        QApplication::sendEvent(form.get(), &enter);
        // Dropped even when the drag was refused: the drop must check again.
        QDropEvent dropped(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        dropped.ignore();
        QApplication::sendEvent(form.get(), &dropped);
        // Posted events only: a tick of the monitor would add its own commands.
        QCoreApplication::sendPostedEvents();
        return enter.isAccepted() && dropped.isAccepted();
    }

    static QList<UINT> commands(const std::vector<MciCall>& calls) {
        QList<UINT> list;
        for (const MciCall& call : calls) list.append(call.command);
        return list;
    }
};

}  // namespace

TEST_F(DropOnPlayer, DroppedFileGoesTheWayOfFileOpenIndexStepIncluded) {
    playingWithIndex(QStringLiteral("first.avi"));
    openFromMenu(file(QStringLiteral("menu.avi")));
    const std::vector<MciCall> viaMenu = mci.calls;
    form->Timer2Timer(form->Timer2);  // now playing menu.avi, as it played first.avi before
    index->Indexlist->setItems({"5", "6"});
    QFile idx(dir.filePath(QStringLiteral("dropped.idx")));
    ASSERT_TRUE(idx.open(QIODevice::WriteOnly));
    idx.write("42\r\n");
    idx.close();
    mci.clear();
    const size_t dialogs = modal.dialogs.size();

    const QString dropped = file(QStringLiteral("dropped.avi"));
    EXPECT_TRUE(drop({QUrl::fromLocalFile(dropped)}));

    EXPECT_EQ(commands(mci.calls), commands(viaMenu));
    EXPECT_EQ(openedElement(), dropped);
    EXPECT_TRUE(form->Timer2->enabled());
    EXPECT_TRUE(index->isVisible());
    EXPECT_EQ(index->Indexlist->items(), std::vector<QByteArray>{"42"});
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(modal.dialogs.size(), dialogs);  // no open dialog on the way
}

TEST_F(DropOnPlayer, AnythingButOneExistingFileOpensNothing) {
    playingWithIndex(QStringLiteral("first.avi"));
    const QString a = file(QStringLiteral("a.avi"));
    const QString b = file(QStringLiteral("b.avi"));
    const QString missing = dir.filePath(QStringLiteral("gone.avi"));
    QDir(dir.path()).mkdir(QStringLiteral("folder"));
    struct Case {
        const char* what;
        QList<QUrl> urls;
        QString text;
        bool taken;       // a single local file is taken; whether it exists is File > Open's check
        QString message;  // shown by that check
    };
    const std::vector<Case> cases{
        {"a folder", {QUrl::fromLocalFile(dir.filePath(QStringLiteral("folder")))}, {}, false, {}},
        {"two files", {QUrl::fromLocalFile(a), QUrl::fromLocalFile(b)}, {}, false, {}},
        {"a remote file", {QUrl(QStringLiteral("https://example.org/clip.avi"))}, {}, false, {}},
        {"text naming a file", {}, a, false, {}},
        {"a file that is gone",
         {QUrl::fromLocalFile(missing)},
         {},
         true,
         QStringLiteral("ファイル ") + missing + QStringLiteral(" は存在してません。")},
    };
    index->Indexlist->setItems({"5"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        mci.clear();
        modal.boxes.clear();
        EXPECT_EQ(drop(c.urls, c.text), c.taken);
        EXPECT_EQ(mci.count(MCI_OPEN), 0);
        EXPECT_EQ(mci.count(MCI_CLOSE), 0);
        EXPECT_EQ(messages(),
                  c.message.isEmpty() ? std::vector<QString>{} : std::vector<QString>{c.message});
        EXPECT_EQ(index->Indexlist->items(), std::vector<QByteArray>{"5"});
        EXPECT_FALSE(form->Timer2->enabled());
    }
}
