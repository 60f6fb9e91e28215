// The HTTP, FTP, DNS, SNTP and SYSLOG pages of the settings sheet.
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "_gui/pickers.h"
#include "_gui/settings_page.h"
#include "_gui/settings_sheet.h"

namespace {

using BindField = char (GlobalSettings::*)[16];

constexpr const char* kMsgFtpPool =
    "Parameter has to be expressed as P_low : P_high\nwhere P_low & P_high are numeric values between\n"
    "1 and 65535 verifying that P_low < P_high";
constexpr const char* kMsgFtpNobody =
    "Service enabled with Anonymous browsing \ndisabled and registered users not defined";

const SettingsPageRow& Row(const char* title)
{
    for (const SettingsPageRow& row : SettingsPageRows())
        if (QString(row.title) == title)
            return row;
    return SettingsPageRows().front();
}

QString SwitchHelp(const QString& service) { return QString("It turns the %1 Server on and off").arg(service); }

// What every service page has: its switch (first row) and the bind controls (second row).
class ServicePage : public SettingsPage {
public:
    ServicePage(SettingsSheet& sheet, const char* title, int switchId, const QString& switchText, int boxId, int listId,
                BindField bindField)
        : SettingsPage(sheet, Row(title).title, Row(title).helpTopic, Row(title).bits), bindField_(bindField)
    {
        grid_ = new QGridLayout(this);
        switch_ = add(switchId, new QCheckBox(switchText, this));
        bind_ = addBind(boxId, QString("Bind %1 to this address  ->").arg(title), listId, title);
        grid_->addWidget(switch_, 0, 0, 1, 3);
        grid_->addWidget(bind_.box, 1, 0, 1, 2);
        grid_->addWidget(bind_.list, 1, 2);
        connectServiceSwitch(switch_);
        setHelpText({switchId}, SwitchHelp(title));
    }
    void load() override
    {
        switch_->setChecked((static_cast<uint32_t>(settings().NIMBO_Services) & ownBits()) != 0);
        loadBind(bind_, settings().*bindField_, 16);
    }
    // The switch's bit and the bind address.
    bool store() override
    {
        storeServiceBit(ownBits(), switch_->isChecked());
        storeBind(bind_, settings().*bindField_, 16);
        return true;
    }
    void updateEnabled() override
    {
        const bool on = switch_->isChecked();
        enableBind(bind_, on);
        for (QWidget* w : dependents_)
            w->setEnabled(on);
    }

protected:
    bool on() const { return switch_->isChecked(); }
    // A row of the page's grid: label (may be null), field, optional button.
    void addRow(QWidget* label, QWidget* field, QWidget* button = nullptr)
    {
        const int row = grid_->rowCount();
        if (label) {
            grid_->addWidget(label, row, 0);
            grid_->addWidget(field, row, 1, 1, button ? 1 : 2);
        } else {
            grid_->addWidget(field, row, 0, 1, button ? 2 : 3);
        }
        if (button)
            grid_->addWidget(button, row, 2);
        for (QWidget* w : {label, field, button})
            if (w)
                dependents_.push_back(w);
    }
    void finishLayout() { grid_->setRowStretch(grid_->rowCount(), 1); }
    // A Browse button that opens the folder picker on the field and gives the focus back to it.
    void connectFolderBrowse(QPushButton* browse, QLineEdit* field, const QString& title)
    {
        connect(browse, &QPushButton::clicked, this, [this, field, title] {
            QString path = field->text();
            // A folder whose text would not fit the field is not taken (the field would cut it).
            if (PickFolder(&sheet(), title, &path, &pickerPlace_) && path.toLocal8Bit().size() <= field->maxLength())
                field->setText(path);
            field->setFocus(Qt::OtherFocusReason);
        });
    }
    bool checkPort(QLineEdit* field)
    {
        long long v = 0;
        if (!ParseLeadingInt(field->text().toStdString(), &v) || v < 1 || v > 65535)
            return fail(field, kMsgPort);
        return true;
    }

    QCheckBox* switch_ = nullptr;
    BindControls bind_;
    QRect pickerPlace_;
    std::vector<QWidget*> dependents_;  // enabled with the switch

private:
    BindField bindField_;
    QGridLayout* grid_ = nullptr;
};

// ---- HTTP ----

class HttpPage : public ServicePage {
public:
    explicit HttpPage(SettingsSheet& sheet)
        : ServicePage(sheet, "HTTP", CTL_HTTP_SWITCH, "HTTP Server", CTL_HTTP_BIND, CTL_HTTP_BIND_LIST,
                      &GlobalSettings::HTTP_LocalIP)
    {
        browsing_ = add(CTL_HTTP_BROWSING, new QCheckBox("Allow File Browsing", this));
        truncate_ = add(CTL_HTTP_TRUNCATE, new QCheckBox("Truncate GET File Names longer than 64 char", this));
        page_ = add(CTL_HTTP_DEFAULT_PAGE, new QLineEdit(this));
        page_->setMaxLength(static_cast<int>(sizeof(GlobalSettings::HTTP_DefaultPage)) - 1);
        port_ = add(CTL_HTTP_PORT, new QLineEdit(this));
        root_ = addFolderField(CTL_HTTP_ROOT, sizeof(GlobalSettings::HTTP_RootDir));
        auto* browse = addButton(CTL_HTTP_BROWSE, "&Browse");
        addRow(nullptr, browsing_);
        addRow(nullptr, truncate_);
        addRow(addLabel(CTL_HTTP_DEFAULT_PAGE_LABEL, "Default Page"), page_);
        addRow(addLabel(CTL_HTTP_PORT_LABEL, "HTTP port"), port_);
        addRow(addLabel(CTL_HTTP_ROOT_LABEL, "Root directory"), root_, browse);
        finishLayout();
        connectFolderBrowse(browse, root_, "Looking for: HTTP Server root directory");
        addFocusCheck(port_, [this] { return checkPort(port_); });
        addFocusCheck(
            root_, [this] { return checkFolderExists(root_); }, browse);
        setHelpText({CTL_HTTP_TRUNCATE},
                    "It additionally looks for a resource with its name truncated to the\n"
                    "ISO9660-Joliet 64 characters limit if the resource's original filename\n"
                    "was longer than 64 characters and not found on the first try.\n"
                    "Workaround used when offering ISO9660+Rock Ridge+Joliet ISOs\n"
                    "to apps expecting Rock Ridge long filenames.\ni.e. some Linux distributions");
        setHelpText({CTL_HTTP_DEFAULT_PAGE_LABEL, CTL_HTTP_DEFAULT_PAGE},
                    "Filename appended by default to all the requested\nURLs that do not include a resource name");
        setHelpText({CTL_HTTP_PORT_LABEL, CTL_HTTP_PORT}, "The port used to listen to incoming requests ");
        setHelpText({CTL_HTTP_BROWSING}, "It allows browsing the server's directory structure");
        setHelpText({CTL_HTTP_ROOT}, "Top-level directory from where the service offers its resources");
    }
    void load() override
    {
        ServicePage::load();
        const GlobalSettings& s = settings();
        browsing_->setChecked(s.HTTP_AllowFileBrowsing != 0);
        truncate_->setChecked(s.HTTP_TruncateGETFileName64 != 0);
        page_->setText(QString::fromLocal8Bit(FieldText(s.HTTP_DefaultPage)));
        port_->setText(QString::number(s.HTTP_Port));
        root_->setText(QString::fromLocal8Bit(FieldText(s.HTTP_RootDir)));
    }
    bool store() override
    {
        ServicePage::store();
        GlobalSettings& s = settings();
        s.HTTP_AllowFileBrowsing = browsing_->isChecked() ? 1 : 0;
        s.HTTP_TruncateGETFileName64 = truncate_->isChecked() ? 1 : 0;
        CopyToField(s.HTTP_DefaultPage, page_->text().toStdString());
        if (!storeNumber(port_, &s.HTTP_Port, 1, 65535, kMsgPort))
            return false;
        return storeFolder(root_, s.HTTP_RootDir, sizeof s.HTTP_RootDir, on());
    }

private:
    QCheckBox* browsing_;
    QCheckBox* truncate_;
    QLineEdit* page_;
    QLineEdit* port_;
    QLineEdit* root_;
};

// ---- FTP ----

class FtpPage : public ServicePage {
public:
    explicit FtpPage(SettingsSheet& sheet)
        : ServicePage(sheet, "FTP", CTL_FTP_SWITCH, "FTP Server", CTL_FTP_BIND, CTL_FTP_BIND_LIST,
                      &GlobalSettings::FTP_LocalIP)
    {
        anonymous_ = add(CTL_FTP_ANONYMOUS, new QCheckBox("Anonymous", this));
        addRow(nullptr, anonymous_);
        // Per user: label, name, password.
        static const int kIds[3][3] = {{CTL_FTP_USER1_LABEL, CTL_FTP_USER1_NAME, CTL_FTP_USER1_PASSWORD},
                                       {CTL_FTP_USER2_LABEL, CTL_FTP_USER2_NAME, CTL_FTP_USER2_PASSWORD},
                                       {CTL_FTP_USER3_LABEL, CTL_FTP_USER3_NAME, CTL_FTP_USER3_PASSWORD}};
        static const char* const kOrdinal[3] = {"1st", "2nd", "3rd"};
        for (int i = 0; i < 3; ++i) {
            names_[i] = add(kIds[i][1], new QLineEdit(this));
            passwords_[i] = add(kIds[i][2], new QLineEdit(this));
            passwords_[i]->setEchoMode(QLineEdit::Password);
            for (QLineEdit* f : {names_[i], passwords_[i]})
                f->setMaxLength(255);
            addRow(addLabel(kIds[i][0], QString("User %1").arg(i + 1)), names_[i], passwords_[i]);
            setHelpText({kIds[i][1]}, QString("Name of the %1 Registered user").arg(kOrdinal[i]));
            setHelpText({kIds[i][2]}, QString("Password of the %1 Registered user. Please consider user names and\n"
                                              "passwords are saved in Nimbo.ini as plain text")
                                          .arg(kOrdinal[i]));
        }
        anonRoot_ = addFolderField(CTL_FTP_ANON_ROOT, sizeof(GlobalSettings::FTP_AnonymousRootDirectory));
        auto* anonBrowse = addButton(CTL_FTP_ANON_BROWSE, "&Browse");
        regRoot_ = addFolderField(CTL_FTP_USERS_ROOT, sizeof(GlobalSettings::FTP_RegiteredRootDirectory));
        auto* regBrowse = addButton(CTL_FTP_USERS_BROWSE, "B&rowse");
        port_ = add(CTL_FTP_PORT, new QLineEdit(this));
        pool_ = add(CTL_FTP_POOL, new QLineEdit(this));
        addRow(addLabel(CTL_FTP_ANON_ROOT_LABEL, "Anonymous root"), anonRoot_, anonBrowse);
        addRow(addLabel(CTL_FTP_USERS_ROOT_LABEL, "Registered users root"), regRoot_, regBrowse);
        addRow(addLabel(CTL_FTP_PORT_LABEL, "FTP port"), port_);
        addRow(addLabel(CTL_FTP_POOL_LABEL, "Local ports pool"), pool_);
        finishLayout();
        connectFolderBrowse(anonBrowse, anonRoot_, "Looking for: FTP Server Anonymous user root directory");
        connectFolderBrowse(regBrowse, regRoot_, "Looking for: FTP Server Registered user root directory");
        addFocusCheck(
            anonRoot_, [this] { return checkFolderExists(anonRoot_); }, anonBrowse);
        addFocusCheck(
            regRoot_, [this] { return checkFolderExists(regRoot_); }, regBrowse);
        addFocusCheck(pool_, [this] { return checkPool(nullptr, nullptr); });
        addFocusCheck(port_, [this] { return checkPort(port_); });
        setHelpText({CTL_FTP_PORT_LABEL, CTL_FTP_PORT}, "The port used to listen to incoming requests ");
        setHelpText({CTL_FTP_ANON_ROOT},
                    "Top-level directory from where the FTP service\noffers its resources to Anonymous users");
        setHelpText({CTL_FTP_USERS_ROOT},
                    "Top-level directory from where the FTP service\noffers its resources to Registered users");
        setHelpText({CTL_FTP_POOL_LABEL, CTL_FTP_POOL},
                    "Pool of ports used by FTP file transfers. Parameter has to be\n"
                    "expressed as P_low : P_high where P_low & P_high are numeric\n"
                    "values between 1 and 65535 verifying that P_low < P_high");
        setHelpText({CTL_FTP_ANONYMOUS}, "It allows Anonymous log-in ");
    }
    void load() override
    {
        ServicePage::load();
        const GlobalSettings& s = settings();
        anonymous_->setChecked(s.FTP_Anonymous != 0);
        const char* const names[3] = {s.FTP_Usr1Name, s.FTP_Usr2Name, s.FTP_Usr3Name};
        const char* const passwords[3] = {s.FTP_Usr1Pass, s.FTP_Usr2Pass, s.FTP_Usr3Pass};
        for (int i = 0; i < 3; ++i) {
            names_[i]->setText(QString::fromLocal8Bit(FieldText(names[i], 32)));
            passwords_[i]->setText(QString::fromLocal8Bit(FieldText(passwords[i], 32)));
        }
        anonRoot_->setText(QString::fromLocal8Bit(FieldText(s.FTP_AnonymousRootDirectory)));
        regRoot_->setText(QString::fromLocal8Bit(FieldText(s.FTP_RegiteredRootDirectory)));
        port_->setText(QString::number(s.FTP_Port));
        const bool valid =
            s.FTP_LowestDataPort >= 1 && s.FTP_HighestDataPort <= 65535 && s.FTP_LowestDataPort < s.FTP_HighestDataPort;
        pool_->setText(valid ? QString("%1:%2").arg(s.FTP_LowestDataPort).arg(s.FTP_HighestDataPort) : QString());
    }
    bool store() override
    {
        ServicePage::store();
        GlobalSettings& s = settings();
        s.FTP_Anonymous = anonymous_->isChecked() ? 1 : 0;
        char* const names[3] = {s.FTP_Usr1Name, s.FTP_Usr2Name, s.FTP_Usr3Name};
        char* const passwords[3] = {s.FTP_Usr1Pass, s.FTP_Usr2Pass, s.FTP_Usr3Pass};
        bool anyUser = false;
        for (int i = 0; i < 3; ++i) {
            const std::string name = names_[i]->text().toStdString();
            const std::string password = passwords_[i]->text().toStdString();
            if (name.size() > 31)
                return fail(names_[i], "User name has to be smaller than 32 chars");
            CopyToField(names[i], 32, name);
            if (password.size() > 31)
                return fail(passwords_[i], "Password has to be smaller than 32 chars");
            CopyToField(passwords[i], 32, password);
            anyUser = anyUser || !name.empty();
        }
        if (!storeFolder(anonRoot_, s.FTP_AnonymousRootDirectory, sizeof s.FTP_AnonymousRootDirectory,
                         on() && anonymous_->isChecked()))
            return false;
        if (!storeFolder(regRoot_, s.FTP_RegiteredRootDirectory, sizeof s.FTP_RegiteredRootDirectory, on() && anyUser))
            return false;
        if (!storeNumber(port_, &s.FTP_Port, 1, 65535, kMsgPort))
            return false;
        if (!checkPool(&s.FTP_LowestDataPort, &s.FTP_HighestDataPort))
            return false;
        if (on() && !anyUser && !anonymous_->isChecked())
            return fail(switch_, kMsgFtpNobody);
        return true;
    }

private:
    bool checkPool(int32_t* low, int32_t* high)
    {
        long long lo = 0, hi = 0;
        if (!ParsePortPair(pool_->text().toStdString(), &lo, &hi) || lo < 1 || hi > 65535 || lo >= hi)
            return fail(pool_, kMsgFtpPool);
        if (low && high) {
            *low = static_cast<int32_t>(lo);
            *high = static_cast<int32_t>(hi);
        }
        return true;
    }

    QCheckBox* anonymous_;
    QLineEdit* names_[3];
    QLineEdit* passwords_[3];
    QLineEdit* anonRoot_;
    QLineEdit* regRoot_;
    QLineEdit* port_;
    QLineEdit* pool_;
};

// ---- SYSLOG ----

class SyslogPage : public ServicePage {
public:
    explicit SyslogPage(SettingsSheet& sheet)
        : ServicePage(sheet, "SYSLOG", CTL_SYSLOG_SWITCH, "SYSLOG Server", CTL_SYSLOG_BIND, CTL_SYSLOG_BIND_LIST,
                      &GlobalSettings::SYS_LOGLocalIP)
    {
        pipe_ = add(CTL_SYSLOG_PIPE, new QCheckBox("Forward msg to pipe NimboSyslog", this));
        save_ = add(CTL_SYSLOG_SAVE, new QCheckBox("Save msg to file", this));
        file_ = add(CTL_SYSLOG_FILE, new QLineEdit(this));
        file_->setMaxLength(static_cast<int>(sizeof(GlobalSettings::SYSLOG_SaveLogToFile)) - 1);
        browse_ = addButton(CTL_SYSLOG_BROWSE, "&Browse");
        addRow(nullptr, pipe_);
        addRow(save_, file_, browse_);
        finishLayout();
        connect(save_, &QCheckBox::toggled, this, [this] { updateEnabled(); });
        connect(browse_, &QPushButton::clicked, this, [this] {
            QString path = file_->text();
            if (PickLogFile(&this->sheet(), "Looking for: SYSLOG log file", &path, &pickerPlace_))
                file_->setText(path);
            file_->setFocus(Qt::OtherFocusReason);
        });
        setHelpText({CTL_SYSLOG_SAVE, CTL_SYSLOG_FILE},
                    "Each valid received message is time stamped and saved into the designated file");
        setHelpText({CTL_SYSLOG_PIPE},
                    "Each valid received message is forwarded into the named pipe NimboSyslog.\n"
                    "This way some other application can also receive SYSLOG notifications");
    }
    void load() override
    {
        ServicePage::load();
        const GlobalSettings& s = settings();
        pipe_->setChecked(s.SYSLOG_ForwardLogToPipe != 0);
        const QString file = QString::fromLocal8Bit(FieldText(s.SYSLOG_SaveLogToFile));
        save_->setChecked(!file.isEmpty());
        file_->setText(file);
    }
    bool store() override
    {
        ServicePage::store();
        GlobalSettings& s = settings();
        s.SYSLOG_ForwardLogToPipe = pipe_->isChecked() ? 1 : 0;
        CopyToField(s.SYSLOG_SaveLogToFile, save_->isChecked() ? file_->text().toStdString() : std::string());
        return true;
    }
    void updateEnabled() override
    {
        ServicePage::updateEnabled();
        file_->setEnabled(on() && save_->isChecked());
        browse_->setEnabled(on() && save_->isChecked());
    }

private:
    QCheckBox* pipe_;
    QCheckBox* save_;
    QLineEdit* file_;
    QPushButton* browse_;
};

// ---- DNS, SNTP: the switch and the bind address ----

class SwitchOnlyPage : public ServicePage {
public:
    SwitchOnlyPage(SettingsSheet& sheet, const char* title, int switchId, const QString& text, int boxId, int listId,
                   BindField field, const QString& extraHelp)
        : ServicePage(sheet, title, switchId, text, boxId, listId, field)
    {
        finishLayout();
        if (!extraHelp.isEmpty())
            setHelpText({switchId}, SwitchHelp(title) + extraHelp);
    }
};

}  // namespace

SettingsPage* CreateHttpPage(SettingsSheet& sheet) { return new HttpPage(sheet); }
SettingsPage* CreateFtpPage(SettingsSheet& sheet) { return new FtpPage(sheet); }
SettingsPage* CreateSyslogPage(SettingsSheet& sheet) { return new SyslogPage(sheet); }

SettingsPage* CreateDnsPage(SettingsSheet& sheet)
{
    // The switch's help also says where the names come from.
    return new SwitchOnlyPage(sheet, "DNS", CTL_DNS_SWITCH, "DNS Server", CTL_DNS_BIND, CTL_DNS_BIND_LIST,
                              &GlobalSettings::DNS_LocalIP,
                              "\n\nNames are resolved with getaddrinfo, which looks in the hosts file (/etc/hosts)\n"
                              "or in the other host databases the system is set up to use (/etc/nsswitch.conf).\n"
                              "Filling those files makes the DNS service propagate the entries");
}

SettingsPage* CreateSntpPage(SettingsSheet& sheet)
{
    return new SwitchOnlyPage(sheet, "SNTP", CTL_SNTP_SWITCH, "SNTP Server", CTL_SNTP_BIND, CTL_SNTP_BIND_LIST,
                              &GlobalSettings::SNTP_LocalIP, QString());
}
