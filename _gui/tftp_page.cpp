// The TFTP page of the settings sheet.
#include <QLabel>
#include <QVBoxLayout>

#include "settings_page.h"
#include "settings_sheet.h"

namespace {

class TftpPage : public SettingsPage {
public:
    explicit TftpPage(SettingsSheet& sheet)
        : SettingsPage(sheet, "TFTP", "::/Using_Nimbo/Settings.html#TFTP", SVC_TFTP_SERVER | SVC_TFTP_CLIENT)
    {
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(new QLabel("TFTP", this));
    }
    void load() override {}
    bool store() override { return true; }
};

}  // namespace

SettingsPage* CreateTftpPage(SettingsSheet& sheet) { return new TftpPage(sheet); }
