// The small dialog of 表示 > フレームへ移動…: one text box, which has the focus, and the buttons
// 移動 (the default, so Enter presses it) and キャンセル.
//
// Contract
// - UI thread only; run modal with exec() on the player window.
// - 移動 hands the text to OnGo. When OnGo raises, its message is shown in the error box and the
//   dialog stays open with the text selected for retyping; otherwise the dialog closes accepted.
#pragma once

#include <QDialog>
#include <functional>

class QLineEdit;

class TGoToFrameDialog : public QDialog {
public:
    explicit TGoToFrameDialog(QWidget* parent);

    QLineEdit* FrameText = nullptr;
    std::function<void(const QString&)> OnGo;

    void accept() override;
};
