// Program entry: answers --help and --version without a display, then creates the player
// window from the command line and runs the message loop until that window closes.
#include "Files.h"
#include "IndexForm.h"
#include "MediaService.h"
#include "TavolenPlay.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>
#include <cstring>
#include <memory>

static const char Usage[] =
    "Usage: tavolen [FILE]\n"
    "Plays FILE frame by frame: a counter with the time code at 30 frames a second, a position\n"
    "slider, repeat playback and a zoom from one third to three times the natural size.\n"
    "Without FILE, or when FILE does not exist, the open dialog asks for one.\n"
    "Arguments are joined by single blanks; one pair of surrounding double quotes is removed.\n"
    "\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n";

// Answers the two informational options; true when the program should end here.
static bool answeredOption(int argc, char** argv) {
    if (argc < 2) return false;
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(Usage, stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("tavolen %s\n", TAVOLEN_VERSION);
        return true;
    }
    return false;
}

int main(int argc, char** argv) {
    if (answeredOption(argc, argv)) return 0;
    QApplication application(argc, argv);
    // Ties the windows to the installed desktop entry and its icon: the app id on Wayland, the
    // window icon on X (empty while the program runs uninstalled).
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.tavolen.Tavolen"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("io.github.tavolen.Tavolen")));
    // The file dialogs and their questions speak Japanese like the rest of the program.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Japanese), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        application.installTranslator(&qtTexts);
    // Declared before the window, so the window (and its device) goes first.
    mci::MediaServiceInstaller mediaService;
    auto form = std::make_unique<TTavolenForm>(fw::programArguments());
    if (form->StartCancelled()) return 0;
    // The index window, hidden until an index file or F1 shows it; declared after the player
    // window so that it goes first.
    auto index = std::make_unique<TIndex>(form->MediaPlayer1, [] { return LastMode; });
    Index = index.get();
    form->show();
    return application.exec();
}
