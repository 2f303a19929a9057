#include "IndexCache.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace mci {

namespace {

constexpr quint32 kMagic = 0x54564958;  // "TVIX"
// 2: packet keys that are the same in every process. 3: the kinds of the pictures, and how the
// container's clock runs. 4: packets known by their timestamps; a checksum of our own.
// 5: H.264 in AVI in the order its pictures are shown. 6: where a clock that should run on
// goes back (Matroska, MP4 fragments, FLV), the order the decoder shows the pictures in; an
// index kept before numbered such files by their times. 7: H.261 seeks from its first picture
// only; an index kept before took every packet for a keyframe. 8: bare HEVC, and H.264 and HEVC
// in ASF and MXF, in the order their pictures are shown (an index kept before numbered them in
// decode order); MPEG-1/2 keyframes by their pictures' kinds, not by a table that may be damaged,
// and no HEVC keyframe on a picture a decoder cannot begin at. 9: H.263 keyframes by their
// pictures' kinds (AVI and Matroska writers mark every picture one). 10: MPEG-1/2 and MPEG-4
// part 2 pictures whose times contradict the order their decoder shows them in are numbered in
// that order.
constexpr quint32 kVersion = 10;

// What identifies one state of a media file.
struct FileKey {
    QString path;
    qint64 size = -1;
    qint64 modifiedMs = 0;
};

std::optional<FileKey> keyOf(const QString& mediaPath)
{
    const QFileInfo info(mediaPath);
    if (!info.exists())
        return std::nullopt;
    return FileKey{info.absoluteFilePath(), info.size(), info.lastModified().toMSecsSinceEpoch()};
}

// Damage, not tampering, is what it guards against: a fast hash of the payload serves, where a
// cryptographic one took as long as the rest of the open of a long file.
quint64 checksum(const QByteArray& payload)
{
    return packetKey(payload.constData(), int(payload.size()));
}

}  // namespace

namespace IndexCache {

QString directory()
{
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    // The variable counts only as an absolute path; anything else is ignored, as the
    // convention for these folders requires.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.cache");
    return base + QStringLiteral("/tavolen");
}

QString entryPath(const QString& mediaPath)
{
    const QString absolute = QFileInfo(mediaPath).absoluteFilePath();
    const QByteArray name = QCryptographicHash::hash(absolute.toUtf8(), QCryptographicHash::Sha1).toHex();
    return directory() + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".index");
}

std::optional<FrameIndex> load(const QString& mediaPath, int streamIndex)
{
    const auto key = keyOf(mediaPath);
    QFile file(entryPath(mediaPath));
    if (!key || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Read at once, and the payload looked at where it lies: the stream reads a byte array of
    // its own a megabyte at a time, copying it again at each step, which took a fifth of the
    // open of a two-hour file.
    const QByteArray whole = file.readAll();
    QDataStream in(whole);
    in.setVersion(QDataStream::Qt_6_0);
    quint32 magic = 0, version = 0;
    FileKey stored;
    qint32 stream = -1;
    quint32 payloadBytes = 0;
    quint64 sum = 0;
    in >> magic >> version;
    if (in.status() != QDataStream::Ok || magic != kMagic || version != kVersion)
        return std::nullopt;
    in >> stored.path >> stored.size >> stored.modifiedMs >> stream >> payloadBytes;
    const qint64 at = in.device()->pos();
    if (in.status() != QDataStream::Ok || payloadBytes > whole.size() - at)
        return std::nullopt;
    const QByteArray payload = QByteArray::fromRawData(whole.constData() + at, payloadBytes);
    in.device()->seek(at + payloadBytes);
    in >> sum;
    if (in.status() != QDataStream::Ok || stored.path != key->path || stored.size != key->size
        || stored.modifiedMs != key->modifiedMs || stream != streamIndex || sum != checksum(payload))
        return std::nullopt;
    QDataStream body(payload);
    body.setVersion(QDataStream::Qt_6_0);
    return FrameIndex::load(body);
}

bool store(const QString& mediaPath, int streamIndex, const FrameIndex& index)
{
    const auto key = keyOf(mediaPath);
    if (!key || !QDir().mkpath(directory()))
        return false;
    QByteArray payload;
    {
        QDataStream body(&payload, QIODevice::WriteOnly);
        body.setVersion(QDataStream::Qt_6_0);
        index.save(body);
    }
    QSaveFile file(entryPath(mediaPath));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&file);
    out.setVersion(QDataStream::Qt_6_0);
    out << kMagic << kVersion << key->path << key->size << key->modifiedMs << qint32(streamIndex) << payload
        << checksum(payload);
    return out.status() == QDataStream::Ok && file.commit();
}

}  // namespace IndexCache

}  // namespace mci
