#include "ChildProcess.h"
#include "Exception.h"
#include "IndexFile.h"
#include "Unprivileged.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

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

QByteArray fileText(const TIndexEntries& entries) {
    QByteArray text;
    for (qsizetype i = 0; i < entries.size(); ++i) text.append(entries.view(i)).append("\r\n");
    return text;
}

// What a saving child does when its save reaches one step: "kill" kills it there; "tear"
// writes the first half of the new content into the file itself, as a write cut short leaves
// it, and then kills it; a number limits its files to that many bytes from there on (a disk
// filling up); "" does nothing.
constexpr int kBeforeTheSave = -1;
std::vector<std::string> interruption;  // the path, the file's new text, the step, the action

void interrupt() {
    const std::string& action = interruption.at(3);
    if (action == "tear") {
        QFile file(QFile::decodeName(interruption[0].c_str()));
        if (file.open(QIODevice::ReadWrite))
            file.write(interruption[1].data(), qint64(interruption[1].size() / 2));
        file.close();
    }
    if (action == "kill" || action == "tear") ::raise(SIGKILL);
    if (action.empty()) return;
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{std::stoull(action), std::stoull(action)};
    setrlimit(RLIMIT_FSIZE, &limit);
}

// Saves the file's new text to the path, interrupted at a step as above. Says the message
// the save raised, nothing when it succeeded.
TAVOLEN_CHILD_BODY(saveInterrupted) {
    interruption = arguments;
    if (std::stoi(arguments.at(2)) == kBeforeTheSave) interrupt();
    SetIndexSaveStepHook([](TIndexSaveStep step) {
        if (int(step) == std::stoi(interruption[2])) interrupt();
    });
    SaveIndexFile(SplitIndexLines(QByteArray::fromStdString(arguments.at(1))),
                  QFile::decodeName(arguments[0].c_str()));
    return "";
}

// Saves as an unprivileged user (so a read-only folder is read-only under root too),
// interrupted as above. Nullopt when that user cannot work in the folder.
std::optional<std::string> saveAsAnotherUser(const TIndexEntries& entries, const QString& path,
                                             int step, const std::string& action) {
    return runUnprivileged("saveInterrupted",
                           {QFile::encodeName(path).toStdString(),
                            fileText(entries).toStdString(), std::to_string(step), action},
                           QFile::encodeName(QFileInfo(path).path()).toStdString());
}

// Points the user's state folder at a private one, open to the user the children run as, for
// the life of the test binary.
class PrivateStateFolder : public ::testing::Environment {
public:
    void SetUp() override {
        m_dir.emplace();
        QFile::setPermissions(m_dir->path(), QFileDevice::Permissions(0x7777));
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir->path()));
    }
    void TearDown() override { m_dir.reset(); }
    // What saves have left in the state folder.
    static QStringList left() {
        return QDir(qEnvironmentVariable("XDG_STATE_HOME") + "/tavolen")
            .entryList(QDir::Files | QDir::Hidden);
    }

private:
    std::optional<QTemporaryDir> m_dir;
};
[[maybe_unused]] const auto* const stateFolder =
    ::testing::AddGlobalTestEnvironment(new PrivateStateFolder);

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
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"locked.idx"});
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
// a file size limit stands in for a full disk, from the start or once the room is reserved.
// A write that fails there puts the old bytes back; in a file it could not read, it leaves the
// next load to finish the save. Either way the load finds one whole list.
TEST(IndexFile, ReadOnlyFolderUpdatesInPlaceAndAFullDiskKeepsTheOldBytes) {
    QTemporaryDir dir;
    const QString ro = dir.filePath("ro");
    QDir().mkdir(ro);
    const QByteArray old = QByteArray(4088, '7') + "\r\n";  // 4,090 bytes, as seen torn
    const TIndexEntries longer(1000, QByteArray("1234567"));
    constexpr int start = kBeforeTheSave;
    constexpr int reserved = int(TIndexSaveStep::SpaceReserved);
    const QFileDevice::Permissions readWrite = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ReadOther | QFileDevice::WriteOther;
    const QFileDevice::Permissions writeOnly = QFileDevice::WriteOwner | QFileDevice::WriteOther;
    const struct {
        const char* file;
        TIndexEntries entries;
        QFileDevice::Permissions permissions;
        int limitFrom;
        const char* sizeLimit;
        const char* said;
        QByteArray after;
    } cases[] = {
        {"kept.idx", {"2"}, readWrite, start, "", "", "2\r\n"},
        {"kept.idx", longer, readWrite, start, "6000", "ストリームへの書き込みエラー", old},
        {"kept.idx", longer, readWrite, reserved, "6000", "ストリームへの書き込みエラー", old},
        {"kept.idx", longer, writeOnly, reserved, "6000", "ストリームへの書き込みエラー",
         fileText(longer)},
        {"kept.idx", {}, readWrite, start, "1000", "", ""},
        {"new.idx", {"3"}, readWrite, start, "", "を作成できません", "<missing>"},
    };
    for (const auto& c : cases) {
        const QString path = ro + "/" + c.file;
        QFile::setPermissions(ro, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ExeOwner);
        for (const QString& left : QDir(ro).entryList(QDir::Files)) QFile::remove(ro + "/" + left);
        if (QByteArray(c.file) == "kept.idx") {
            writeAll(path, old);
            QFile::setPermissions(path, c.permissions);
        }
        const QFileDevice::Permissions openToAll = QFileDevice::ReadOwner |
            QFileDevice::ExeOwner | QFileDevice::ReadOther | QFileDevice::ExeOther;
        QFile::setPermissions(dir.path(), openToAll | QFileDevice::WriteOwner);
        QFile::setPermissions(ro, openToAll);
        const auto ran = saveAsAnotherUser(c.entries, path, c.limitFrom, c.sizeLimit);
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
        QFile::setPermissions(path, readWrite);
        if (QFile::exists(path)) {
            EXPECT_EQ(LoadIndexFile(path), SplitIndexLines(c.after)) << c.file;
        }
        const QByteArray after = QFile::exists(path) ? readAll(path) : QByteArray("<missing>");
        EXPECT_TRUE(after == c.after) << c.file << " limited to " << c.sizeLimit << ": "
                                      << after.size() << " bytes, ending "
                                      << after.right(20).toStdString();
        EXPECT_EQ(QDir(ro).entryList(QDir::Files | QDir::Hidden).size(),
                  QFile::exists(path) ? 1 : 0);
        EXPECT_EQ(PrivateStateFolder::left(), QStringList()) << c.file;
    }
    QFile::setPermissions(ro, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// A save stopped dead at each of its steps, beside the file and in place (the child killed
// there; "tear" first writes half the new content over the old, as a write cut short does):
// the next load finds the old list or the new one, whole, and the file holds exactly its bytes.
// In place: a folder that takes no new file, and a sticky one where the file is root's, which
// once refused the save.
TEST(IndexFile, ASaveKilledAtAnyStepLeavesTheOldListOrTheNew) {
    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755));
    const TIndexEntries old(300, QByteArray("1234567"));
    const TIndexEntries shorter{"1", "2"};
    const TIndexEntries longer(600, QByteArray("7654321"));
    using S = TIndexSaveStep;
    constexpr mode_t writable = 0777, readOnly = 0555, sticky = 01777;
    const struct {
        mode_t folderMode;
        TIndexSaveStep step;
        const char* action;
        bool becomesNew;
    } cases[] = {
        {writable, S::TemporaryWritten, "kill", false},
        {writable, S::Renamed, "kill", true},
        {readOnly, S::JournalWritten, "kill", false},
        {readOnly, S::JournalCommitted, "kill", true},
        {readOnly, S::SpaceReserved, "kill", true},
        {readOnly, S::SpaceReserved, "tear", true},
        {readOnly, S::Written, "kill", true},
        {readOnly, S::Synced, "kill", true},
        {sticky, S::Written, "kill", true},
        {sticky, S::Written, "", true},
    };
    const QString folder = dir.filePath("folder");
    const QString path = folder + "/a.idx";
    for (const auto& c : cases) {
        if (c.folderMode == sticky && ::geteuid() != 0) continue;  // the file must be another's
        for (const TIndexEntries* entries : {&shorter, &longer}) {
            const std::string what = std::to_string(c.folderMode) + " step " +
                                     std::to_string(int(c.step)) + " " + c.action;
            QDir(folder).removeRecursively();
            QDir().mkdir(folder);
            writeAll(path, fileText(old));
            QFile::setPermissions(path, QFileDevice::Permissions(0x6666));
            ::chmod(QFile::encodeName(folder).constData(), c.folderMode);
            const auto said = saveAsAnotherUser(*entries, path, int(c.step), c.action);
            ::chmod(QFile::encodeName(folder).constData(), 0755);
            if (!said) GTEST_SKIP() << "the user nobody cannot work in " << folder.toStdString();
            EXPECT_EQ(*said, *c.action ? "<child killed by signal 9>" : "") << what;
            const TIndexEntries& expected = c.becomesNew ? *entries : old;
            EXPECT_EQ(LoadIndexFile(path), expected) << what;
            EXPECT_TRUE(readAll(path) == fileText(expected)) << what;
            EXPECT_EQ(PrivateStateFolder::left(), QStringList()) << what;
        }
    }
}

// Loads the index file at the path; says its entries, one per line, or the message raised.
TAVOLEN_CHILD_BODY(loadIndex) {
    const TIndexEntries entries = LoadIndexFile(QFile::decodeName(arguments.at(0).c_str()));
    return fileText(entries).toStdString();
}

// The records a save in place left in the state folder: pending ones, and retired copies.
std::pair<int, int> recordsLeft() {
    int pending = 0, retired = 0;
    for (const QString& name : PrivateStateFolder::left()) {
        pending += name.endsWith(".index-save");
        retired += name.contains(".retired-");
    }
    return {pending, retired};
}

// A file of another content in place of the file at path: on the same inode where the file
// system gives it back after a delete, as ext4 does.
void replaceFile(const QString& path, const QByteArray& bytes) {
    struct stat before {}, now {};
    ::stat(QFile::encodeName(path).constData(), &before);
    for (int attempt = 0; attempt < 64; ++attempt) {
        QFile::remove(path);
        writeAll(path, bytes);
        ::stat(QFile::encodeName(path).constData(), &now);
        if (now.st_ino == before.st_ino) return;
    }
}

// A record as the first version of the save in place wrote it: the new content, no old one.
void writeFirstVersionRecord(const QString& path, const QByteArray& text) {
    const QByteArray target = QFile::encodeName(QFileInfo(path).canonicalFilePath());
    struct stat file {};
    ::stat(target.constData(), &file);
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << quint32(0x54564953) << quint32(1) << target << quint64(file.st_dev)
        << quint64(file.st_ino) << text;
    bytes += QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
    const QString folder = qEnvironmentVariable("XDG_STATE_HOME") + "/tavolen";
    QDir().mkpath(folder);
    writeAll(folder + "/" + QCryptographicHash::hash(target, QCryptographicHash::Sha1).toHex() +
                 ".index-save",
             bytes);
}

// A save in place killed once its record was committed (the file untouched) or halfway through
// its write (the file torn), and the file then rewritten by someone else, replaced, moved with
// its folder, or made read-only for the user loading it: a record repairs only a file its own
// save can have left, however the file is reached; any other file loads as it is, and its
// record is kept aside, never applied. An untouched file always loads: with its old list while
// the save cannot be finished, and its record waits for a load that can.
TEST(IndexFile, ARecordLeftBehindRepairsOnlyWhatItsSaveLeft) {
    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755));
    const QByteArray old = "100\r\n200\r\n300\r\n";
    const TIndexEntries saved{"9", "9"};
    const QByteArray edited = "5\r\n6\r\n7\r\n";
    using S = TIndexSaveStep;
    const QString folder = dir.filePath("folder"), moved = dir.filePath("moved");
    // Each change gives the path to load from.
    const auto rewrite = [&](const QString& p) { writeAll(p, edited); return p; };
    const auto replace = [&](const QString& p) { replaceFile(p, edited); return p; };
    const auto move = [&](const QString&) { QDir().rename(folder, moved); return moved + "/a.idx"; };
    const auto protect = [&](const QString& p) {
        QFile::setPermissions(p, QFileDevice::Permissions(0x4444));
        return p;
    };
    const auto firstVersion = [&](const QString& p) { writeFirstVersionRecord(p, "1\r\n"); return p; };
    const struct {
        const char* what;
        TIndexSaveStep step;
        const char* action;
        std::function<QString(const QString&)> change;
        QByteArray loaded;  // or the message
        std::pair<int, int> records;  // pending, retired
    } cases[] = {
        {"rewritten", S::JournalCommitted, "kill", rewrite, edited, {0, 1}},
        {"rewritten after a tear", S::SpaceReserved, "tear", rewrite, edited, {0, 1}},
        {"replaced", S::JournalCommitted, "kill", replace, edited, {0, 1}},
        {"moved torn", S::SpaceReserved, "tear", move, fileText(saved), {0, 0}},
        {"moved untouched", S::JournalCommitted, "kill", move, fileText(saved), {0, 0}},
        {"write-protected untouched", S::JournalCommitted, "kill", protect, old, {1, 0}},
        {"write-protected torn", S::SpaceReserved, "tear", protect, "は開けません", {1, 0}},
        {"recorded by the first version", S(-1), "", firstVersion, old, {0, 1}},
    };
    for (const auto& c : cases) {
        QDir(folder).removeRecursively();
        QDir(moved).removeRecursively();
        for (const QString& name : PrivateStateFolder::left())
            QFile::remove(qEnvironmentVariable("XDG_STATE_HOME") + "/tavolen/" + name);
        QDir().mkdir(folder);
        const QString path = folder + "/a.idx";
        writeAll(path, old);
        QFile::setPermissions(path, QFileDevice::Permissions(0x6666));
        if (int(c.step) >= 0) {
            ::chmod(QFile::encodeName(folder).constData(), 0555);
            const auto said = saveAsAnotherUser(saved, path, int(c.step), c.action);
            ::chmod(QFile::encodeName(folder).constData(), 0755);
            if (!said) GTEST_SKIP() << "the user nobody cannot work in " << folder.toStdString();
        }
        const QString loadFrom = c.change(path);
        // Loaded as the user nobody, for whom a read-only file is read-only under root too.
        const auto loaded = runUnprivileged("loadIndex", {QFile::encodeName(loadFrom).toStdString()},
                                            QFile::encodeName(dir.path()).toStdString());
        if (!loaded) GTEST_SKIP() << "the user nobody cannot work in " << dir.path().toStdString();
        EXPECT_NE(loaded->find(c.loaded.toStdString()), std::string::npos) << c.what << ": " << *loaded;
        EXPECT_EQ(recordsLeft(), c.records) << c.what;
        if (c.records.first == 0) continue;
        // Once the file may be written again, the next load finishes the save.
        QFile::setPermissions(loadFrom, QFileDevice::Permissions(0x6666));
        EXPECT_EQ(LoadIndexFile(loadFrom), saved) << c.what;
        EXPECT_EQ(recordsLeft(), std::make_pair(0, 0)) << c.what;
    }
}

// A name so long that a temporary name made from it had no room refused the save. A file
// replaced as root keeps its owner, group and permissions.
TEST(IndexFile, LongNamesAreSavedAndAReplacedFileKeepsItsOwner) {
    QTemporaryDir dir;
    const QString longName = dir.filePath(QString(251, 'a') + ".idx");  // 255 bytes, the most
    SaveIndexFile({"1"}, longName);
    SaveIndexFile({"2"}, longName);
    EXPECT_EQ(readAll(longName), "2\r\n");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);

    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user takes root";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const QString theirs = dir.filePath("theirs.idx");
    writeAll(theirs, "1\r\n");
    const QByteArray name = QFile::encodeName(theirs);
    ASSERT_EQ(::chown(name.constData(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(::chmod(name.constData(), 0640), 0);
    SaveIndexFile({"2"}, theirs);
    struct stat after {};
    ASSERT_EQ(::stat(name.constData(), &after), 0);
    EXPECT_EQ(after.st_uid, nobody->pw_uid);
    EXPECT_EQ(after.st_gid, nobody->pw_gid);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(readAll(theirs), "2\r\n");
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
