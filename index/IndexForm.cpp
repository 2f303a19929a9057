#include "IndexForm.h"

#include "Application.h"
#include "Bevel.h"
#include "Button.h"
#include "Colors.h"
#include "Edit.h"
#include "Exception.h"
#include "Files.h"
#include "Fonts.h"
#include "Gauges.h"
#include "IndexFile.h"
#include "Label.h"
#include "ListBox.h"
#include "Timer.h"

#include <QPalette>
#include <cstdlib>
#include <string>
#include <utility>

TIndex* Index = nullptr;

namespace {

// The list's and the difference box's face: lime italics on black.
QFont EntryFont() { return fw::mapFont(QStringLiteral("MS Sans Serif"), -13, true); }

// Ends a list update however the replacement ends, so the list never stays frozen.
struct ListUpdate {
    explicit ListUpdate(fw::ListBox& list) : m_list(list) { m_list.beginUpdate(); }
    ~ListUpdate() { m_list.endUpdate(); }
    fw::ListBox& m_list;
};

}  // namespace

TIndex::TIndex(TMediaPlayer* device, std::function<TMPModes()> lastMode, QWidget* parent)
    : fw::Form(parent), m_device(device), m_lastMode(std::move(lastMode)) {
    setObjectName(QStringLiteral("Index"));
    setCaption(QStringLiteral("Index"));
    setBorderStyle(fw::FormBorderStyle::bsToolWindow);
    setStayOnTop(true);
    setClientSize(104, 357);
    move(650, 233);  // as designed; the first showing centres the window instead
    setPosition(fw::FormPosition::poScreenCenter);
    setColor(fw::clBtnFace);
    setFont(fw::mapFont(QStringLiteral("ＭＳ Ｐゴシック"), -12));
    QPalette text = palette();
    text.setColor(QPalette::WindowText, fw::clWindowText);
    setPalette(text);

    CreateComponents();
    SetTabOrder();

    OnShow = [this](TObject* Sender) { FormShow(Sender); };
    OnHide = [this](TObject* Sender) { FormHide(Sender); };
    OnClose = [this](TObject* Sender) { FormClose(Sender); };
}

TIndex::~TIndex() {
    if (Index == this) Index = nullptr;
}

void TIndex::CreateComponents() {
    QWidget* area = client();

    Indexlist = new fw::ListBox(area);
    Indexlist->setObjectName(QStringLiteral("Indexlist"));
    Indexlist->setBounds(0, 0, 105, 201);
    Indexlist->setColor(fw::clBlack);
    Indexlist->setFont(EntryFont());
    Indexlist->setFontColor(fw::clLime);
    Indexlist->setItemHeight(13);
    Indexlist->OnClick = [this](TObject* Sender) { IndexlistClick(Sender); };

    CreateDifferenceDisplay();
    CreateButtons();

    SaveIndexDialog1.setDefaultExt(QStringLiteral("idx"));
    SaveIndexDialog1.setFilter(QStringLiteral("インデックス(*.idx)|*.idx"));
    fw::FileDialogOptions options;
    options.overwritePrompt = true;
    options.hideReadOnly = true;
    SaveIndexDialog1.setOptions(options);

    Timer1 = new fw::Timer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(30);
    Timer1->OnTimer = [this](TObject* Sender) { Timer1Timer(Sender); };
}

void TIndex::CreateDifferenceDisplay() {
    QWidget* area = client();

    Label1 = new fw::Label(QStringLiteral("時間的差分"), area);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setBounds(10, 208, 60, 12);

    PieG = new TGauge(area);
    PieG->setObjectName(QStringLiteral("PieG"));
    PieG->setGeometry(78, 215, 25, 25);
    PieG->SetKind(gkPie);
    PieG->SetMinValue(0);
    PieG->SetMaxValue(29);
    PieG->SetProgress(0);
    PieG->SetShowText(false);
    PieG->SetBorderStyle(bsNone);
    PieG->SetColor(fw::clBtnFace);
    PieG->SetParentColor(false);

    difftime = new fw::Edit(area);
    difftime->setObjectName(QStringLiteral("difftime"));
    difftime->setBounds(2, 224, 73, 21);
    difftime->setReadOnly(true);
    difftime->setColor(fw::clBlack);
    difftime->setFont(EntryFont());
    difftime->setFontColor(fw::clLime);

    Bevel2 = new fw::Bevel(area, fw::BevelShape::bsBottomLine);
    Bevel2->setObjectName(QStringLiteral("Bevel2"));
    Bevel2->setBounds(-1, 248, 113, 9);
}

void TIndex::CreateButtons() {
    QWidget* area = client();
    auto button = [area](const char* name, const QString& caption, QRect bounds) {
        auto* made = new fw::Button(caption, area);
        made->setObjectName(QString::fromLatin1(name));
        made->setGeometry(bounds);
        return made;
    };

    Reg = button("Reg", QStringLiteral("登録"), QRect(8, 264, 89, 17));
    Reg->OnClick = [this](TObject* Sender) { RegClick(Sender); };
    Del = button("Del", QStringLiteral("削除"), QRect(8, 280, 89, 17));
    Del->OnClick = [this](TObject* Sender) { DelClick(Sender); };

    Bevel1 = new fw::Bevel(area, fw::BevelShape::bsBottomLine);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setBounds(0, 296, 113, 9);

    SaveIndex = button("SaveIndex", QStringLiteral("保存"), QRect(8, 312, 89, 17));
    SaveIndex->OnClick = [this](TObject* Sender) { SaveIndexClick(Sender); };
    ListClr = button("ListClr", QStringLiteral("消去"), QRect(64, 336, 33, 17));
    ListClr->OnClick = [this](TObject* Sender) { ListClrClick(Sender); };
}

// Tab order: Indexlist, ListClr, SaveIndex, Reg, Del, difftime.
void TIndex::SetTabOrder() {
    QWidget::setTabOrder(Indexlist, ListClr);
    QWidget::setTabOrder(ListClr, SaveIndex);
    QWidget::setTabOrder(SaveIndex, Reg);
    QWidget::setTabOrder(Reg, Del);
    QWidget::setTabOrder(Del, difftime);
}

TMediaPlayer& TIndex::Device() const {
    if (!m_device) throw EMCIDeviceError("MCI デバイスがありません");
    return *m_device;
}

// Position does not check for an open device and reads 0 without one; recording or comparing
// that would pass a failure off as a frame.
TMediaPlayer& TIndex::OpenDevice() const {
    TMediaPlayer& device = Device();
    if (device.OpenDeviceId() == 0) throw EMCIDeviceError("MCI デバイスがありません");
    return device;
}

std::int32_t TIndex::BoundedEntryToFrame(const QByteArray& entry) {
    if (entry.size() > kMaxEntryText) {
        const std::string shown = entry.left(kMaxEntryText).toStdString();
        throw EConvertError(fw::format("'%s' は整数ではありません", shown.c_str()));
    }
    return EntryTextToFrame(entry);
}

// ---- handlers --------------------------------------------------------------------------------

void TIndex::IndexlistClick(TObject*) {
    TMediaPlayer& device = Device();
    device.Pause();
    const QByteArray entry = Indexlist->item(Indexlist->itemIndex());
    device.SetPosition(BoundedEntryToFrame(entry));
    if (m_lastMode && m_lastMode() == dmPlaying) device.Play();
}

void TIndex::ListClrClick(TObject*) {
    Indexlist->clear();
    ++m_userEdits;
}

void TIndex::SaveIndexClick(TObject*) {
    const QString fileName = Device().FileName();
    if (fileName.size() <= 4) return;
    const QString proposed = IndexFileName(fileName);
    SaveIndexDialog1.setInitialDir(fw::dialogInitialDir(proposed));
    SaveIndexDialog1.setFileName(fw::dialogFileName(proposed));
    if (!SaveIndexDialog1.execute()) return;
    SaveIndexFile(Indexlist->itemList(), SaveIndexDialog1.fileName());
}

void TIndex::RegClick(TObject*) {
    Indexlist->add(FrameToEntry(OpenDevice().Position()));
    ++m_userEdits;
}

void TIndex::DelClick(TObject*) {
    const int selected = Indexlist->itemIndex();
    if (selected < 0) return;
    Indexlist->deleteItem(selected);
    ++m_userEdits;
    // The view would select the neighbour on its own, and a second press would then delete an
    // entry the user never chose.
    Indexlist->setItemIndex(-1);
}

void TIndex::Timer1Timer(TObject*) {
    // A failure here would come back every 30 ms; it is reported once, and again only when it
    // changes or after a tick that succeeded.
    try {
        ShowDifference();
        m_reportedTickError.reset();
    } catch (const Exception& error) {
        if (m_reportedTickError == error.Message()) return;
        m_reportedTickError = error.Message();
        throw;
    }
}

void TIndex::ShowDifference() {
    if (Indexlist->count() == 0) {
        difftime->setText(QString());
        return;
    }
    // The reference is converted before the device is asked, so a failing entry changes
    // nothing.
    const std::int32_t r = BoundedEntryToFrame(Indexlist->item(0));
    const std::int32_t p = OpenDevice().Position();
    const auto d = static_cast<std::int32_t>(static_cast<std::uint32_t>(p) -
                                             static_cast<std::uint32_t>(r));
    PieG->SetProgress(std::abs(d % 30));
    difftime->setText(QString::number(d));
}

void TIndex::FormShow(TObject*) {
    m_reportedTickError.reset();
    Timer1->setEnabled(true);
}

void TIndex::FormClose(TObject*) { Timer1->setEnabled(false); }

void TIndex::FormHide(TObject*) { Timer1->setEnabled(false); }

// ---- operations for the player window ---------------------------------------------------------

void TIndex::LoadEntries(const QString& path) {
    TIndexEntries lines = LoadIndexFile(path);
    ListUpdate update(*Indexlist);
    Indexlist->setItems(std::move(lines));
}

void TIndex::ShowWindow() {
    show();
    raise();
}
