// The HTTP, FTP, DNS, SNTP and SYSLOG pages of the settings sheet.
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "settings_page.h"
#include "settings_sheet.h"

namespace {

using BindField = char (GlobalSettings::*)[16];

// A page with only a service switch and the bind-address controls (DNS, SNTP).
class SwitchPage : public SettingsPage {
public:
    SwitchPage(SettingsSheet& sheet, const SettingsPageRow& row, int switchId, const QString& switchText,
               int boxId, int listId, BindField bindField, const QString& switchHelp)
        : SettingsPage(sheet, row.title, row.helpTopic, row.bits), bindField_(bindField)
    {
        auto* grid = new QGridLayout(this);
        switch_ = add(switchId, new QCheckBox(switchText, this));
        bind_ = addBind(boxId, QString("Bind %1 to this address  ->").arg(row.title), listId, row.title);
        grid->addWidget(switch_, 0, 0, 1, 2);
        grid->addWidget(bind_.box, 1, 0);
        grid->addWidget(bind_.list, 1, 1);
        grid->setRowStretch(2, 1);
        connectServiceSwitch(switch_);
        setHelpText({switchId}, switchHelp);
    }
    void load() override
    {
        switch_->setChecked((static_cast<uint32_t>(settings().NIMBO_Services) & ownBits()) != 0);
        loadBind(bind_, offsetField(), 16);
    }
    bool store() override
    {
        storeServiceBit(ownBits(), switch_->isChecked());
        storeBind(bind_, offsetField(), 16);
        return true;
    }
    void updateEnabled() override { enableBind(bind_, switch_->isChecked()); }

private:
    char* offsetField() const { return settings().*bindField_; }
    BindField    bindField_;
    QCheckBox*   switch_ = nullptr;
    BindControls bind_;
};

const SettingsPageRow& Row(const char* title)
{
    for (const SettingsPageRow& row : SettingsPageRows())
        if (QString(row.title) == title)
            return row;
    return SettingsPageRows().front();
}

}  // namespace

SettingsPage* CreateDnsPage(SettingsSheet& sheet)
{
    return new SwitchPage(sheet, Row("DNS"), 1139, "DNS Server", 1021, 1033, &GlobalSettings::DNS_LocalIP,
                          "It turns the DNS Server on and off\n\n"
                          "Names are resolved with getaddrinfo, which looks in the hosts file (/etc/hosts) or in the\n"
                          "host databases the system is configured to use; filling those files makes the DNS service\n"
                          "propagate the entries");
}

SettingsPage* CreateSntpPage(SettingsSheet& sheet)
{
    return new SwitchPage(sheet, Row("SNTP"), 1138, "SNTP server", 1006, 1014, &GlobalSettings::SNTP_LocalIP,
                          "It turns the SNTP Server on and off");
}

SettingsPage* CreateHttpPage(SettingsSheet& sheet)
{
    return new SwitchPage(sheet, Row("HTTP"), 1005, "HTTP Server", 1022, 1034, &GlobalSettings::HTTP_LocalIP,
                          "It turns the HTTP Server on and off");
}

SettingsPage* CreateFtpPage(SettingsSheet& sheet)
{
    return new SwitchPage(sheet, Row("FTP"), 1140, "FTP Server", 1015, 1020, &GlobalSettings::FTP_LocalIP,
                          "It turns the FTP Server on and off");
}

SettingsPage* CreateSyslogPage(SettingsSheet& sheet)
{
    return new SwitchPage(sheet, Row("SYSLOG"), 1137, "SYSLOG Server", 1217, 1219, &GlobalSettings::SYS_LOGLocalIP,
                          "It turns the SYSLOG Server on and off");
}
