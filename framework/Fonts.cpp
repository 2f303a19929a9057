#include "Fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace fw {

namespace {

QString firstInstalled(const QStringList& candidates) {
    const QStringList families = QFontDatabase::families();
    for (const QString& candidate : candidates)
        if (families.contains(candidate, Qt::CaseInsensitive)) return candidate;
    return candidates.constFirst();
}

}  // namespace

QString mappedFamily(const QString& family) {
    if (family == QStringLiteral("ＭＳ Ｐゴシック") || family == QStringLiteral("MS PGothic"))
        return firstInstalled({QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"),
                               QStringLiteral("Noto Sans CJK JP"), QStringLiteral("VL PGothic"),
                               QStringLiteral("TakaoPGothic")});
    if (family == QStringLiteral("MS Sans Serif"))
        return firstInstalled({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
    return family;
}

QFont mapFont(const QString& family, int height, bool italic, bool bold) {
    QFont font(mappedFamily(family));
    if (height < 0)
        font.setPixelSize(-height);
    else if (height > 0)
        font.setPointSize(height);
    font.setItalic(italic);
    font.setBold(bold);
    return font;
}

}  // namespace fw
