// The player window's inspection tools: go to a frame, keep the frame shown (a PNG file or the
// clipboard), the frame information window, and stepping with "." / "," and the wheel from
// wherever the focus is. All of them sit after what the window was designed with: new items at
// the end of the ファイル and 表示 menus, keys nothing else uses.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QSaveFile>
#include <QWheelEvent>

#include "Application.h"
#include "Exception.h"
#include "FileDialog.h"
#include "FrameInfoWindow.h"
#include "GoToFrame.h"
#include "GoToFrameDialog.h"
#include "MFrameTools.h"
#include "Timer.h"
#include "TavolenPlay.h"
#include "TrackBar.h"

// One notch of a wheel, in eighths of a degree.
static constexpr int WheelNotch = 120;

// Sees every key and wheel event of the application before its receiver does, so that "." and
// "," step whichever control of the player window has the focus (the counter, a text box, would
// otherwise take them as typing), and the wheel over the picture steps. Events of other
// windows (the index window, a dialog, a menu) pass untouched.
class TStepKeys : public QObject {
public:
    explicit TStepKeys(TTavolenForm* Form) : QObject(Form), m_form(Form) {
        qApp->installEventFilter(this);
    }

    bool eventFilter(QObject* Watched, QEvent* Event) override {
        const QEvent::Type Type = Event->type();
        if (Type != QEvent::KeyPress && Type != QEvent::Wheel) return false;
        auto* Receiver = qobject_cast<QWidget*>(Watched);
        if (Receiver == nullptr || Receiver->window() != m_form) return false;
        if (Type == QEvent::Wheel) {
            auto* Wheel = static_cast<QWheelEvent*>(Event);
            // Natural scrolling reports the turn reversed; the hand's direction is what counts.
            const int Turn = Wheel->inverted() ? -Wheel->angleDelta().y() : Wheel->angleDelta().y();
            return m_form->WheelOverPicture(Receiver, Wheel->position(), Turn);
        }
        auto* Key = static_cast<QKeyEvent*>(Event);
        if ((Key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) return false;
        if (Key->key() != Qt::Key_Period && Key->key() != Qt::Key_Comma) return false;
        const TMPBtnType Button = Key->key() == Qt::Key_Period ? btStep : btBack;
        fw::guard([&] { m_form->StepFromKey(Button); });
        return true;
    }

private:
    TTavolenForm* m_form;
};

static QAction* AddItem(QMenu* Menu, const char* Name, const QString& Caption,
                        const QKeySequence& Key) {
    auto* Item = new QAction(Caption, Menu);
    Item->setObjectName(QString::fromLatin1(Name));
    Item->setShortcut(Key);
    Menu->addAction(Item);
    return Item;
}

void TTavolenForm::BuildInspectionTools() {
    N2 = KF1->addSeparator();
    N2->setObjectName(QStringLiteral("N2"));
    SaveFrame1 = AddItem(KF1, "SaveFrame1", QStringLiteral("フレームを画像として保存…"),
                         QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    CopyFrame1 = AddItem(KF1, "CopyFrame1", QStringLiteral("フレームをクリップボードへコピー"),
                         QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
    GoToFrame1 = AddItem(Show1, "GoToFrame1", QStringLiteral("フレームへ移動…"),
                         QKeySequence(Qt::CTRL | Qt::Key_G));
    FrameInfo1 =
        AddItem(Show1, "FrameInfo1", QStringLiteral("フレーム情報"), QKeySequence(Qt::Key_F2));
    ConnectMenuItem(SaveFrame1, &TTavolenForm::SaveFrame1Click);
    ConnectMenuItem(CopyFrame1, &TTavolenForm::CopyFrame1Click);
    ConnectMenuItem(GoToFrame1, &TTavolenForm::GoToFrame1Click);
    ConnectMenuItem(FrameInfo1, &TTavolenForm::FrameInfo1Click);

    SaveFrameDialog1 = std::make_unique<fw::SaveDialog>();
    SaveFrameDialog1->setFilter(QStringLiteral("PNG 画像|*.png|すべてのファイル|*.*"));
    SaveFrameDialog1->setDefaultExt(QStringLiteral("png"));
    SaveFrameDialog1->setOptions(fw::FileDialogOptions{false, true, true, true});
    m_stepKeys = new TStepKeys(this);
}

// ---- go to a frame ---------------------------------------------------------------------------

void TTavolenForm::GoToFrame1Click(TObject* Sender) {
    if (MediaPlayer1->OpenDeviceId() == 0) throw EMCIDeviceError("MCI デバイスがありません");
    TGoToFrameDialog Dialog(this);
    Dialog.OnGo = [this](const QString& Text) { GoToText(Text); };
    Dialog.exec();
}

// The frame the text names; raises a message that says which frames or times there are.
static std::int32_t FrameOfText(TMediaPlayer& Player, const QString& Text) {
    const TGoToTarget Target = ParseGoToText(Text);
    const std::int32_t Length = Player.Length();
    if (Target.Kind == TGoToTarget::gkFrame) {
        if (Target.Frame < 0 || Target.Frame >= Length)
            throw EConvertError(
                fw::format("フレーム %s はありません（このファイルは 0 から %d まで）",
                           Text.trimmed().toUtf8().constData(), Length - 1));
        return std::int32_t(Target.Frame);
    }
    if (const auto Info = FrameInfoAtTime(Player, Target.Microseconds)) return Info->Frame;
    const auto First = FrameInfoOf(Player, 0), Last = FrameInfoOf(Player, Length - 1);
    if (!First || !Last)
        throw EConvertError(fw::format("%s: このファイルでは時間を指定して移動できません",
                                       Text.trimmed().toUtf8().constData()));
    throw EConvertError(
        fw::format("%s のフレームはありません（このファイルは %s から %s の手前まで）",
                   SecondsText(Target.Microseconds).toUtf8().constData(),
                   SecondsText(First->StartUs).toUtf8().constData(),
                   SecondsText(Last->StartUs + Last->DurationUs).toUtf8().constData()));
}

void TTavolenForm::GoToText(const QString& Text) {
    if (MediaPlayer1->OpenDeviceId() == 0) throw EMCIDeviceError("MCI デバイスがありません");
    const std::int32_t Frame = FrameOfText(*MediaPlayer1, Text);
    PauseHere();
    MediaPlayer1->SetPosition(Frame);
    // Slider and device agree, so the monitor takes this for no move of the user's.
    LastFrame = Frame;
    Bar->setPosition(Frame);
}

// As a click on the window: paused, and the transport says so. A start still pending would
// play a second after the open whatever the user went to; it runs now, and is paused at once.
void TTavolenForm::PauseHere() {
    if (Timer2->enabled()) Timer2Timer(Timer2);
    FormClick(this);
}

// ---- keep the frame ----------------------------------------------------------------------------

static TCapturedFrame TakeFrame(TMediaPlayer& Player) {
    auto Shot = CaptureFrame(Player);
    if (!Shot) throw EInvalidOperation("このファイルには保存できる画像がありません");
    return std::move(*Shot);
}

// Written beside the target and renamed over it: a write that fails leaves the old file, or no
// file, never part of a picture.
static void WritePng(const QImage& Image, const QString& Path) {
    QSaveFile File(Path);
    if (!File.open(QIODevice::WriteOnly))
        throw EFCreateError(fw::format("ファイル %s を作成できません", Path.toUtf8().constData()));
    if (!Image.save(&File, "PNG") || !File.commit()) {
        File.cancelWriting();
        throw EWriteError(fw::format("ファイル %s に書き込めません", Path.toUtf8().constData()));
    }
}

void TTavolenForm::SaveFrame1Click(TObject* Sender) {
    const TCapturedFrame Shot = TakeFrame(*MediaPlayer1);
    const QFileInfo Media(MediaPlayer1->FileName());
    SaveFrameDialog1->setInitialDir(Media.absolutePath());
    SaveFrameDialog1->setFileName(Media.completeBaseName() + QLatin1Char('_') +
                                  QString::number(Shot.Frame) + QStringLiteral(".png"));
    if (!SaveFrameDialog1->execute()) return;
    WritePng(Shot.Image, SaveFrameDialog1->fileName());
}

void TTavolenForm::CopyFrame1Click(TObject* Sender) {
    QGuiApplication::clipboard()->setImage(TakeFrame(*MediaPlayer1).Image);
}

// ---- frame information ----------------------------------------------------------------------

void TTavolenForm::FrameInfo1Click(TObject* Sender) {
    if (!FrameInfoWindow) FrameInfoWindow = std::make_unique<TFrameInfoWindow>(MediaPlayer1);
    FrameInfoWindow->ShowWindow();
}

// ---- stepping from anywhere -----------------------------------------------------------------

void TTavolenForm::StepFromKey(TMPBtnType Button) {
    if (MediaPlayer1->OpenDeviceId() == 0) return;
    if (Timer2->enabled() || MediaPlayer1->Mode() == dmPlaying) PauseHere();
    bool DoDefault = true;
    MediaPlayer1Click(MediaPlayer1, Button, DoDefault);
    if (!DoDefault) return;
    if (Button == btStep)
        MediaPlayer1->Step();
    else
        MediaPlayer1->Back();
}

bool TTavolenForm::WheelOverPicture(QWidget* Receiver, const QPointF& Position, int AngleDelta) {
    if (Receiver != client() && !client()->isAncestorOf(Receiver)) return false;
    if (!m_pictureArea.contains(Receiver->mapTo(client(), Position.toPoint()))) return false;
    m_wheelDelta += AngleDelta;
    // Toward the user (a negative turn) is forward, as a page scrolls on.
    fw::guard([this] {
        while (m_wheelDelta <= -WheelNotch) {
            m_wheelDelta += WheelNotch;
            StepFromKey(btStep);
        }
        while (m_wheelDelta >= WheelNotch) {
            m_wheelDelta -= WheelNotch;
            StepFromKey(btBack);
        }
    });
    return true;
}
