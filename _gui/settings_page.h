// The settings sheet's working copies and what every page of it shares: loading when the
// page becomes active, validating and storing when it is left, the service switch, the
// bind-address controls, folder fields, checks when a field loses the focus and the
// balloons that carry messages and help texts.
#pragma once
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "_gui/control_ids.h"
#include "_services/dhcp/dhcp_records.h"
#include "_services/host_records.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class SettingsSheet;

// The sheet's private copies of the two settings records. Pages read and write only
// settings and dhcp; the copies taken at open tell what the user changed, whatever the
// services did to their own records meanwhile.
struct SheetCopies {
    GlobalSettings settings{};
    DhcpSettings dhcp{};
    GlobalSettings settingsAtOpen{};
    DhcpSettings dhcpAtOpen{};
};

// Shared messages.
inline constexpr const char* kMsgOneService = "At least one service has to be checked";
inline constexpr const char* kMsgNoDirectory = "Directory doesn't exist";
inline constexpr const char* kMsgPort = "Parameter has to be a numeric value between 1 and 65535 ";

// ---- pure helpers (no widgets) ----

// Leading decimal integer of a text (blanks and a sign allowed); false when there is none.
bool ParseLeadingInt(const std::string& text, long long* value);
// "low:high" or "low-high" (blanks allowed around the numbers).
bool ParsePortPair(const std::string& text, long long* low, long long* high);
// A folder text as stored: an empty text stays empty, any other gets a trailing '/'
// unless it ends with '/' or '\'. Nothing when the result does not fit `size` bytes with
// its NUL.
bool FolderFieldText(const std::string& text, size_t size, std::string* out);
// NUL-terminated copy into a fixed field (cut at size - 1, rest zeroed).
void CopyToField(char* field, size_t size, const std::string& text);
std::string FieldText(const char* field, size_t size);
template <size_t N>
std::string FieldText(const char (&field)[N])
{
    return FieldText(field, N);
}
template <size_t N>
void CopyToField(char (&field)[N], const std::string& text)
{
    CopyToField(field, N, text);
}
// Dotted texts of the host's addresses (network byte order), as the hidden address list of
// the main window holds them.
QStringList HostAddressTexts();

// Empties target, copies every entry of source (at most 127 characters each) and selects
// the entry whose whole text equals `select`, else the first entry.
void CopyComboItems(const QStringList& source, QComboBox* target, const QString& select);

// One page of the sheet. A page builds its controls in its constructor, naming each one
// "ctl<id>" through add() so that tests and help texts find them by id.
class SettingsPage : public QWidget {
    Q_OBJECT
public:
    SettingsPage(SettingsSheet& sheet, const QString& title, const QString& helpTopic, uint32_t ownBits);

    const QString& title() const { return title_; }
    const QString& helpTopic() const { return helpTopic_; }
    uint32_t ownBits() const { return ownBits_; }

    // The page becomes active: load every control from the working copies.
    virtual void load() = 0;
    // The page is left (or OK): store the controls into the working copies and validate in
    // the page's order. The first failure shows its balloon (fail()) and returns false, which
    // keeps the page.
    virtual bool store() = 0;
    // The sheet is cancelled.
    virtual void cancel() {}
    // Enables the controls after the switches (called after load and on every switch click).
    virtual void updateEnabled() {}
    // Help text of a control (empty: none). The default looks up setHelpText's table.
    virtual QString helpText(QWidget* control) const;
    // Shows a control's help text as a balloon at it (nothing for controls without one).
    void showHelpFor(QWidget* control);

    QWidget* control(int id) const;
    template <class W>
    W* controlAs(int id) const
    {
        return qobject_cast<W*>(control(id));
    }
    SettingsSheet& sheet() const { return sheet_; }
    GlobalSettings& settings() const;
    DhcpSettings& dhcp() const;

    // Balloon at a control (no title, no icon), focus moved there; returns false.
    bool fail(QWidget* control, const QString& message);

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

    // Names the widget "ctl<id>" and records it.
    template <class W>
    W* add(int id, W* w)
    {
        registerControl(id, w);
        return w;
    }
    void setHelpText(std::initializer_list<int> ids, const QString& text);
    // A static text with an id (help texts may name it).
    QLabel* addLabel(int id, const QString& text);
    // A push button with an id.
    QPushButton* addButton(int id, const QString& text);

    // Checks a text field when it loses the focus, unless the focus went to the sheet's
    // Cancel button, out of the sheet, or to `ownBrowse`. check() shows its own balloon
    // through fail() and returns false; the focus then returns to the field.
    void addFocusCheck(QLineEdit* field, std::function<bool()> check, QWidget* ownBrowse = nullptr);

    // Service switch: unchecking it while othersOn() is false and no service bit of the
    // working mask outside the page's own bits and BINL is set checks it again with the
    // balloon; every click then runs updateEnabled().
    void connectServiceSwitch(
        QCheckBox* sw, std::function<bool()> othersOn = [] { return false; });
    // Sets or clears one service bit of the working mask.
    void storeServiceBit(uint32_t bit, bool on);

    // The bind check box and its address list. The help text names the service.
    struct BindControls {
        QCheckBox* box = nullptr;
        QComboBox* list = nullptr;
    };
    BindControls addBind(int boxId, const QString& label, int listId, const QString& service);
    void loadBind(const BindControls& b, const char* field, size_t size);
    // Stores the list's text (at most 15 characters) when the box is checked, else empty.
    void storeBind(const BindControls& b, char* field, size_t size);
    // Enables the box (and the list, when the box is checked) when `on`.
    void enableBind(const BindControls& b, bool on);

    // A folder field, limited to its field size - 2 so that the separator still fits.
    QLineEdit* addFolderField(int id, size_t fieldSize);
    // Stores a folder field: with mustExist a text that is not an existing folder fails with
    // "Directory doesn't exist"; an empty text is stored empty.
    bool storeFolder(QLineEdit* field, char* out, size_t size, bool mustExist);
    // Focus-out check of a folder field: a non-empty text that is not an existing folder.
    bool checkFolderExists(QLineEdit* field);

    // A number field: value in [low, high] or fail(message).
    bool storeNumber(QLineEdit* field, int32_t* out, long long low, long long high, const QString& message);

private:
    void registerControl(int id, QWidget* w);

    SettingsSheet& sheet_;
    QString title_;
    QString helpTopic_;
    uint32_t ownBits_;
    std::map<int, QWidget*> controls_;
    std::map<QWidget*, QString> help_;
    struct FocusCheck {
        std::function<bool()> check;
        QPointer<QWidget> ownBrowse;
    };
    std::map<QObject*, FocusCheck> focusChecks_;
};

// Page factories, one per page of the sheet (in the order of the sheet).
using SettingsPageFactory = SettingsPage* (*)(SettingsSheet& sheet);
SettingsPage* CreateHttpPage(SettingsSheet& sheet);
SettingsPage* CreateFtpPage(SettingsSheet& sheet);
SettingsPage* CreateTftpPage(SettingsSheet& sheet);
SettingsPage* CreateDhcpPage(SettingsSheet& sheet);
SettingsPage* CreateDnsPage(SettingsSheet& sheet);
SettingsPage* CreateSntpPage(SettingsSheet& sheet);
SettingsPage* CreateSyslogPage(SettingsSheet& sheet);
