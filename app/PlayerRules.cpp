#include "PlayerRules.h"

#include <algorithm>

QString FrameToTimeCode(std::int32_t n) {
    const std::int32_t hours = n / 108000;
    const std::int32_t minutes = (n / 1800) % 60;
    const std::int32_t seconds = (n / 30) % 60;
    const std::int32_t frames = n % 30;
    return QString::asprintf("%.1d:%.2d:%.2d:%.2d", hours, minutes, seconds, frames);
}

bool IsSoundFile(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || dot < fileName.lastIndexOf(QLatin1Char('/'))) return false;
    QString extension = fileName.mid(dot);
    // Only A to Z: the list is ASCII, and lowering other letters could make a match of a name
    // that the player never treated as sound.
    for (QChar& c : extension)
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) c = QChar(c.unicode() + 32);
    return QString::fromLatin1(SoundExtensions).contains(extension);
}

static QString trimControls(const QString& text) {
    qsizetype first = 0, last = text.size();
    while (first < last && text.at(first).unicode() <= 32) ++first;
    while (last > first && text.at(last - 1).unicode() <= 32) --last;
    return text.mid(first, last - first);
}

QString CommandLineFileName(const QStringList& arguments) {
    QString name = trimControls(arguments.join(QLatin1Char(' ')));
    if (name.size() >= 2 && name.startsWith(QLatin1Char('"')) && name.endsWith(QLatin1Char('"')))
        name = name.mid(1, name.size() - 2);
    return name;
}

QString InitialDirOf(const QString& fileName) {
    const qsizetype slash = fileName.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) return QString();
    const bool keepSlash = slash == 0 || fileName.at(slash - 1) == QLatin1Char('/');
    return fileName.left(keepSlash ? slash + 1 : slash);
}

TWindowLayout PlanLayout(int w, int h, bool barVertical) {
    TWindowLayout l;
    l.W = std::max(w + 64, 384);
    l.H = h + 136;
    l.Bevel1 = QRect(32, h + 84, w + 20, 2);
    l.Bevel2 = QRect(30, 62, w + 20, 2);
    l.Bevel3 = QRect(30, 64, 2, h + 20);
    l.Bevel4 = QRect(w + 52, 64, 2, h + 20);
    l.Bar = barVertical ? QSize(-1, h + 18) : QSize(l.W - 18, h + 24);
    l.PlayerWidth = w + 21;
    l.CounterLeft = l.W - 191;
    return l;
}
