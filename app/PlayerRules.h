// The player window's arithmetic, kept apart from any widget so that each rule can be checked
// on its own: the time code, the sound-file test, the command line, the initial folder of the
// open dialog, and the geometry of the window around a picture. (The zoom's arithmetic is in
// TavolenZoom.h.)
//
// Everything here is pure and may be called from any thread.
#pragma once

#include <QRect>
#include <QString>
#include <QStringList>
#include <cstdint>

// Extensions of files without a picture. Matched as a substring, not as a list: ".mi", ".ai",
// ".da" and ".m" count as sound extensions too, which is how the player has always behaved.
inline constexpr char SoundExtensions[] = ".wav;.mp3;.mid;.rmi;.midi;.cda;.aif;.aiff;.dat";

// "h:mm:ss:ff" at 30 frames a second; hours are not limited to 24 and keep every digit.
// Division truncates toward zero, so a negative frame gives negative fields.
QString FrameToTimeCode(std::int32_t n);

// True when the name's extension (from the last "." after the last "/", dot included, letters
// A to Z lowered) is not empty and occurs inside SoundExtensions.
bool IsSoundFile(const QString& fileName);

// The media file named on the command line: the program's arguments (without the program
// itself) joined by single blanks, trimmed of characters of code 32 or below, and stripped of
// one pair of surrounding double quotes only when both are there.
QString CommandLineFileName(const QStringList& arguments);

// The open dialog's initial folder for a file: the text up to the last "/", keeping that "/"
// only when it is the first character or follows another "/" ("/a.avi" gives "/",
// "/v/a.avi" gives "/v", "a.avi" gives "").
QString InitialDirOf(const QString& fileName);

// Where everything goes for a picture of w × h. Rectangles are in client pixels; the window
// size is the outer size (frame, caption and menu bar included).
struct TWindowLayout {
    int W = 0;          // window width
    int H = 0;          // window height
    QRect Bevel1;       // lower edge of the picture frame
    QRect Bevel2;       // upper edge
    QRect Bevel3;       // left edge
    QRect Bevel4;       // right edge
    QSize Bar;          // position slider; width -1 keeps the width a vertical slider has;
                        // left and top stay (0, 64)
    int PlayerWidth = 0;  // width requested of the transport bar before it fits whole buttons
    int CounterLeft = 0;
};

// The minimum width the transport bar is raised to when the picture is narrow.
inline constexpr int MinPlayerWidth = 320;

TWindowLayout PlanLayout(int w, int h, bool barVertical);
