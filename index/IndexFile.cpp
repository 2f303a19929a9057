#include "IndexFile.h"

#include "Exception.h"

#include <QFile>
#include <QSaveFile>
#include <optional>

namespace {

std::string utf8(const QString& text) { return text.toUtf8().toStdString(); }

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

std::optional<std::int32_t> parseDecimal(const char* p, const char* end) {
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    if (p == end) return std::nullopt;
    std::int64_t value = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        if (value > 214748364) return std::nullopt;
        value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    if (value > 2147483647 || value < -2147483648ll) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::optional<std::int32_t> parseHex(const char* p, const char* end) {
    if (p == end) return std::nullopt;
    std::uint32_t value = 0;
    for (; p < end; ++p) {
        if (!isHexDigit(*p) || value > 0x0FFFFFFFu) return std::nullopt;
        value = value * 16 + std::uint32_t(hexValue(*p));
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

QString IndexFileName(const QString& mediaPath) {
    return mediaPath.left(std::max<qsizetype>(0, mediaPath.size() - 4)) + QStringLiteral(".idx");
}

void SaveIndexFile(const TIndexEntries& entries, const QString& path) {
    QByteArray text;
    qsizetype total = 0;
    for (const auto& entry : entries) total += entry.size() + 2;
    text.reserve(total);
    for (const auto& entry : entries) text.append(entry).append("\r\n", 2);

    QSaveFile file(path);
    // A folder we may not create files in, holding an index file we may write: write in place.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        throw EFCreateError(fw::format("ファイル %s を作成できません", utf8(path).c_str()));
    if (file.write(text) != text.size() || !file.commit())
        throw EWriteError("ストリームへの書き込みエラー");
}

TIndexEntries SplitIndexLines(const QByteArray& text) {
    TIndexEntries lines;
    const char* p = text.constData();
    const char* end = p + text.size();
    while (p < end && *p != '\0') {
        const char* start = p;
        while (p < end && *p != '\r' && *p != '\n' && *p != '\0') ++p;
        lines.emplace_back(start, p - start);
        if (p < end && *p == '\r') ++p;
        if (p < end && *p == '\n') ++p;
    }
    return lines;
}

TIndexEntries LoadIndexFile(const QString& path) {
    QFile file(path);
    const auto cannotOpen = [&] {
        return EFOpenError(fw::format("ファイル %s は開けません", utf8(path).c_str()));
    };
    if (!file.open(QIODevice::ReadOnly)) throw cannotOpen();
    if (file.size() > kMaxIndexFileBytes) throw cannotOpen();
    const QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError) throw cannotOpen();
    return SplitIndexLines(text);
}

std::int32_t EntryToFrame(const QByteArray& entry) {
    const char* p = entry.constData();
    const char* end = p + entry.size();
    while (p < end && *p == ' ') ++p;
    std::optional<std::int32_t> value;
    const qsizetype left = end - p;
    if (left >= 1 && (*p == '$' || *p == 'x' || *p == 'X'))
        value = parseHex(p + 1, end);
    else if (left >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        value = parseHex(p + 2, end);
    else
        value = parseDecimal(p, end);
    if (!value)
        throw EConvertError(fw::format("'%s' は整数ではありません", entry.toStdString().c_str()));
    return *value;
}

QByteArray FrameToEntry(std::int32_t frame) { return QByteArray::number(frame); }
