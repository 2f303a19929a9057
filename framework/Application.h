// The application object: the program's title, the error box, the simple message box and the
// guard through which every handler that Qt calls runs.
#pragma once

#include <QString>
#include <exception>
#include <utility>

namespace fw {

class Application {
public:
    // The title: the executable's file name without its folder, cut at its first dot, every
    // character after the first lowered ("/usr/bin/Tavolen.bin" gives "Tavolen" -> "Tavolen"
    // with the rest lowered).
    static QString titleFromPath(const QString& executable);
    static QString title();  // of this process

    // The error box text: the message, with a full stop appended when its last character sorts
    // after "." (so Japanese messages get one, "…failed." does not get a second).
    static QString errorText(const QString& message);

    // Shows the error box for an exception: errorText, the title as caption, error icon, OK.
    static void showException(const std::exception& error);
    // The simple message box: text, no icon, OK, the title as caption, centred, modal.
    static void showMessage(const QString& text);
};

// Runs a handler; an exception that escapes it is shown in the error box and swallowed, so no
// exception ever crosses Qt's event loop.
template <class Handler>
void guard(Handler&& handler) noexcept {
    try {
        std::forward<Handler>(handler)();
    } catch (const std::exception& error) {
        Application::showException(error);
    } catch (...) {
        Application::showException(std::runtime_error("unknown error"));
    }
}

}  // namespace fw
