// What the user may type into フレームへ移動: a frame number, a time code as the counter shows
// it ("h:mm:ss:ff" at 30 frames a second), or seconds on the stream's own clock with a trailing
// "s" ("12.5s"). Full-width digits and letters, as an input method gives them, count as their
// ASCII twins; blanks around the text are ignored.
//
// Pure; any thread.
#pragma once

#include <QString>
#include <cstdint>

struct TGoToTarget {
    enum TKind { gkFrame, gkSeconds };
    TKind Kind = gkFrame;
    // gkFrame: the frame asked for, unchecked against the medium (may be negative or huge).
    std::int64_t Frame = 0;
    // gkSeconds: the time, rounded to whole microseconds.
    std::int64_t Microseconds = 0;
};

// Raises EConvertError with a message that says what the box accepts when the text is none of
// the three, or a time code whose minutes, seconds or frames run past 59, 59 or 29.
TGoToTarget ParseGoToText(const QString& Text);

// Seconds as the box accepts them: "12.5s", "0s", "-0.033367s" (no trailing zeros).
QString SecondsText(std::int64_t Microseconds);
