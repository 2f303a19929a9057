// Creation, opening a file, the layout around the picture, the start timer and the menu
// commands. The monitor, the transport overrides and repainting are in TavolenMonitor.cpp, the
// zoom in TavolenZoom.cpp, and the commands that involve the index window in TavolenIndex.cpp.
#include "TavolenPlay.h"

#include "Application.h"
#include "Bevel.h"
#include "CheckBox.h"
#include "Edit.h"
#include "FileDialog.h"
#include "Files.h"
#include "FormDescription.h"
#include "FrameInfoWindow.h"
#include "PlayerRules.h"
#include "ScreenSaverInhibitor.h"
#include "Timer.h"
#include "TrackBar.h"
#include "ui_TavolenPlay.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

TMPModes LastMode = dmNotReady;
std::int32_t LastFrame = 0;
TRect NaturalRect;
TTavolenForm* TavolenForm = nullptr;

// Where the picture's top-left corner sits in the client area, inside the bevel frame.
static constexpr std::int32_t PictureLeft = 42;
static constexpr std::int32_t PictureTop = 74;

TTavolenForm::TTavolenForm(const QStringList& arguments, QWidget* parent)
    : fw::Form(parent), m_ui(std::make_unique<Ui::TavolenPlay>()), m_arguments(arguments) {
    TavolenForm = this;
    LastMode = dmNotReady;
    LastFrame = 0;
    NaturalRect = TRect();
    BuildFromDescription();
    ConnectEvents();
    ConnectDesktop();
    BuildInspectionTools();
    fw::guard([this] { FormCreate(this); });
}

TTavolenForm::~TTavolenForm() {
    // Run here rather than from the base's OnDestroy, which comes after this object is gone.
    fw::guard([this] { FormDestroy(this); });
    if (TavolenForm == this) TavolenForm = nullptr;
}

void TTavolenForm::BuildFromDescription() {
    m_ui->setupUi(client());
    ApplyFormDescription(*this, client());
    MainMenu1 = m_ui->MainMenu1;
    setMenuBar(MainMenu1);
    // The main window: closing it ends the program.
    setCloseAction(fw::CloseAction::Quit);

    MediaPlayer1 = m_ui->MediaPlayer1;
    Timer1 = new fw::Timer(this);
    ApplyTimerDescription(*Timer1, client(), "Timer1");
    OpenDialog1 = std::make_unique<fw::OpenDialog>();
    ApplyDialogDescription(*OpenDialog1, client(), "OpenDialog1");
    Timer2 = new fw::Timer(this);
    ApplyTimerDescription(*Timer2, client(), "Timer2");
    KF1 = m_ui->KF1;
    KO1 = m_ui->KO1;
    N1 = m_ui->N1;
    Exit1 = m_ui->Exit1;
    K1 = m_ui->K1;
    Ktavolenexe1 = m_ui->Ktavolenexe1;
    isRepeat = m_ui->isRepeat;
    Counter = m_ui->Counter;
    K2 = m_ui->K2;
    Show1 = m_ui->Show1;
    K3 = m_ui->K3;
    Bar = m_ui->Bar;
    Scalbar = m_ui->Scalbar;
    Scal = m_ui->Scal;
    Bevel1 = m_ui->Bevel1;
    Bevel2 = m_ui->Bevel2;
    Bevel3 = m_ui->Bevel3;
    Bevel4 = m_ui->Bevel4;
    MediaPlayer1->Loaded();
}

void TTavolenForm::ConnectMenuItem(QAction* item, void (TTavolenForm::*handler)(TObject*)) {
    QObject::connect(item, &QAction::triggered, this,
                     [this, item, handler] { fw::guard([&] { (this->*handler)(item); }); });
}

void TTavolenForm::ConnectEvents() {
    OnClick = [this](TObject* Sender) { FormClick(Sender); };
    // Qt repaints the client area under a text box whenever the monitor rewrites it; only a
    // paint that reaches the picture has anything for the device to redraw.
    OnPaint = [this](TObject* Sender) {
        if (paintRect().intersects(m_pictureArea)) FormPaint(Sender);
    };
    Timer1->OnTimer = [this](TObject* Sender) { Timer1Timer(Sender); };
    Timer2->OnTimer = [this](TObject* Sender) { Timer2Timer(Sender); };
    isRepeat->OnClick = [this](TObject* Sender) { isRepeatClick(Sender); };
    Bar->OnChange = [this](TObject* Sender) { BarChange(Sender); };
    Scalbar->OnChange = [this](TObject* Sender) { ScalbarChange(Sender); };
    MediaPlayer1->OnClick = [this](TObject* Sender, TMPBtnType Button, bool& DoDefault) {
        MediaPlayer1Click(Sender, Button, DoDefault);
    };
    ConnectMenuItem(KO1, &TTavolenForm::KO1Click);
    ConnectMenuItem(K2, &TTavolenForm::K2Click);
    ConnectMenuItem(Exit1, &TTavolenForm::Exit1Click);
    ConnectMenuItem(K3, &TTavolenForm::K3Click);
    ConnectMenuItem(Ktavolenexe1, &TTavolenForm::Ktavolenexe1Click);
}

void TTavolenForm::FormCreate(TObject* Sender) {
    MediaPlayer1->SetDisplay(client());
    QString name = CommandLineFileName(m_arguments);
    if (!fw::fileExists(name)) {
        if (!name.isEmpty()) fw::Application::showMessage(QStringLiteral("file not not found:") + name);
        if (!OpenDialog1->execute()) {
            m_startCancelled = true;
            return;
        }
        name = OpenDialog1->fileName();
    }
    OpenDialog1->setInitialDir(InitialDirOf(name));
    // OpenMedia switches every device to frames and brings LastFrame in line with the slider.
    OpenMedia(name);
}

void TTavolenForm::OpenMedia(const QString& name) {
    // Between the close and the end of the open there is no device; the open may run the
    // event loop (its progress window), and a tick of the index window, the monitor or the
    // start timer would then reach the device that is not there yet.
    const fw::TimerHold hold;
    // While the start timer is pending the previous open's close is left to Open itself.
    if (!Timer2->enabled()) MediaPlayer1->Close();
    MediaPlayer1->SetFileName(name);
    try {
        MediaPlayer1->Open();
    } catch (...) {
        // Nothing is open: a pending start would only raise "no device" once a second.
        Timer2->setEnabled(false);
        throw;
    }
    // Counter, slider and index entries all count frames, whatever the device's default.
    MediaPlayer1->SetTimeFormat(MCI_FORMAT_FRAMES);
    TRect picture;  // stays zero when the medium has no picture
    MediaPlayer1->GetPictureRect(picture);
    NaturalRect = picture;
    if (IsSoundFile(name)) {
        NaturalRect = TRect();
        Bar->setOrientation(Qt::Horizontal);
    } else {
        Bar->setOrientation(Qt::Vertical);
    }
    LayoutWindow(NaturalRect);
    PlacePicture(NaturalRect.Right, NaturalRect.Bottom);
    Bar->setMinimum(MediaPlayer1->Start());
    Bar->setMaximum(MediaPlayer1->Length());
    LastFrame = Bar->position();
    MediaPlayer1->SetStepFrames(1);
    // The new device starts stopped. Recording that keeps the monitor's repeat rule from
    // taking it for a playback that just ended and starting it at once: the new file plays
    // when the start timer fires, one second after the open, as it does at start-up.
    LastMode = MediaPlayer1->Mode();
    Timer2->setEnabled(true);
}

void TTavolenForm::PlacePicture(std::int32_t width, std::int32_t height) {
    MediaPlayer1->SetPictureRect(TRect{PictureLeft, PictureTop, width, height});
    // The device reads 0 x 0 as the natural size.
    if (width == 0 && height == 0) {
        width = NaturalRect.Right;
        height = NaturalRect.Bottom;
    }
    m_pictureArea = QRect(PictureLeft, PictureTop, width, height);
}

void TTavolenForm::LayoutWindow(const TRect& r) {
    const TWindowLayout l = PlanLayout(r.Right, r.Bottom, Bar->orientation() == Qt::Vertical);
    if (Width() < l.W) setWidth(l.W);
    if (Height() < l.H) setHeight(l.H);
    Bevel1->setGeometry(l.Bevel1);
    Bevel2->setGeometry(l.Bevel2);
    Bevel3->setGeometry(l.Bevel3);
    Bevel4->setGeometry(l.Bevel4);
    // The frame is the picture's: without one (a sound file) it would be an empty box over the
    // slider that takes the picture's place.
    const bool framed = r.Right > 0 && r.Bottom > 0;
    for (fw::Bevel* edge : {Bevel1, Bevel2, Bevel3, Bevel4}) edge->setVisible(framed);
    if (l.Bar.width() < 0)
        Bar->setHeight(l.Bar.height());
    else
        Bar->resize(l.Bar);
    setHeight(l.H);
    // The transport bar fits every width it is given to whole buttons, so read it back.
    MediaPlayer1->resize(l.PlayerWidth, MediaPlayer1->height());
    if (MediaPlayer1->width() < MinPlayerWidth)
        MediaPlayer1->resize(MinPlayerWidth, MediaPlayer1->height());
    Counter->setLeft(l.CounterLeft);
    if (Width() != l.W) setWidth(l.W);
    if (Height() != l.H) setHeight(l.H);
}

void TTavolenForm::Timer2Timer(TObject* Sender) {
    MediaPlayer1->Play();
    MediaPlayer1->SetEnabledButtons(TButtonSet{btPause});
    LastMode = MediaPlayer1->Mode();
    Timer2->setEnabled(false);
    Timer1->setEnabled(true);
    IndexStepAfterStart();
}

void TTavolenForm::KO1Click(TObject* Sender) {
    if (!OpenDialog1->execute()) return;
    OpenChosenFile(OpenDialog1->fileName());
}

void TTavolenForm::OpenChosenFile(const QString& name) {
    if (!fw::fileExists(name)) {
        fw::Application::showMessage(QStringLiteral("ファイル ") + name +
                                     QStringLiteral(" は存在してません。"));
        return;
    }
    OpenMedia(name);
    IndexStepAfterOpen(name);
}

void TTavolenForm::Exit1Click(TObject* Sender) {
    MediaPlayer1->Close();
    close();
}

void TTavolenForm::Ktavolenexe1Click(TObject* Sender) {
    fw::Application::showMessage(
        QStringLiteral("たぼれん %1\nコマ単位で確かめるためのメディアプレーヤー\n作: たぼれん開発チーム")
            .arg(QStringLiteral(TAVOLEN_VERSION)));
}

void TTavolenForm::FormDestroy(TObject* Sender) { MediaPlayer1->Close(); }

void TTavolenForm::isRepeatClick(TObject* Sender) {}

void TTavolenForm::BarChange(TObject* Sender) {}
