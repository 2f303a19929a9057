#include "GoToFrame.h"

#include <QRegularExpression>
#include <limits>

#include "Exception.h"

// Longer numbers are out of any medium's range; bounding them keeps the arithmetic exact.
static constexpr int MaxDigits = 12;

[[noreturn]] static void RaiseUnreadable(const QString& Text) {
    throw EConvertError(fw::format(
        "「%s」はフレーム番号、タイムコード (0:00:00:00) または秒 (12.5s) として読めません",
        Text.toUtf8().constData()));
}

static std::int64_t Digits(const QString& Text) {
    std::int64_t Value = 0;
    for (const QChar c : Text) Value = Value * 10 + (c.unicode() - '0');
    return Value;
}

static TGoToTarget FrameNumber(const QString& Sign, const QString& Number) {
    TGoToTarget Target;
    // Too long to be any frame: kept out of range rather than wrapped into it.
    Target.Frame =
        Number.size() > MaxDigits ? std::numeric_limits<std::int64_t>::max() : Digits(Number);
    if (Sign == QLatin1String("-")) Target.Frame = -Target.Frame;
    return Target;
}

static TGoToTarget TimeCode(const QString& Text, const QRegularExpressionMatch& Match) {
    const std::int64_t Hours = Digits(Match.captured(1)), Minutes = Digits(Match.captured(2)),
                       Seconds = Digits(Match.captured(3)), Frames = Digits(Match.captured(4));
    if (Match.captured(1).size() > MaxDigits - 6 || Minutes > 59 || Seconds > 59 || Frames > 29)
        throw EConvertError(
            fw::format("タイムコード「%s」の分と秒は 59 まで、フレームは 29 までです",
                       Text.toUtf8().constData()));
    TGoToTarget Target;
    Target.Frame = ((Hours * 60 + Minutes) * 60 + Seconds) * 30 + Frames;
    return Target;
}

static TGoToTarget Seconds(const QString& Text, const QRegularExpressionMatch& Match) {
    const QString Whole = Match.captured(2), Fraction = Match.captured(3);
    if (Whole.size() > MaxDigits - 6) RaiseUnreadable(Text);
    std::int64_t Us = Digits(Whole) * 1'000'000;
    const QString Micro = (Fraction + QStringLiteral("000000")).left(6);
    Us += Digits(Micro);
    if (Fraction.size() > 6 && Fraction.at(6) >= QLatin1Char('5'))
        ++Us;  // to the nearest microsecond
    TGoToTarget Target;
    Target.Kind = TGoToTarget::gkSeconds;
    Target.Microseconds = Match.captured(1) == QLatin1String("-") ? -Us : Us;
    return Target;
}

TGoToTarget ParseGoToText(const QString& Text) {
    const QString Typed = Text.normalized(QString::NormalizationForm_KC).trimmed();
    static const QRegularExpression Number(QStringLiteral("^([+-]?)([0-9]+)$"));
    static const QRegularExpression Code(
        QStringLiteral("^([0-9]+):([0-9]{1,2}):([0-9]{1,2}):([0-9]{1,2})$"));
    static const QRegularExpression Time(
        QStringLiteral("^([+-]?)([0-9]*)(?:\\.([0-9]*))?\\s*[sS]$"));
    if (const auto Match = Number.match(Typed); Match.hasMatch())
        return FrameNumber(Match.captured(1), Match.captured(2));
    if (const auto Match = Code.match(Typed); Match.hasMatch()) return TimeCode(Typed, Match);
    if (const auto Match = Time.match(Typed);
        Match.hasMatch() && (Match.capturedLength(2) + Match.capturedLength(3)) > 0)
        return Seconds(Typed, Match);
    RaiseUnreadable(Typed.isEmpty() ? Text : Typed);
}

QString SecondsText(std::int64_t Microseconds) {
    const bool Negative = Microseconds < 0;
    const std::uint64_t Us =
        Negative ? std::uint64_t(0) - std::uint64_t(Microseconds) : std::uint64_t(Microseconds);
    QString Fraction = QStringLiteral("%1").arg(Us % 1'000'000, 6, 10, QLatin1Char('0'));
    while (Fraction.endsWith(QLatin1Char('0'))) Fraction.chop(1);
    QString Text = (Negative ? QStringLiteral("-") : QString()) + QString::number(Us / 1'000'000);
    if (!Fraction.isEmpty()) Text += QLatin1Char('.') + Fraction;
    return Text + QLatin1Char('s');
}
