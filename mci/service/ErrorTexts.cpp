#include "ErrorTexts.h"

#include <cstring>

namespace mci {

QString serviceErrorText(MCIERROR code) {
    switch (code) {
    case MCIERR_INVALID_DEVICE_ID:
        return QStringLiteral("指定されたデバイスは開かれていません");
    case MCIERR_UNRECOGNIZED_COMMAND:
        return QStringLiteral("メディアサービスはこのコマンドを知りません");
    case MCIERR_UNSUPPORTED_FUNCTION:
        return QStringLiteral("このデバイスはこの機能に対応していません (録画・録音、扉の開閉、音声だけのファイルの画面操作など)");
    case MCIERR_OUTOFRANGE:
        return QStringLiteral("指定された位置がメディアの範囲外です");
    case MCIERR_BAD_TIME_FORMAT:
        return QStringLiteral("この時間形式は使えません (フレームとミリ秒だけが使えます)");
    case MCIERR_NULL_PARAMETER_BLOCK:
        return QStringLiteral("コマンドのパラメータが渡されていません");
    case MCIERR_MISSING_PARAMETER:
        return QStringLiteral("コマンドに必要な項目が指定されていません");
    case MCIERR_FLAGS_NOT_COMPATIBLE:
        return QStringLiteral("同時には指定できないフラグが指定されました");
    case MCIERR_FILENAME_REQUIRED:
        return QStringLiteral("開くファイルが指定されていません (種類だけではデバイスを開けません)");
    case MCIERR_NONAPPLICABLE_FUNCTION:
        return QStringLiteral("一時停止していないので再開できません");
    case MCIERR_DEVICE_OPEN:
        return QStringLiteral("これ以上デバイスを開けません");
    case MCIERR_FILE_READ:
        return QStringLiteral("メディアファイルを読めません (削除されたか、途中で切れている可能性があります)");
    default:
        return {};
    }
}

bool copyErrorText(const QString& text, char* buffer, UINT length) {
    if (buffer == nullptr || length == 0) return false;
    const QByteArray utf8 = text.toUtf8();
    qsizetype size = std::min<qsizetype>(utf8.size(), qsizetype(length) - 1);
    // Back off continuation bytes (10xxxxxx) so the cut falls before a whole character.
    while (size > 0 && size < utf8.size() && (uchar(utf8[size]) & 0xC0) == 0x80) --size;
    std::memcpy(buffer, utf8.constData(), size_t(size));
    buffer[size] = '\0';
    return !text.isEmpty();
}

}  // namespace mci
