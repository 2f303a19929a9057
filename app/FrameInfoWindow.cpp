#include "FrameInfoWindow.h"

#include <QGridLayout>
#include <QLabel>

#include "Colors.h"
#include "Fonts.h"
#include "GoToFrame.h"
#include "Timer.h"

static const QString NoValue = QStringLiteral("—");

TFrameInfoWindow::TFrameInfoWindow(TMediaPlayer* Device) : fw::Form(nullptr), m_device(Device) {
    setObjectName(QStringLiteral("FrameInfo"));
    setCaption(QStringLiteral("フレーム情報"));
    setBorderStyle(fw::FormBorderStyle::bsToolWindow);
    setStayOnTop(true);
    setClientSize(236, 156);
    setPosition(fw::FormPosition::poScreenCenter);
    setColor(fw::clBtnFace);
    setFont(fw::mapFont(QStringLiteral("ＭＳ Ｐゴシック"), -12));
    auto* Grid = new QGridLayout(client());
    Grid->setContentsMargins(8, 8, 8, 8);
    Grid->setVerticalSpacing(4);
    FrameNo = AddRow(0, QStringLiteral("フレーム"));
    PictureType = AddRow(1, QStringLiteral("ピクチャタイプ"));
    Keyframe = AddRow(2, QStringLiteral("キーフレーム"));
    StartTime = AddRow(3, QStringLiteral("表示時刻"));
    Duration = AddRow(4, QStringLiteral("表示時間"));
    NominalRate = AddRow(5, QStringLiteral("公称フレームレート"));
    VariableRate = AddRow(6, QStringLiteral("可変フレームレート"));
    Timer1 = new fw::Timer(this);
    Timer1->setInterval(30);
    Timer1->OnTimer = [this](TObject* Sender) { Timer1Timer(Sender); };
    OnShow = [this](TObject*) { Timer1->setEnabled(true); };
    OnHide = [this](TObject*) { Timer1->setEnabled(false); };
}

TFrameInfoWindow::~TFrameInfoWindow() { destroying(); }

QLabel* TFrameInfoWindow::AddRow(int Row, const QString& Caption) {
    auto* Grid = static_cast<QGridLayout*>(client()->layout());
    Grid->addWidget(new QLabel(Caption, client()), Row, 0);
    auto* Value = new QLabel(NoValue, client());
    Value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Grid->addWidget(Value, Row, 1);
    return Value;
}

void TFrameInfoWindow::ShowWindow() {
    Timer1Timer(this);
    if (isVisible()) {
        raise();
        activateWindow();
    } else {
        show();
    }
}

void TFrameInfoWindow::Timer1Timer(TObject* Sender) {
    std::optional<TFrameInfo> Info;
    if (m_device && m_device->OpenDeviceId() != 0) Info = FrameInfoOf(*m_device);
    // Every fact, not just the frame: frame 0 of the next file opened may differ in all else.
    if (m_shownAny && Info == m_shown) return;
    ShowInfo(Info);
}

static QString RateText(const TFrameInfo& Info) {
    if (Info.RateNum == 0 || Info.RateDen == 0) return NoValue;
    const QString Fps =
        QString::number(double(Info.RateNum) / Info.RateDen, 'f', 3) + QStringLiteral(" fps");
    if (Info.RateDen == 1) return Fps;
    return Fps + QStringLiteral(" (%1/%2)").arg(Info.RateNum).arg(Info.RateDen);
}

void TFrameInfoWindow::ShowInfo(const std::optional<TFrameInfo>& Info) {
    m_shown = Info;
    m_shownAny = true;
    if (!Info) {
        for (QLabel* Value :
             {FrameNo, PictureType, Keyframe, StartTime, Duration, NominalRate, VariableRate})
            Value->setText(NoValue);
        return;
    }
    FrameNo->setText(QString::number(Info->Frame));
    PictureType->setText(Info->PictureType ? QString(QLatin1Char(Info->PictureType)) : NoValue);
    Keyframe->setText(Info->Keyframe ? QStringLiteral("はい") : QStringLiteral("いいえ"));
    StartTime->setText(SecondsText(Info->StartUs));
    Duration->setText(SecondsText(Info->DurationUs));
    NominalRate->setText(RateText(*Info));
    VariableRate->setText(Info->VariableRate ? QStringLiteral("はい") : QStringLiteral("いいえ"));
}
