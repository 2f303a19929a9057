#include "ChildProcess.h"
#include "Exception.h"
#include "IndexFile.h"
#include "Unprivileged.h"

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace fw {
// Failures show the entries, not the list's bytes.
void PrintTo(const ByteList& list, std::ostream* out) { *out << ::testing::PrintToString(list.toVector()); }
}  // namespace fw

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

std::string convertMessage(const char* text) {
    try {
        EntryTextToFrame(text);
    } catch (const EConvertError& e) {
        return e.what();
    }
    return "converted";
}

// Saves the entries (one argument, a line each) to the path with its files limited to a
// number of bytes (a file size limit stands in for a full disk). Says the message the save
// raised, nothing when it succeeded.
TAVOLEN_CHILD_BODY(saveLimited) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlim_t bytes = std::stoull(arguments.at(1));
    const rlimit limit{bytes, bytes};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return "<no size limit>";
    SaveIndexFile(SplitIndexLines(QByteArray::fromStdString(arguments.at(2))),
                  QFile::decodeName(arguments.at(0).c_str()));
    return "";
}

std::string lines(const TIndexEntries& entries) {
    QByteArray text;
    for (qsizetype i = 0; i < entries.size(); ++i) text.append(entries.view(i)).append('\n');
    return text.toStdString();
}

// Saves as an unprivileged user (so a read-only folder is read-only under root too), limited
// to sizeLimit bytes. Nullopt when that user cannot work in the file's folder.
std::optional<std::string> saveAsAnotherUser(const TIndexEntries& entries, const QString& path,
                                             rlim_t sizeLimit) {
    const QByteArray file = QFile::encodeName(path);
    return runUnprivileged("saveLimited",
                           {file.toStdString(), std::to_string(sizeLimit), lines(entries)},
                           QFile::encodeName(QFileInfo(path).path()).toStdString());
}

}  // namespace

TEST(IndexFileName, CountsCharactersWithoutLookingForTheExtension) {
    EXPECT_EQ(IndexFileName("/v/a.avi"), "/v/a.idx");
    EXPECT_EQ(IndexFileName("/v/clip.mpeg"), "/v/clip..idx");
    EXPECT_EQ(IndexFileName("/v/film.qt"), "/v/fil.idx");
    EXPECT_EQ(IndexFileName("/v/movie"), "/v/m.idx");
    EXPECT_EQ(IndexFileName("a.av"), ".idx");
    EXPECT_EQ(IndexFileName(QString::fromUtf8("/動画/猫.avi")), QString::fromUtf8("/動画/猫.idx"));
}

TEST(IndexLines, LineEndsAndNul) {
    using E = TIndexEntries;
    EXPECT_EQ(SplitIndexLines("10\n20"), (E{"10", "20"}));
    EXPECT_EQ(SplitIndexLines("10\r\r20\r\n"), (E{"10", "", "20"}));
    EXPECT_EQ(SplitIndexLines("10\n\r20"), (E{"10", "", "20"}));
    EXPECT_EQ(SplitIndexLines("10\r\n\r\n"), (E{"10", ""}));
    EXPECT_EQ(SplitIndexLines(QByteArray("10\r\n\0" "20\r\n", 9)), (E{"10"}));
    EXPECT_EQ(SplitIndexLines(""), E{});
    EXPECT_EQ(SplitIndexLines("\xEF\xBB\xBF" "5\r\n"), (E{"\xEF\xBB\xBF" "5"}));
}

TEST(IndexFile, SaveWritesEveryLineWithCrLfAndLoadReadsItBack) {
    QTemporaryDir dir;
    const QString path = dir.filePath("a.idx");
    SaveIndexFile({"120", "45", "-3"}, path);
    EXPECT_EQ(readAll(path), QByteArray("120\r\n45\r\n-3\r\n"));
    EXPECT_EQ(LoadIndexFile(path), (TIndexEntries{"120", "45", "-3"}));

    SaveIndexFile({"10", ""}, path);  // an empty entry survives the round trip
    EXPECT_EQ(readAll(path), QByteArray("10\r\n\r\n"));
    EXPECT_EQ(LoadIndexFile(path), (TIndexEntries{"10", ""}));

    SaveIndexFile({}, path);
    EXPECT_EQ(readAll(path).size(), 0);
    EXPECT_EQ(LoadIndexFile(path), TIndexEntries{});
}

TEST(IndexFile, BytesOfAnotherCodePageRoundTripUnchanged) {
    QTemporaryDir dir;
    const QString path = dir.filePath("sjis.idx");
    const QByteArray sjis("\x82\xa0\x82\xa2 12", 7);  // not UTF-8
    SaveIndexFile({sjis}, path);
    EXPECT_EQ(LoadIndexFile(path), TIndexEntries{sjis});
}

TEST(IndexFile, FailuresSayWhichFileAndKeepWhatWasThere) {
    QTemporaryDir dir;
    const QString missing = dir.filePath("no/such/folder/a.idx");
    EXPECT_THROW(SaveIndexFile({"1"}, missing), EFCreateError);
    try {
        LoadIndexFile(missing);
        FAIL() << "loaded a missing file";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()), "ファイル " + missing.toStdString() + " は開けません");
    }
    // A folder where the file should be: nothing is replaced.
    QDir().mkpath(dir.filePath("taken.idx/inner"));
    EXPECT_THROW(SaveIndexFile({"1"}, dir.filePath("taken.idx")), EFCreateError);
    EXPECT_TRUE(QFileInfo(dir.filePath("taken.idx/inner")).isDir());
    EXPECT_THROW(LoadIndexFile(dir.filePath("taken.idx")), EFOpenError);
    // A read-only index file in a writable folder is not replaced behind its back.
    const QString locked = dir.filePath("locked.idx");
    writeAll(locked, "1\r\n");
    QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ReadGroup);
    try {
        SaveIndexFile({"2"}, locked);
        ADD_FAILURE() << "replaced a read-only index file";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(std::string(e.what()), "ファイル " + locked.toStdString() + " を作成できません");
    }
    EXPECT_EQ(readAll(locked), QByteArray("1\r\n"));
    EXPECT_EQ(QDir(dir.path()).entryList({"locked.idx*"}, QDir::Files | QDir::Hidden).size(), 1);
}

TEST(IndexFile, SavingThroughALinkUpdatesTheFileItPointsTo) {
    QTemporaryDir dir;
    const QString real = dir.filePath("real.idx");
    const QString link = dir.filePath("link.idx");
    writeAll(real, "1\r\n");
    ASSERT_TRUE(QFile::link(real, link));
    SaveIndexFile({"2"}, link);
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(readAll(real), QByteArray("2\r\n"));
}

// A folder we may not create files in, holding an index file we may write: the save goes into
// the file itself. The cases run as an unprivileged user, so that they hold under root too;
// a file size limit stands in for a full disk.
TEST(IndexFile, ReadOnlyFolderUpdatesInPlaceAndAFullDiskKeepsTheOldBytes) {
    QTemporaryDir dir;
    const QString ro = dir.filePath("ro");
    QDir().mkdir(ro);
    const QByteArray old = QByteArray(4088, '7') + "\r\n";  // 4,090 bytes, as seen torn
    const TIndexEntries longer(1000, QByteArray("1234567"));
    const struct {
        const char* file;
        TIndexEntries entries;
        rlim_t sizeLimit;
        const char* said;
        QByteArray after;
    } cases[] = {
        {"kept.idx", {"2"}, RLIM_INFINITY, "", "2\r\n"},
        {"kept.idx", longer, 6000, "ストリームへの書き込みエラー", old},
        {"kept.idx", {}, 10, "", ""},
        {"new.idx", {"3"}, RLIM_INFINITY, "を作成できません", "<missing>"},
    };
    for (const auto& c : cases) {
        const QString path = ro + "/" + c.file;
        QFile::setPermissions(ro, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ExeOwner);
        for (const QString& left : QDir(ro).entryList(QDir::Files)) QFile::remove(ro + "/" + left);
        if (QByteArray(c.file) == "kept.idx") {
            writeAll(path, old);
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ReadOther | QFileDevice::WriteOther);
        }
        const QFileDevice::Permissions openToAll = QFileDevice::ReadOwner |
            QFileDevice::ExeOwner | QFileDevice::ReadOther | QFileDevice::ExeOther;
        QFile::setPermissions(dir.path(), openToAll | QFileDevice::WriteOwner);
        QFile::setPermissions(ro, openToAll);
        const auto ran = saveAsAnotherUser(c.entries, path, c.sizeLimit);
        if (!ran) {
            QFile::setPermissions(
                ro, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            GTEST_SKIP() << "the user nobody cannot work in " << ro.toStdString();
        }
        const std::string said = *ran;
        EXPECT_NE(said.find(c.said), std::string::npos) << c.file << ": " << said;
        if (*c.said == 0) {
            EXPECT_EQ(said, "") << c.file;
        }
        const QByteArray after = QFile::exists(path) ? readAll(path) : QByteArray("<missing>");
        EXPECT_TRUE(after == c.after) << c.file << " limited to " << c.sizeLimit << ": "
                                      << after.size() << " bytes, ending "
                                      << after.right(20).toStdString();
        EXPECT_EQ(QDir(ro).entryList(QDir::Files | QDir::Hidden).size(),
                  QFile::exists(path) ? 1 : 0);
    }
    QFile::setPermissions(ro, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

TEST(EntryTextToFrame, DecimalAndHexadecimalForms) {
    EXPECT_EQ(EntryTextToFrame(" 12"), 12);
    EXPECT_EQ(EntryTextToFrame("+7"), 7);
    EXPECT_EQ(EntryTextToFrame("-0"), 0);
    EXPECT_EQ(EntryTextToFrame("007"), 7);
    EXPECT_EQ(EntryTextToFrame("$1E"), 30);
    EXPECT_EQ(EntryTextToFrame("x1e"), 30);
    EXPECT_EQ(EntryTextToFrame("0X1E"), 30);
    EXPECT_EQ(EntryTextToFrame("2147483647"), 2147483647);
    EXPECT_EQ(EntryTextToFrame("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(EntryTextToFrame("$FFFFFFFF"), -1);
    EXPECT_EQ(EntryTextToFrame("$0FFFFFFFF"), -1);
}

TEST(EntryTextToFrame, RefusalsNameTheWholeEntry) {
    for (const char* bad : {"12 ", "-$1E", "2147483648", "-2147483649", "$100000000", "", "   ",
                            "-", "$", "0x", "\t5", "1.5", "12abc"}) {
        EXPECT_THROW(EntryTextToFrame(bad), EConvertError) << '"' << bad << '"';
    }
    EXPECT_EQ(convertMessage("12 "), "'12 ' は整数ではありません");
}

TEST(EntryTextToFrame, RecordedEntriesConvertBack) {
    for (std::int32_t n : {0, 1, 345, -31, 2147483647, -2147483647 - 1})
        EXPECT_EQ(EntryTextToFrame(FrameToEntry(n)), n);
}

// A disk that fills up in the middle of a save (a file size limit stands in for it): the save
// reports the write error and the index file that was there keeps its content.
TEST(IndexFile, FailedWriteKeepsThePreviousIndex) {
    QTemporaryDir dir;
    const QString path = dir.filePath("full.idx");
    SaveIndexFile({"1", "2"}, path);

    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    TIndexEntries many(100, QByteArray("123456"));
    EXPECT_THROW(SaveIndexFile(many, path), EWriteError);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(readAll(path), QByteArray("1\r\n2\r\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"full.idx"});
}
