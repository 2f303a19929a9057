#include "Table.h"

#include <algorithm>
#include <cmath>

namespace bench {

Summary summarize(std::vector<double> values, bool higherIsBetter) {
    Summary summary;
    summary.n = int(values.size());
    if (values.empty()) return summary;
    std::sort(values.begin(), values.end());
    const std::size_t count = values.size();
    summary.median =
        count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
    const auto rank = std::size_t(std::ceil(0.9 * double(count))) - 1;
    summary.p90 = higherIsBetter ? values[count - 1 - rank] : values[rank];
    return summary;
}

namespace {

QString number(double value) {
    if (value == std::floor(value) && std::abs(value) < 1e6) return QString::number(value, 'f', 0);
    const int decimals = std::abs(value) >= 100 ? 0 : std::abs(value) >= 10 ? 1 : 2;
    return QString::number(value, 'f', decimals);
}

QString cells(const Samples& samples, bool higherIsBetter, Summary* summary) {
    *summary = summarize(samples.values, higherIsBetter);
    if (summary->n == 0) return QStringLiteral("%1 | %2").arg("-", 8).arg("-", 8);
    return QStringLiteral("%1 | %2").arg(number(summary->median), 8).arg(number(summary->p90), 8);
}

QString ratioCell(const Summary& ours, const Summary& peer) {
    if (ours.n == 0 || peer.n == 0 || peer.median == 0) return QStringLiteral("-");
    // Three figures at most, so that a ratio of hundreds keeps the column.
    const double ratio = ours.median / peer.median;
    return QString::number(ratio, 'f', ratio >= 100 ? 0 : ratio >= 10 ? 1 : 2);
}

QString wrongCell(const Row& row, bool withPeer) {
    if (!row.countsFrames) return QStringLiteral("-");
    const QString ours = row.ours.any ? QString::number(row.ours.wrong) : QStringLiteral("-");
    if (!withPeer) return ours;
    return ours + "/" + (row.peer.any ? QString::number(row.peer.wrong) : QStringLiteral("-"));
}

void printLine(const Row& row, bool withPeer, std::FILE* out) {
    Summary ours;
    Summary peer;
    QString line = QStringLiteral("| %1 | %2 | %3 | %4 |")
                       .arg(row.clip, -16)
                       .arg(row.measure, -34)
                       .arg(cells(row.ours, row.higherIsBetter, &ours))
                       .arg(QString::number(ours.n), 3);
    if (withPeer) {
        line += QStringLiteral(" %1 | %2 |")
                    .arg(cells(row.peer, row.higherIsBetter, &peer))
                    .arg(ratioCell(ours, peer), 5);
    }
    line += QStringLiteral(" %1 |").arg(wrongCell(row, withPeer), withPeer ? 9 : 5);
    std::fprintf(out, "%s\n", qPrintable(line));
}

}  // namespace

void printTable(const std::vector<Row>& rows, bool withPeer, std::FILE* out) {
    QString header = QStringLiteral("| %1 | %2 | %3 | %4 | %5 |")
                         .arg("clip", -16)
                         .arg("measure", -34)
                         .arg("ours med", 8)
                         .arg("ours p90", 8)
                         .arg("n", 3);
    if (withPeer)
        header +=
            QStringLiteral(" %1 | %2 | %3 |").arg("peer med", 8).arg("peer p90", 8).arg("ratio", 5);
    header += withPeer ? QStringLiteral(" wrong o/p |") : QStringLiteral(" wrong |");
    std::fprintf(out, "%s\n", qPrintable(header));
    QString rule = header;
    for (QChar& c : rule)
        if (c != '|') c = '-';
    std::fprintf(out, "%s\n", qPrintable(rule));
    for (const Row& row : rows) printLine(row, withPeer, out);
    std::fprintf(out,
                 "\nms unless the measure says otherwise; ratio = ours median / peer median (for"
                 "\nsteps/s above 1 is ours faster, elsewhere below 1); p90 of a rate is the rate"
                 "\n90 %% of the samples reach; wrong = frames shown that were not the frame asked"
                 "\nfor, or requests that failed. Late: ours, a picture more than half a frame"
                 "\nbehind the pace of the one before; mpv, its vo-delayed-frame-count. MB are"
                 "\n2^20 bytes; peak memory is the resident high-water mark of the process, for"
                 "\nours less what the bench held before the open.\n");
}

}  // namespace bench
