// The settings sheet: one dialog with a page per service (HTTP, FTP, TFTP, DHCP, DNS, SNTP,
// SYSLOG) over private working copies of the two settings records. A page that does not
// validate cannot be left; OK sends the records the user changed (requests 209 and 208)
// and asks for a restart. The sheet runs no event loop of its own, so the console link goes
// on being read while it is open.
#pragma once
#include <QDialog>
#include <QString>
#include <vector>

#include "_gui/settings_page.h"

class QPushButton;
class QStackedWidget;
class QTabBar;

class SettingsSheet : public QDialog {
    Q_OBJECT
public:
    // Takes the working copies from the desktop's copies of the services' records.
    SettingsSheet(QWidget* owner, const QString& helpPath);
    ~SettingsSheet() override;

    SheetCopies& copies() { return copies_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* helpButton() const { return help_; }
    QTabBar* tabBar() const { return tabs_; }

    int pageCount() const { return static_cast<int>(pages_.size()); }
    SettingsPage* page(int index) const;
    SettingsPage* pageByTitle(const QString& title) const;
    SettingsPage* currentPage() const;
    int currentIndex() const { return current_; }
    // Leaves the current page (which must store) and activates another; false when the
    // current page refused.
    bool setCurrentPage(int index);

    // OK: the current page stores, then the changed records are sent. False when the page
    // refused (the sheet stays open).
    bool pressOk();
    void pressCancel();
    // Help button: opens the page's topic, or shows the missing-file balloon.
    void pressHelp();

    // When the desktop's DHCP copy changed since the sheet opened (a late answer to request
    // 206) and the user has not edited the working copy, the working copy and the copy taken
    // at open follow it. Called on every page change and before OK.
    void followDhcpCopy();

    // Esc and the window's close button cancel.
    void reject() override;

private:
    void activate(int index);

    QString helpPath_;
    SheetCopies copies_;
    QTabBar* tabs_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* help_ = nullptr;
    std::vector<SettingsPage*> pages_;
    int current_ = -1;
    bool switching_ = false;
};

// The pages of the sheet in their order: title, help topic and factory.
struct SettingsPageRow {
    const char* title;
    const char* helpTopic;
    uint32_t bits;
    SettingsPageFactory create;
};
const std::vector<SettingsPageRow>& SettingsPageRows();

// Opens the sheet over the main window (or raises the open one) and returns at once.
SettingsSheet* ShowSettingsSheet(QWidget* owner, const QString& helpPath);
// The open sheet, if any.
SettingsSheet* CurrentSettingsSheet();

// What OK sends, given the working copies, the copies taken at open and the desktop's
// current copies. A record is sent only when the user changed it. What the services
// changed in their records while the sheet was open (the BINL thread's boot-program flags
// and sizes, the running services, the working directory) is kept.
struct SheetStore {
    bool sendSettings = false;
    bool sendDhcp = false;
    GlobalSettings settings{};
    DhcpSettings dhcp{};
};
SheetStore PrepareSheetStore(const SheetCopies& copies, const GlobalSettings& liveSettings,
                             const DhcpSettings& liveDhcp);

// Whether a DHCP record holds settings read from the INI file (an all-zero record does not).
bool DhcpRecordLoaded(const DhcpSettings& record);

inline constexpr const char* kMsgRestart = "Saving new settings...\nPlease close and restart Nimbo.";
