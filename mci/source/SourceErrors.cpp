#include "SourceErrors.h"

namespace mci {

QString sourceErrorText(MCIERROR code)
{
    switch (code) {
    case MCIERR_FILE_NOT_FOUND:
        return QStringLiteral("ファイルが見つかりません");
    case MCIERR_FILE_READ:
        return QStringLiteral("ファイルを読み込めません");
    case MCIERR_INVALID_FILE:
        return QStringLiteral("メディア ファイルではないか、形式を認識できません");
    case MCIERR_OUT_OF_MEMORY:
        return QStringLiteral("メモリが足りません");
    case MCIERR_SOURCE_EMPTY_FILE:
        return QStringLiteral("ファイルが空です");
    case MCIERR_SOURCE_TRUNCATED:
        return QStringLiteral("ファイルが途中で切れているか、壊れています");
    case MCIERR_SOURCE_CANCELLED:
        return QStringLiteral("ファイルを開く操作が取り消されました");
    case MCIERR_SOURCE_PICTURE_TOO_LARGE:
        return QStringLiteral("映像の画面が大きすぎて扱えません");
    case MCIERR_SOURCE_UNSUPPORTED_CODEC:
        return QStringLiteral("このファイルの圧縮形式には対応していません");
    default:
        return {};
    }
}

}  // namespace mci
