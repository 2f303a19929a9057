// The index file under arbitrary bytes: cutting a text into entries, the save and load round
// trip (byte for byte), and both entry conversions.
#include "FuzzCheck.h"

#include "Exception.h"
#include "IndexFile.h"
#include "IndexForm.h"

#include <QFile>
#include <charconv>
#include <cstdint>
#include <string>

namespace {

QByteArray savedForm(const TIndexEntries& entries) {
    QByteArray text;
    for (qsizetype i = 0; i < entries.size(); ++i) text.append(entries.view(i)).append("\r\n");
    return text;
}

void checkLines(const QByteArray& input, const TIndexEntries& entries) {
    // Up to the first NUL, the entries are the text without its line ends.
    QByteArray expected = input.left(input.indexOf('\0') < 0 ? input.size() : input.indexOf('\0'));
    expected.replace("\r", "").replace("\n", "");
    QByteArray joined;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QByteArrayView entry = entries.view(i);
        FUZZ_CHECK(!entry.contains('\r') && !entry.contains('\n') && !entry.contains('\0'));
        joined.append(entry);
    }
    FUZZ_CHECK(joined == expected);
    FUZZ_CHECK(SplitIndexLines(savedForm(entries)) == entries);
}

void checkRoundTrip(const TIndexEntries& entries) {
    const QString path = QString::fromStdString(scratchFolder() + "/fuzz.idx");
    SaveIndexFile(entries, path);
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    FUZZ_CHECK(file.readAll() == savedForm(entries));
    FUZZ_CHECK(LoadIndexFile(path) == entries);
}

// A plain decimal entry (blanks, an optional minus, up to nine digits) always converts, to
// its value.
void checkConversion(const QByteArray& entry) {
    std::optional<std::int32_t> plain, bounded;
    try {
        plain = EntryTextToFrame(entry);
    } catch (const EConvertError& error) {
        // The message is C text: it quotes the entry up to a NUL, which no loaded entry holds.
        const QByteArray quoted =
            entry.left(entry.indexOf('\0') < 0 ? entry.size() : entry.indexOf('\0'));
        FUZZ_CHECK(std::string(error.what()) ==
                   "'" + quoted.toStdString() + "' は整数ではありません");
    }
    try {
        bounded = TIndex::BoundedEntryToFrame(entry);
    } catch (const EConvertError&) {
    }
    FUZZ_CHECK(entry.size() > TIndex::kMaxEntryText ? !bounded : bounded == plain);
    if (plain) FUZZ_CHECK(EntryTextToFrame(FrameToEntry(*plain)) == *plain);

    const QByteArray digits = QByteArray(entry).replace(' ', "");
    const qsizetype blanks = entry.size() - digits.size();
    const bool decimal = entry.left(blanks) == QByteArray(blanks, ' ') && !digits.isEmpty() &&
                         digits.size() <= 10 && digits.count('-') <= 1;
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (decimal && ec == std::errc() && end == digits.data() + digits.size() && digits.size() < 10)
        FUZZ_CHECK(plain == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const TIndexEntries entries = SplitIndexLines(input);
    checkLines(input, entries);
    checkRoundTrip(entries);
    for (qsizetype i = 0; i < entries.size() && i < 64; ++i) checkConversion(entries.at(i));
    checkConversion(input);  // a whole input as one entry: any bytes at all
    return 0;
}
