#include "GoToFrameDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Application.h"

TGoToFrameDialog::TGoToFrameDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("GoToFrameDialog"));
    setWindowTitle(QStringLiteral("フレームへ移動"));
    auto* Layout = new QVBoxLayout(this);
    auto* Prompt = new QLabel(
        QStringLiteral("フレーム番号、タイムコード (0:00:00:00)\nまたは秒 (12.5s):"), this);
    FrameText = new QLineEdit(this);
    FrameText->setObjectName(QStringLiteral("FrameText"));
    Prompt->setBuddy(FrameText);
    auto* Buttons = new QDialogButtonBox(this);
    QPushButton* Go = Buttons->addButton(QStringLiteral("移動"), QDialogButtonBox::AcceptRole);
    Buttons->addButton(QStringLiteral("キャンセル"), QDialogButtonBox::RejectRole);
    Go->setDefault(true);
    connect(Buttons, &QDialogButtonBox::accepted, this, &TGoToFrameDialog::accept);
    connect(Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    Layout->addWidget(Prompt);
    Layout->addWidget(FrameText);
    Layout->addWidget(Buttons);
    FrameText->setFocus();
}

void TGoToFrameDialog::accept() {
    try {
        if (OnGo) OnGo(FrameText->text());
    } catch (const std::exception& Error) {
        fw::Application::showException(Error);
        FrameText->selectAll();
        FrameText->setFocus();
        return;
    }
    QDialog::accept();
}
