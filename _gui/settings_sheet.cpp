#include "_gui/settings_sheet.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStyle>
#include <QTabBar>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>
#include <cstring>

#include "_gui/balloon.h"
#include "_gui/console_client.h"
#include "_gui/main_window.h"
#include "_gui/screen_fit.h"
#include "libs/log/log.h"

namespace {

QPointer<SettingsSheet> g_sheet;

// A scroll area that asks for the whole of its page: it scrolls only when the window has been
// made smaller than that.
class FitScrollArea : public QScrollArea {
public:
    using QScrollArea::QScrollArea;
    QSize sizeHint() const override
    {
        const QWidget* w = widget();
        if (!w)
            return QScrollArea::sizeHint();
        const int f = 2 * frameWidth();
        return w->sizeHint().expandedTo(w->minimumSizeHint()) + QSize(f, f);
    }
    QSize minimumSizeHint() const override { return QSize(100, 100); }
};

bool SameRow(const ArchBootRow& a, const ArchBootRow& b)
{
    return a.code == b.code && a.length == b.length && std::memcmp(a.text, b.text, sizeof a.text) == 0;
}

// Bytes the user changed (working against the copy at open) over the current record.
template <class T>
T MergeChanges(const T& live, const T& atOpen, const T& working)
{
    T out = live;
    auto* o = reinterpret_cast<uint8_t*>(&out);
    const auto* a = reinterpret_cast<const uint8_t*>(&atOpen);
    const auto* w = reinterpret_cast<const uint8_t*>(&working);
    for (size_t i = 0; i < sizeof(T); ++i)
        if (w[i] != a[i])
            o[i] = w[i];
    return out;
}

// A row whose entry the user replaced takes nothing of the flags and sizes the BINL thread
// found for the old entry.
void TakeEditedRows(ArchBootTable& out, const ArchBootTable& atOpen, const ArchBootTable& working)
{
    for (int r = 0; r < kArchRows; ++r)
        if (!SameRow(working.rows[r], atOpen.rows[r]))
            out.rows[r] = working.rows[r];
}

}  // namespace

// ---- page order ----

const std::vector<SettingsPageRow>& SettingsPageRows()
{
    static const std::vector<SettingsPageRow> rows = {
        {"HTTP", "::/Using_Nimbo/Settings.html#HTTP", SVC_HTTP, CreateHttpPage},
        {"FTP", "::/Using_Nimbo/Settings.html#FTP", SVC_FTP, CreateFtpPage},
        {"TFTP", "::/Using_Nimbo/Settings.html#TFTP", SVC_TFTP_SERVER | SVC_TFTP_CLIENT, CreateTftpPage},
        {"DHCP", "::/Using_Nimbo/Settings.html#DHCP", SVC_DHCP | SVC_PDHCP | SVC_BINL, CreateDhcpPage},
        {"DNS", "::/Using_Nimbo/Settings.html#DNS", SVC_DNS, CreateDnsPage},
        {"SNTP", "::/Using_Nimbo/Settings.html#SNTP", SVC_SNTP, CreateSntpPage},
        {"SYSLOG", "::/Using_Nimbo/Settings.html#SYSLOG", SVC_SYSLOG, CreateSyslogPage},
    };
    return rows;
}

// ---- what OK sends ----

bool DhcpRecordLoaded(const DhcpSettings& record)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&record);
    for (size_t i = 0; i < sizeof record; ++i)
        if (p[i] != 0)
            return true;
    return false;
}

SheetStore PrepareSheetStore(const SheetCopies& copies, const GlobalSettings& liveSettings,
                             const DhcpSettings& liveDhcp)
{
    SheetStore out;
    out.sendSettings = std::memcmp(&copies.settings, &copies.settingsAtOpen, sizeof(GlobalSettings)) != 0;
    out.sendDhcp = std::memcmp(&copies.dhcp, &copies.dhcpAtOpen, sizeof(DhcpSettings)) != 0;
    out.settings = MergeChanges(liveSettings, copies.settingsAtOpen, copies.settings);
    out.dhcp = MergeChanges(liveDhcp, copies.dhcpAtOpen, copies.dhcp);
    TakeEditedRows(out.dhcp.BootFileTable, copies.dhcpAtOpen.BootFileTable, copies.dhcp.BootFileTable);
    TakeEditedRows(out.dhcp.Option67Table, copies.dhcpAtOpen.Option67Table, copies.dhcp.Option67Table);
    TakeEditedRows(out.dhcp.Option252Table, copies.dhcpAtOpen.Option252Table, copies.dhcp.Option252Table);
    return out;
}

// ---- the sheet ----

SettingsSheet::SettingsSheet(QWidget* owner, const QString& helpPath) : QDialog(owner), helpPath_(helpPath)
{
    setObjectName("settingsSheet");
    setWindowTitle("Nimbo Settings");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::ApplicationModal);

    ConsoleModel& model = GuiConsole().model;
    copies_.settings = model.settings;
    std::memcpy(&copies_.dhcp, model.dhcpSettings.data(), sizeof(DhcpSettings));
    copies_.settingsAtOpen = copies_.settings;
    copies_.dhcpAtOpen = copies_.dhcp;
    // The services send their current DHCP record; when nothing had loaded it yet, the
    // service reads it from the settings file first. The answer arrives while the sheet is
    // open (followDhcpCopy).
    if (GuiConsole().sock >= 0)
        SendAskDhcpSettings();

    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabBar(this);
    tabs_->setObjectName("settingsTabs");
    tabs_->setExpanding(false);
    stack_ = new QStackedWidget(this);
    // On a screen too small for the pages the page scrolls; OK and Cancel stay in view.
    auto* scroll = new FitScrollArea(this);
    scroll->setObjectName("sheetScroll");
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setWidget(stack_);
    layout->addWidget(tabs_);
    layout->addWidget(scroll, 1);
    for (const SettingsPageRow& row : SettingsPageRows()) {
        SettingsPage* page = row.create(*this);
        pages_.push_back(page);
        tabs_->addTab(page->title());
        stack_->addWidget(page);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    ok_ = new QPushButton("OK", this);
    ok_->setObjectName("sheetOk");
    ok_->setDefault(true);
    cancel_ = new QPushButton("Cancel", this);
    cancel_->setObjectName("sheetCancel");
    help_ = new QPushButton("Help", this);
    help_->setObjectName("sheetHelp");
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    buttons->addWidget(help_);
    layout->addLayout(buttons);
    connect(ok_, &QPushButton::clicked, this, [this] { pressOk(); });
    connect(cancel_, &QPushButton::clicked, this, [this] { pressCancel(); });
    connect(help_, &QPushButton::clicked, this, [this] { pressHelp(); });
    connect(tabs_, &QTabBar::currentChanged, this, [this](int index) {
        if (!switching_ && index != current_)
            setCurrentPage(index);
    });
    activate(0);
}

SettingsSheet::~SettingsSheet() { BalloonClose(); }

SettingsPage* SettingsSheet::page(int index) const
{
    return index >= 0 && index < pageCount() ? pages_[static_cast<size_t>(index)] : nullptr;
}

SettingsPage* SettingsSheet::pageByTitle(const QString& title) const
{
    for (SettingsPage* p : pages_)
        if (p->title() == title)
            return p;
    return nullptr;
}

SettingsPage* SettingsSheet::currentPage() const { return page(current_); }

void SettingsSheet::activate(int index)
{
    followDhcpCopy();
    current_ = index;
    switching_ = true;
    tabs_->setCurrentIndex(index);
    switching_ = false;
    stack_->setCurrentIndex(index);
    SettingsPage* p = page(index);
    p->load();
    p->updateEnabled();
}

bool SettingsSheet::setCurrentPage(int index)
{
    if (!page(index))
        return false;
    if (index == current_)
        return true;
    if (SettingsPage* old = currentPage(); old && !old->store()) {
        switching_ = true;
        tabs_->setCurrentIndex(current_);
        switching_ = false;
        return false;
    }
    activate(index);
    return true;
}

void SettingsSheet::followDhcpCopy()
{
    DhcpSettings live;
    std::memcpy(&live, GuiConsole().model.dhcpSettings.data(), sizeof live);
    const bool untouched = std::memcmp(&copies_.dhcp, &copies_.dhcpAtOpen, sizeof live) == 0;
    if (!untouched || std::memcmp(&live, &copies_.dhcpAtOpen, sizeof live) == 0)
        return;
    // The page that shows the DHCP record keeps what it has loaded.
    if (SettingsPage* p = currentPage(); p && (p->ownBits() & SVC_DHCP))
        return;
    copies_.dhcp = live;
    copies_.dhcpAtOpen = live;
}

bool SettingsSheet::pressOk()
{
    if (SettingsPage* p = currentPage(); p && !p->store())
        return false;
    followDhcpCopy();
    ConsoleModel& model = GuiConsole().model;
    DhcpSettings live;
    std::memcpy(&live, model.dhcpSettings.data(), sizeof live);
    const SheetStore out = PrepareSheetStore(copies_, model.settings, live);
    if (out.sendSettings || out.sendDhcp) {
        MainWindow* w = CurrentMainWindow();
        if (out.sendSettings) {
            model.settings = out.settings;
            if (w)
                w->post(PM_STORE_SETTINGS);
            else
                SendStoreGlobalSettings();
        }
        if (out.sendDhcp) {
            std::memcpy(model.dhcpSettings.data(), &out.dhcp, sizeof out.dhcp);
            if (w)
                w->post(PM_STORE_DHCP);
            else
                SendStoreDhcpSettings();
        }
        if (w) {
            QPointer<MainWindow> win = w;
            QTimer::singleShot(200, w, [win] {
                if (!win)
                    return;
                // At the window's close button.
                const QRect f = win->frameGeometry();
                const int frame = (f.width() - win->width()) / 2;
                const int button = win->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, win);
                const QPoint at(f.right() - button / 2 - frame, f.top() + button / 2 + frame);
                ShowBalloon(ProgramTitle, kMsgRestart, win, win, BALLOON_ICON_INFO, true, 0, at, false);
            });
        }
    }
    QDialog::accept();
    return true;
}

void SettingsSheet::pressCancel()
{
    for (SettingsPage* p : pages_)
        p->cancel();
    QDialog::reject();
}

void SettingsSheet::reject() { pressCancel(); }

void SettingsSheet::pressHelp()
{
    if (helpPath_.isEmpty() || !QFileInfo::exists(helpPath_)) {
        ShowBalloon(QString(), "Error:\nNimbo couldn't find \"Nimbo.chm\"", help_, this, BALLOON_ICON_NONE, true, 0,
                    std::nullopt, false);
        return;
    }
    DebugTrace("GUI: help topic %s\n", currentPage() ? currentPage()->helpTopic().toLocal8Bit().constData() : "");
    QDesktopServices::openUrl(QUrl::fromLocalFile(helpPath_));
}

SettingsSheet* CurrentSettingsSheet() { return g_sheet.data(); }

SettingsSheet* ShowSettingsSheet(QWidget* owner, const QString& helpPath)
{
    if (g_sheet) {
        g_sheet->raise();
        g_sheet->activateWindow();
        return g_sheet.data();
    }
    auto* sheet = new SettingsSheet(owner, helpPath);
    g_sheet = sheet;
    QObject::connect(sheet, &QDialog::finished, sheet, [sheet] {
        if (g_sheet == sheet)
            g_sheet = nullptr;
    });
    sheet->adjustSize();
    // Centred on the owner, on the screen when there is none or it is minimised; never
    // larger than the screen's available area nor beyond it.
    const QScreen* screen = owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect();
    sheet->show();
    const QMargins frame = sheet->windowHandle() ? sheet->windowHandle()->frameMargins() : QMargins();
    // Its whole size where the screen has room (adjustSize stops at two thirds of it).
    if (!area.isEmpty())
        sheet->resize(
            sheet->sizeHint().expandedTo(sheet->minimumSizeHint()).boundedTo(area.marginsRemoved(frame).size()));
    QRect r = sheet->geometry().marginsAdded(frame);
    if (owner && !owner->isMinimized() && owner->isVisible())
        r.moveCenter(owner->frameGeometry().center());
    else if (!area.isEmpty())
        r.moveCenter(area.center());
    if (!area.isEmpty()) {
        r.moveLeft(qMax(area.left(), qMin(r.left(), area.right() + 1 - r.width())));
        r.moveTop(qMax(area.top(), qMin(r.top(), area.bottom() + 1 - r.height())));
    }
    sheet->move(r.topLeft());
    // The window manager's frame may come later.
    KeepInsideScreen(sheet);
    return sheet;
}
