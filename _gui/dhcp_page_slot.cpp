// The DHCP page's place in the settings sheet until the page itself is built: an empty page
// that keeps the working DHCP copy as it is.
#include <QLabel>
#include <QVBoxLayout>

#include "settings_page.h"

namespace {

class DhcpSlotPage : public SettingsPage {
public:
    explicit DhcpSlotPage(SettingsSheet& sheet)
        : SettingsPage(sheet, "DHCP", "::/Using_Nimbo/Settings.html#DHCP", SVC_DHCP | SVC_PDHCP | SVC_BINL)
    {
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(new QLabel("DHCP", this));
        layout->addStretch(1);
    }
    void load() override {}
    bool store() override { return true; }
};

}  // namespace

SettingsPage* CreateDhcpPage(SettingsSheet& sheet) { return new DhcpSlotPage(sheet); }
