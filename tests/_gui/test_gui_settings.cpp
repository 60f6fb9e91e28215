// The settings sheet and its pages, the pickers and the About dialog, against the scripted
// service end.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStyle>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <span>
#include <string>
#include <unistd.h>

#include "_gui/about_dialog.h"
#include "_gui/balloon.h"
#include "_gui/pickers.h"
#include "_gui/settings_page.h"
#include "_gui/settings_sheet.h"
#include "_services/host_info.h"
#include "_services/settings.h"
#include "tests/_gui/console_fixture.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr uint32_t kAllButDhcp = 0x1 | 0x2 | 0x8 | 0x10 | 0x20 | 0x40 | 0x80;

QString BalloonText()
{
    BalloonWindow* b = CurrentBalloon();
    return b ? b->text() : QString();
}

class GuiSettingsTest : public ConsoleWindowFixture {
protected:
    void SetUp() override
    {
        ConsoleWindowFixture::SetUp();
        ASSERT_TRUE(root.isValid());
        rootText = root.path().toStdString() + "/";
        GlobalSettings& s = fake.settings;
        s = DefaultGlobalSettings();
        s.NIMBO_Services = kAllButDhcp;
        CopyToField(s.TFTP_RootDirectory, rootText);
        CopyToField(s.HTTP_RootDir, rootText);
        CopyToField(s.FTP_AnonymousRootDirectory, rootText);
        CopyToField(s.FTP_RegiteredRootDirectory, rootText);
        CopyToField(s.FTP_Usr1Name, "alice");
        CopyToField(s.FTP_Usr1Pass, "secret");
        CopyToField(s.DNS_LocalIP, "192.168.0.2");
        CopyToField(s.SYSLOG_SaveLogToFile, rootText + "syslog.log");
        s.HTTP_Port = 8080;
        s.TFTP_LowestUDPPort = 2000;
        s.TFTP_HighestUDPPort = 2100;
        DhcpSettings d{};
        CopyToField(d.DHCP_IP_Pool, "10.0.0.100");
        d.DHCP_PoolSize = 20;
        d.DHCP_LeaseTime = 600;
        std::memcpy(fake.dhcp.data(), &d, sizeof d);
    }
    void TearDown() override
    {
        BalloonClose();
        ConsoleWindowFixture::TearDown();
    }
    // Opens the sheet once the answer to its request for the DHCP record has arrived.
    SettingsSheet* Open()
    {
        // The main window shows itself a moment after it is made.
        EXPECT_TRUE(QTest::qWaitFor([&] { return window->isVisible(); }, 5000));
        const size_t asked = fake.Payloads(REQ_SEND_DHCP_SETTINGS).size();
        SettingsSheet* sheet = ShowSettingsSheet(window.get(), "/nonexistent/Nimbo.chm");
        sheet->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(sheet));
        EXPECT_TRUE(QTest::qWaitFor([&] { return fake.Payloads(REQ_SEND_DHCP_SETTINGS).size() > asked; }, 5000));
        QTest::qWait(100);
        return sheet;
    }
    int IndexOf(SettingsSheet* sheet, const QString& title)
    {
        for (int i = 0; i < sheet->pageCount(); ++i)
            if (sheet->page(i)->title() == title)
                return i;
        return -1;
    }
    SettingsPage* Go(SettingsSheet* sheet, const QString& title)
    {
        EXPECT_TRUE(sheet->setCurrentPage(IndexOf(sheet, title))) << title.toStdString();
        return sheet->currentPage();
    }
    size_t Stores(uint32_t id) { return fake.Payloads(id).size(); }

    QTemporaryDir root;
    std::string rootText;
};

template <class W>
W* Ctl(SettingsPage* page, int id)
{
    W* w = page->controlAs<W>(id);
    EXPECT_NE(w, nullptr) << id;
    return w;
}

}  // namespace

TEST(SettingsHelpers, TextsPortsAndFolders)
{
    long long lo = 0, hi = 0;
    EXPECT_TRUE(ParsePortPair("2000:2100", &lo, &hi));
    EXPECT_EQ(lo, 2000);
    EXPECT_EQ(hi, 2100);
    EXPECT_TRUE(ParsePortPair(" 5 - 9", &lo, &hi));
    EXPECT_EQ(lo, 5);
    EXPECT_EQ(hi, 9);
    for (const char* bad : {"", "5", "a:b", ":5", "5:"})
        EXPECT_FALSE(ParsePortPair(bad, &lo, &hi)) << bad;

    std::string out = "x";
    // An empty folder stays empty: it must not become the file-system root.
    EXPECT_TRUE(FolderFieldText("", 260, &out));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(FolderFieldText("/srv/tftp", 260, &out));
    EXPECT_EQ(out, "/srv/tftp/");
    EXPECT_TRUE(FolderFieldText("/srv/tftp/", 260, &out));
    EXPECT_EQ(out, "/srv/tftp/");
    EXPECT_TRUE(FolderFieldText(std::string(258, 'a'), 260, &out));
    EXPECT_EQ(out.size(), 259u);
    EXPECT_FALSE(FolderFieldText(std::string(259, 'a'), 260, &out));

    EnsureQtApp();
    QComboBox combo;
    CopyComboItems({"10.0.0.1", "192.168.0.2", QString(200, 'x')}, &combo, "192.168.0.2");
    EXPECT_EQ(combo.count(), 3);
    EXPECT_EQ(combo.currentText(), "192.168.0.2");
    EXPECT_EQ(combo.itemText(2).size(), 127);
    // Only a whole match selects; otherwise the first entry.
    CopyComboItems({"10.0.0.1", "192.168.0.2"}, &combo, "192.168.0.");
    EXPECT_EQ(combo.currentIndex(), 0);
}

TEST(SettingsHelpers, StoreKeepsWhatTheServicesChangedMeanwhile)
{
    SheetCopies c;
    c.settingsAtOpen.HTTP_Port = 80;
    c.dhcpAtOpen.DHCP_LeaseTime = 600;
    CopyToField(c.dhcpAtOpen.BootFileTable.rows[0].text, "boot.0");
    CopyToField(c.dhcpAtOpen.BootFileTable.rows[1].text, "old.efi");
    c.dhcpAtOpen.BootFileTable.rows[1].present = 1;
    c.settings = c.settingsAtOpen;
    c.dhcp = c.dhcpAtOpen;

    GlobalSettings live = c.settingsAtOpen;
    DhcpSettings liveDhcp = c.dhcpAtOpen;
    // Nothing changed by the user: nothing is sent, whatever the services did.
    live.RunningServices = 0x7001;
    liveDhcp.BootFileTable.rows[0].present = 1;
    SheetStore out = PrepareSheetStore(c, live, liveDhcp);
    EXPECT_FALSE(out.sendSettings);
    EXPECT_FALSE(out.sendDhcp);

    // The user changes the lease time and replaces row 1; the BINL thread meanwhile found the
    // boot programs of rows 0 and 1 (row 1 for the entry being replaced).
    c.dhcp.DHCP_LeaseTime = 900;
    CopyToField(c.dhcp.BootFileTable.rows[1].text, "new.efi");
    c.dhcp.BootFileTable.rows[1].present = 0;
    liveDhcp.BootFileTable.rows[0].sizeBlocks = 77;
    liveDhcp.BootFileTable.rows[1].sizeBlocks = 55;
    out = PrepareSheetStore(c, live, liveDhcp);
    EXPECT_FALSE(out.sendSettings);
    ASSERT_TRUE(out.sendDhcp);
    EXPECT_EQ(+out.dhcp.DHCP_LeaseTime, 900);
    EXPECT_EQ(+out.dhcp.BootFileTable.rows[0].present, 1u);
    EXPECT_EQ(+out.dhcp.BootFileTable.rows[0].sizeBlocks, 77u);
    EXPECT_STREQ(out.dhcp.BootFileTable.rows[1].text, "new.efi");
    EXPECT_EQ(+out.dhcp.BootFileTable.rows[1].sizeBlocks, 0u);
    EXPECT_EQ(+out.dhcp.BootFileTable.rows[1].present, 0u);

    c.settings.HTTP_Port = 81;
    out = PrepareSheetStore(c, live, liveDhcp);
    EXPECT_TRUE(out.sendSettings);
    EXPECT_EQ(+out.settings.HTTP_Port, 81);
    EXPECT_EQ(+out.settings.RunningServices, 0x7001);
}

TEST_F(GuiSettingsTest, PagesLoadFromTheCopies)
{
    ASSERT_TRUE(OpenWindow(0x5));
    window->systemCommand(SC_SETTINGS);
    SettingsSheet* sheet = CurrentSettingsSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->windowTitle(), "Nimbo Settings");
    QStringList titles;
    for (int i = 0; i < sheet->tabBar()->count(); ++i)
        titles << sheet->tabBar()->tabText(i);
    EXPECT_EQ(titles, QStringList({"HTTP", "FTP", "TFTP", "DHCP", "DNS", "SNTP", "SYSLOG"}));
    EXPECT_EQ(sheet->currentPage()->title(), "HTTP");
    // The sheet asked for the current DHCP record.
    EXPECT_TRUE(WaitForRequest(REQ_SEND_DHCP_SETTINGS));

    SettingsPage* http = sheet->currentPage();
    EXPECT_TRUE(Ctl<QCheckBox>(http, CTL_HTTP_SWITCH)->isChecked());
    EXPECT_EQ(Ctl<QLineEdit>(http, CTL_HTTP_PORT)->text(), "8080");
    EXPECT_EQ(Ctl<QLineEdit>(http, CTL_HTTP_DEFAULT_PAGE)->text(), "index.htm");
    EXPECT_EQ(Ctl<QLineEdit>(http, CTL_HTTP_ROOT)->text().toStdString(), rootText);
    // Room for the separator in the 260-byte field.
    EXPECT_EQ(Ctl<QLineEdit>(http, CTL_HTTP_ROOT)->maxLength(), 258);
    EXPECT_TRUE(Ctl<QCheckBox>(http, CTL_HTTP_TRUNCATE)->isChecked());
    EXPECT_FALSE(Ctl<QCheckBox>(http, CTL_HTTP_BIND)->isChecked());
    EXPECT_FALSE(Ctl<QComboBox>(http, CTL_HTTP_BIND_LIST)->isEnabled());
    EXPECT_EQ(Ctl<QComboBox>(http, CTL_HTTP_BIND_LIST)->count(), 2);

    SettingsPage* ftp = Go(sheet, "FTP");
    EXPECT_EQ(Ctl<QLineEdit>(ftp, CTL_FTP_USER1_NAME)->text(), "alice");
    EXPECT_EQ(Ctl<QLineEdit>(ftp, CTL_FTP_USER1_PASSWORD)->text(), "secret");
    EXPECT_EQ(Ctl<QLineEdit>(ftp, CTL_FTP_PORT)->text(), "21");
    EXPECT_EQ(Ctl<QLineEdit>(ftp, CTL_FTP_POOL)->text(), "49152:51152");
    EXPECT_FALSE(Ctl<QCheckBox>(ftp, CTL_FTP_ANONYMOUS)->isChecked());

    SettingsPage* tftp = Go(sheet, "TFTP");
    EXPECT_TRUE(Ctl<QCheckBox>(tftp, CTL_TFTP_SERVER)->isChecked());
    EXPECT_TRUE(Ctl<QCheckBox>(tftp, CTL_TFTP_CLIENT)->isChecked());
    EXPECT_TRUE(Ctl<QRadioButton>(tftp, CTL_TFTP_SECURITY_READ_ONLY)->isChecked());  // read only (3)
    EXPECT_EQ(Ctl<QLineEdit>(tftp, CTL_TFTP_TIMEOUT)->text(), "3");
    EXPECT_EQ(Ctl<QLineEdit>(tftp, CTL_TFTP_RETRANSMIT)->text(), "6");
    EXPECT_EQ(Ctl<QLineEdit>(tftp, CTL_TFTP_PORT)->text(), "69");
    EXPECT_EQ(Ctl<QLineEdit>(tftp, CTL_TFTP_BLKSIZE)->text(), "1468");
    EXPECT_EQ(Ctl<QLineEdit>(tftp, CTL_TFTP_WINDOWSIZE)->text(), "16");
    EXPECT_EQ(Ctl<QLineEdit>(tftp, CTL_TFTP_POOL)->text(), "2000:2100");
    EXPECT_FALSE(Ctl<QCheckBox>(tftp, CTL_TFTP_ERRSIM)->isChecked());
    EXPECT_FALSE(Ctl<QLineEdit>(tftp, CTL_TFTP_ERRSIM_TEXT)->isEnabled());
    EXPECT_TRUE(Ctl<QCheckBox>(tftp, CTL_TFTP_NEGOTIATION)->isChecked());  // hidden "Option negotiation"
    EXPECT_TRUE(Ctl<QCheckBox>(tftp, CTL_TFTP_NEGOTIATION)->isHidden());

    SettingsPage* dns = Go(sheet, "DHCP") ? Go(sheet, "DNS") : nullptr;
    ASSERT_NE(dns, nullptr);
    EXPECT_TRUE(Ctl<QCheckBox>(dns, CTL_DNS_BIND)->isChecked());
    EXPECT_EQ(Ctl<QComboBox>(dns, CTL_DNS_BIND_LIST)->currentText(), "192.168.0.2");
    EXPECT_TRUE(Ctl<QComboBox>(dns, CTL_DNS_BIND_LIST)->isEnabled());

    SettingsPage* syslog = Go(sheet, "SYSLOG");
    EXPECT_TRUE(Ctl<QCheckBox>(syslog, CTL_SYSLOG_SAVE)->isChecked());
    EXPECT_EQ(Ctl<QLineEdit>(syslog, CTL_SYSLOG_FILE)->text().toStdString(), rootText + "syslog.log");
    Ctl<QCheckBox>(syslog, CTL_SYSLOG_SAVE)->click();
    EXPECT_FALSE(Ctl<QLineEdit>(syslog, CTL_SYSLOG_FILE)->isEnabled());
    EXPECT_FALSE(Ctl<QPushButton>(syslog, CTL_SYSLOG_BROWSE)->isEnabled());
    Ctl<QCheckBox>(syslog, CTL_SYSLOG_SAVE)->click();

    // With NIMBO_SETTINGS_SHOTS set to a folder, every page is saved there as a PNG
    // (tools/screenshot-settings).
    const QString folder = qEnvironmentVariable("NIMBO_SETTINGS_SHOTS");
    if (!folder.isEmpty()) {
        for (int i = 0; i < sheet->pageCount(); ++i) {
            ASSERT_TRUE(sheet->setCurrentPage(i));
            QTest::qWait(100);
            const QString name = QString("%1/settings_%2_%3.png").arg(folder).arg(i).arg(sheet->page(i)->title());
            EXPECT_TRUE(sheet->grab().save(name)) << name.toStdString();
        }
    }
    sheet->pressCancel();
}

// Every page of the sheet lays its controls out without overlaps and with combo boxes of
// their normal height; the sheet, OK and Cancel lie inside the available screen (a page
// scrolls where the screen is too small for it).
TEST_F(GuiSettingsTest, EveryPageIsLaidOutAndFitsTheScreen)
{
    ASSERT_TRUE(OpenWindow(0x5));
    window->systemCommand(SC_SETTINGS);
    SettingsSheet* sheet = CurrentSettingsSheet();
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet));
    const QRect screen = sheet->screen()->availableGeometry();
    for (int i = 0; i < sheet->pageCount(); ++i) {
        ASSERT_TRUE(sheet->setCurrentPage(i));
        QCoreApplication::processEvents();
        SCOPED_TRACE(sheet->page(i)->title().toStdString());
        EXPECT_EQ(LayoutFaults(sheet).join("\n").toStdString(), "");
        EXPECT_TRUE(FitsScreen(sheet)) << sheet->frameGeometry().width() << "x" << sheet->frameGeometry().height()
                                       << " on " << screen.width() << "x" << screen.height();
        for (const char* name : {"sheetOk", "sheetCancel"}) {
            auto* button = sheet->findChild<QPushButton*>(name);
            ASSERT_NE(button, nullptr);
            const QRect at(button->mapToGlobal(QPoint(0, 0)), button->size());
            EXPECT_TRUE(button->isVisible() && screen.contains(at)) << name;
        }
    }
    sheet->pressCancel();
}

// The texts a person reads on a window and its children: titles, labels, buttons, tabs,
// list headers and the entries of drop-down lists, mnemonics aside.
static QStringList ShownTexts(QWidget* root)
{
    QStringList texts{root->windowTitle()};
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* w : widgets) {
        if (auto* label = qobject_cast<QLabel*>(w))
            texts << label->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(w))
            texts << button->text();
        else if (auto* group = qobject_cast<QGroupBox*>(w))
            texts << group->title();
        else if (auto* tabs = qobject_cast<QTabBar*>(w))
            for (int i = 0; i < tabs->count(); ++i)
                texts << tabs->tabText(i);
        else if (auto* tree = qobject_cast<QTreeWidget*>(w))
            for (int i = 0; i < tree->columnCount(); ++i)
                texts << tree->headerItem()->text(i);
        else if (auto* combo = qobject_cast<QComboBox*>(w))
            for (int i = 0; i < combo->count(); ++i)
                texts << combo->itemText(i);
    }
    for (QString& t : texts)
        t.remove('&');
    texts.removeAll(QString());
    return texts;
}

// One spelling per term on the main window (the TFTP client pane with it) and every page of
// the sheet: service names in capitals, "<service> port" and "<service> Server".
TEST_F(GuiSettingsTest, EveryTermIsSpelledOneWay)
{
    ASSERT_TRUE(OpenWindow(0x3FF));
    SettingsSheet* sheet = Open();
    QStringList texts = ShownTexts(window.get());
    for (int i = 0; i < sheet->pageCount(); ++i) {
        ASSERT_TRUE(sheet->setCurrentPage(i));
        texts << ShownTexts(sheet);
    }
    texts.removeDuplicates();
    const QRegularExpression variant(
        "\\b(?!(?:HTTP|FTP|TFTPC?|DHCP|DNS|SNTP|SYSLOG|BINL|PXE|NFS)\\b)(?i:https?|ftp|tftpc?|dhcp|dns|sntp|syslog|"
        "binl|pxe|nfs)\\b");
    const QRegularExpression server("\\b(HTTP|FTP|TFTP|DHCP|DNS|SNTP|SYSLOG) server\\b");
    const QRegularExpression port("\\b(HTTP|FTP|TFTP) Port\\b");
    for (const QString& t : texts) {
        EXPECT_FALSE(variant.match(t).hasMatch()) << t.toStdString();
        EXPECT_FALSE(server.match(t).hasMatch()) << t.toStdString();
        EXPECT_FALSE(port.match(t).hasMatch()) << t.toStdString();
    }
    const struct {
        const char* page;
        int id;
        const char* text;
    } labels[] = {{"HTTP", CTL_HTTP_PORT_LABEL, "HTTP port"},
                  {"FTP", CTL_FTP_PORT_LABEL, "FTP port"},
                  {"TFTP", CTL_TFTP_PORT_LABEL, "TFTP port"},
                  {"SNTP", CTL_SNTP_SWITCH, "SNTP Server"},
                  {"DNS", CTL_DNS_SWITCH, "DNS Server"}};
    for (const auto& l : labels) {
        SettingsPage* page = Go(sheet, l.page);
        ASSERT_NE(page, nullptr);
        QWidget* w = page->control(l.id);
        ASSERT_NE(w, nullptr) << l.id;
        const QString text =
            qobject_cast<QLabel*>(w) ? qobject_cast<QLabel*>(w)->text() : qobject_cast<QAbstractButton*>(w)->text();
        EXPECT_EQ(text.toStdString(), l.text);
    }
    sheet->pressCancel();
}

TEST_F(GuiSettingsTest, BadValuesKeepThePageWithTheirMessage)
{
    ASSERT_TRUE(OpenWindow());
    using Prep = std::function<void(SettingsPage*)>;
    struct Case {
        const char* page;
        int id;
        QString text;
        QString message;  // empty: accepted
        Prep prep;
    };
    const QString port = kMsgPort, dir = kMsgNoDirectory,
                  positive = "Parameter has to be a numeric value greater than 0";
    const QString ftpPool =
        "Parameter has to be expressed as P_low : P_high\nwhere P_low & P_high are numeric values "
        "between\n1 and 65535 verifying that P_low < P_high";
    const QString tftpPool =
        "Parameter has to be expressed as P_low : P_high\nwhere P_low & P_high are numeric "
        "values between\n1 and 65535 verifying that P_low <= P_high.\nWhen 0:0 the OS assigns "
        "the ports automatically.";
    const QString blk =
        "Parameter must be a numeric value between 8 and 16384.\nAvoid values > MTU-32; they lead to IP "
        "fragmentation.\ni.e. use 1468 when MTU=1500";
    const QString win = "Parameter must be a numeric value between 1 and 64\ni.e. 16";
    const QString errSim =
        "Wrong format; try i.e.\nfix|block1,block2,...,block10\neven|nErrors\nrandom|nErrors\nwhere:\n"
        "0 < blockN < 4294967296\n0 < nErrors < 11";
    const QString missing = root.path() + "/missing";
    auto uncheck = [](int id) { return [id](SettingsPage* p) { p->controlAs<QCheckBox>(id)->setChecked(false); }; };
    auto check = [](int id) { return [id](SettingsPage* p) { p->controlAs<QCheckBox>(id)->setChecked(true); }; };
    const Case cases[] = {
        {"HTTP", CTL_HTTP_PORT, "0", port, {}},
        {"HTTP", CTL_HTTP_PORT, "65536", port, {}},
        {"HTTP", CTL_HTTP_PORT, "abc", port, {}},
        {"HTTP", CTL_HTTP_PORT, "65535", "", {}},
        {"HTTP", CTL_HTTP_ROOT, missing, dir, {}},
        {"HTTP", CTL_HTTP_ROOT, missing, "", uncheck(CTL_HTTP_SWITCH)},  // service off: any folder
        {"FTP", CTL_FTP_USER1_NAME, QString(32, 'u'), "User name has to be smaller than 32 chars", {}},
        {"FTP", CTL_FTP_USER2_PASSWORD, QString(32, 'p'), "Password has to be smaller than 32 chars", {}},
        {"FTP", CTL_FTP_USER1_NAME, QString(31, 'u'), "", {}},
        {"FTP", CTL_FTP_ANON_ROOT, missing, dir, check(CTL_FTP_ANONYMOUS)},
        {"FTP", CTL_FTP_ANON_ROOT, missing, "", {}},  // anonymous off
        {"FTP", CTL_FTP_USERS_ROOT, missing, dir, {}},
        {"FTP", CTL_FTP_PORT, "0", port, {}},
        {"FTP", CTL_FTP_POOL, "5:5", ftpPool, {}},
        {"FTP", CTL_FTP_POOL, "0:10", ftpPool, {}},
        {"FTP", CTL_FTP_POOL, "10-70000", ftpPool, {}},
        {"FTP", CTL_FTP_POOL, "10-11", "", {}},
        {"FTP",
         CTL_FTP_USER1_NAME,
         "",
         "Service enabled with Anonymous browsing \ndisabled and registered users not defined",
         {}},
        {"TFTP", CTL_TFTP_ROOT, missing, dir, {}},
        {"TFTP", CTL_TFTP_ROOT, missing, "", uncheck(CTL_TFTP_SERVER)},  // only the client on
        {"TFTP", CTL_TFTP_TIMEOUT, "0", positive, {}},
        {"TFTP", CTL_TFTP_RETRANSMIT, "x", positive, {}},
        {"TFTP", CTL_TFTP_PORT, "0", positive, {}},
        {"TFTP", CTL_TFTP_PORT, "65536", port, {}},
        {"TFTP", CTL_TFTP_PORT, "65535", "", {}},
        {"TFTP", CTL_TFTP_BLKSIZE, "7", blk, {}},
        {"TFTP", CTL_TFTP_BLKSIZE, "16385", blk, {}},
        {"TFTP", CTL_TFTP_BLKSIZE, "8", "", {}},
        {"TFTP", CTL_TFTP_BLKSIZE, "16384", "", {}},
        {"TFTP", CTL_TFTP_WINDOWSIZE, "0", win, {}},
        {"TFTP", CTL_TFTP_WINDOWSIZE, "65", win, {}},
        {"TFTP", CTL_TFTP_WINDOWSIZE, "1", "", {}},
        {"TFTP", CTL_TFTP_WINDOWSIZE, "64", "", {}},
        {"TFTP", CTL_TFTP_ERRSIM_TEXT, "", errSim, check(CTL_TFTP_ERRSIM)},
        {"TFTP", CTL_TFTP_ERRSIM_TEXT, "fix|0", errSim, check(CTL_TFTP_ERRSIM)},
        {"TFTP", CTL_TFTP_ERRSIM_TEXT, "even|4", "", check(CTL_TFTP_ERRSIM)},
        {"TFTP", CTL_TFTP_POOL, "0:5", tftpPool, {}},
        {"TFTP", CTL_TFTP_POOL, "5:4", tftpPool, {}},
        {"TFTP", CTL_TFTP_POOL, "1:70000", tftpPool, {}},
        {"TFTP", CTL_TFTP_POOL, "0:0", "", {}},
        {"TFTP", CTL_TFTP_POOL, "2000-2000", "", {}},
        {"TFTP", CTL_TFTP_POOL, "1:65535", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.page) + " " + std::to_string(c.id) + " <" + c.text.toStdString() + ">");
        SettingsSheet* sheet = Open();
        SettingsPage* page = std::string(c.page) == "HTTP" ? sheet->currentPage() : Go(sheet, c.page);
        ASSERT_NE(page, nullptr);
        if (c.prep)
            c.prep(page);
        Ctl<QLineEdit>(page, c.id)->setText(c.text);
        const int at = sheet->currentIndex();
        const bool left = sheet->setCurrentPage(at == 0 ? 1 : 0);
        EXPECT_EQ(left, c.message.isEmpty());
        if (!c.message.isEmpty()) {
            EXPECT_EQ(BalloonText(), c.message);
            EXPECT_EQ(sheet->currentIndex(), at);
            EXPECT_EQ(sheet->tabBar()->currentIndex(), at);
            // OK refuses the same way and sends nothing.
            EXPECT_FALSE(sheet->pressOk());
        }
        sheet->pressCancel();
        QTest::qWait(0);
    }
    EXPECT_EQ(Stores(REQ_STORE_GLOBAL_SETTINGS), 0u);
    EXPECT_EQ(Stores(REQ_STORE_DHCP_SETTINGS), 0u);
}

TEST_F(GuiSettingsTest, FieldsAreCheckedWhenTheyLoseTheFocus)
{
    ASSERT_TRUE(OpenWindow());
    SettingsSheet* sheet = Open();
    // The offscreen platform lets a shown balloon take the activation: give it back.
    auto activate = [&] {
        BalloonClose();
        QTest::qWait(100);
        sheet->activateWindow();
        QTest::qWait(100);
        return QApplication::activeWindow() == sheet;
    };
    ASSERT_TRUE(activate());
    SettingsPage* http = sheet->currentPage();
    auto* port = Ctl<QLineEdit>(http, CTL_HTTP_PORT);
    auto* page = Ctl<QLineEdit>(http, CTL_HTTP_DEFAULT_PAGE);
    auto* rootField = Ctl<QLineEdit>(http, CTL_HTTP_ROOT);
    auto* browse = Ctl<QPushButton>(http, CTL_HTTP_BROWSE);

    port->setFocus();
    port->setText("0");
    page->setFocus();
    EXPECT_TRUE(QTest::qWaitFor([&] { return BalloonText() == kMsgPort; }, 5000));
    EXPECT_EQ(sheet->focusWidget(), port);
    ASSERT_TRUE(activate());
    // To Cancel: not checked.
    port->setFocus();
    sheet->cancelButton()->setFocus();
    QTest::qWait(50);
    EXPECT_EQ(CurrentBalloon(), nullptr);
    port->setText("80");

    rootField->setFocus();
    rootField->setText(root.path() + "/missing");
    browse->setFocus();  // its own Browse button
    QTest::qWait(50);
    EXPECT_EQ(CurrentBalloon(), nullptr);
    rootField->setFocus();
    page->setFocus();
    EXPECT_TRUE(QTest::qWaitFor([&] { return BalloonText() == kMsgNoDirectory; }, 5000));
    EXPECT_EQ(sheet->focusWidget(), rootField);
    ASSERT_TRUE(activate());

    // The TFTP root: an acceptable text is stored at once with its separator.
    rootField->setText(root.path());
    SettingsPage* tftp = Go(sheet, "TFTP");
    auto* tftpRoot = Ctl<QLineEdit>(tftp, CTL_TFTP_ROOT);
    ASSERT_TRUE(activate());
    tftpRoot->setFocus();
    tftpRoot->setText(root.path());
    Ctl<QLineEdit>(tftp, CTL_TFTP_TIMEOUT)->setFocus();
    EXPECT_TRUE(QTest::qWaitFor([&] { return tftpRoot->text().toStdString() == rootText; }, 5000));
    EXPECT_EQ(FieldText(sheet->copies().settings.TFTP_RootDirectory), rootText);
    auto* timeout = Ctl<QLineEdit>(tftp, CTL_TFTP_TIMEOUT);
    timeout->setText("0");
    Ctl<QLineEdit>(tftp, CTL_TFTP_RETRANSMIT)->setFocus();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return BalloonText() == "Parameter has to be a numeric value greater than 0"; }, 5000));
    EXPECT_EQ(sheet->focusWidget(), timeout);
    sheet->pressCancel();
}

TEST_F(GuiSettingsTest, AtLeastOneServiceStaysOn)
{
    fake.settings.NIMBO_Services = 0x80 | 0x200;  // HTTP and BINL
    ASSERT_TRUE(OpenWindow());
    SettingsSheet* sheet = Open();
    auto* http = Ctl<QCheckBox>(sheet->currentPage(), CTL_HTTP_SWITCH);
    http->click();
    EXPECT_TRUE(http->isChecked());
    EXPECT_EQ(BalloonText(), kMsgOneService);
    EXPECT_TRUE(Ctl<QLineEdit>(sheet->currentPage(), CTL_HTTP_PORT)->isEnabled());

    // Another service on: HTTP may go off, and its controls with it.
    SettingsPage* tftp = Go(sheet, "TFTP");
    auto* server = Ctl<QCheckBox>(tftp, CTL_TFTP_SERVER);
    auto* client = Ctl<QCheckBox>(tftp, CTL_TFTP_CLIENT);
    EXPECT_FALSE(Ctl<QLineEdit>(tftp, CTL_TFTP_TIMEOUT)->isEnabled());
    client->click();
    EXPECT_TRUE(client->isChecked());
    EXPECT_TRUE(Ctl<QLineEdit>(tftp, CTL_TFTP_TIMEOUT)->isEnabled());
    SettingsPage* page = Go(sheet, "HTTP");
    http = Ctl<QCheckBox>(page, CTL_HTTP_SWITCH);
    BalloonClose();
    http->click();
    EXPECT_FALSE(http->isChecked());
    EXPECT_FALSE(Ctl<QLineEdit>(page, CTL_HTTP_PORT)->isEnabled());
    EXPECT_EQ(CurrentBalloon(), nullptr);
    // Now the TFTP client is the only one: it stays on, unless the server takes over.
    tftp = Go(sheet, "TFTP");
    client = Ctl<QCheckBox>(tftp, CTL_TFTP_CLIENT);
    server = Ctl<QCheckBox>(tftp, CTL_TFTP_SERVER);
    client->click();
    EXPECT_TRUE(client->isChecked());
    EXPECT_EQ(BalloonText(), kMsgOneService);
    server->click();
    client->click();
    EXPECT_FALSE(client->isChecked());
    sheet->pressCancel();
}

TEST_F(GuiSettingsTest, OkSendsOnlyWhatChangedAndAsksForARestart)
{
    ASSERT_TRUE(OpenWindow());
    ASSERT_TRUE(WaitForRequest(REQ_SEND_WORKING_DIR));
    // Without changes: nothing is sent and no balloon shows.
    SettingsSheet* sheet = Open();
    for (const char* title : {"FTP", "TFTP", "DHCP", "DNS", "SNTP", "SYSLOG"})
        Go(sheet, title);
    EXPECT_TRUE(sheet->pressOk());
    QTest::qWait(400);
    EXPECT_EQ(CurrentBalloon(), nullptr);
    EXPECT_EQ(Stores(REQ_STORE_GLOBAL_SETTINGS), 0u);
    EXPECT_EQ(Stores(REQ_STORE_DHCP_SETTINGS), 0u);

    // Cancel drops every change.
    sheet = Open();
    Ctl<QLineEdit>(sheet->currentPage(), CTL_HTTP_PORT)->setText("8081");
    Go(sheet, "FTP");
    sheet->copies().dhcp.DHCP_LeaseTime = 5;
    sheet->pressCancel();
    QTest::qWait(200);
    EXPECT_EQ(Stores(REQ_STORE_GLOBAL_SETTINGS), 0u);
    EXPECT_EQ(Stores(REQ_STORE_DHCP_SETTINGS), 0u);

    // One change on the HTTP page: request 209 with the record as it was and that field.
    GlobalSettings expected = GuiConsole().model.settings;
    expected.HTTP_Port = 8081;
    sheet = Open();
    Ctl<QLineEdit>(sheet->currentPage(), CTL_HTTP_PORT)->setText("8081");
    EXPECT_TRUE(sheet->pressOk());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Stores(REQ_STORE_GLOBAL_SETTINGS) == 1; }, 5000));
    const std::vector<uint8_t> sent = fake.Payloads(REQ_STORE_GLOBAL_SETTINGS).front();
    ASSERT_EQ(sent.size(), sizeof(GlobalSettings));
    EXPECT_EQ(std::memcmp(sent.data(), &expected, sizeof expected), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return BalloonText() == kMsgRestart; }, 5000));
    EXPECT_EQ(CurrentBalloon()->title(), "Nimbo v4.6.0");
    QTest::qWait(200);
    EXPECT_EQ(Stores(REQ_STORE_DHCP_SETTINGS), 0u);
    BalloonClose();

    // A DHCP change alone: request 208 only. Meanwhile the BINL thread found a boot program
    // (the desktop's copy followed the service): its flag and size are kept.
    sheet = Open();
    sheet->copies().dhcp.DHCP_LeaseTime = 900;
    DhcpSettings live;
    std::memcpy(&live, GuiConsole().model.dhcpSettings.data(), sizeof live);
    live.BootFileTable.rows[0].present = 1;
    live.BootFileTable.rows[0].sizeBlocks = 123;
    std::memcpy(GuiConsole().model.dhcpSettings.data(), &live, sizeof live);
    DhcpSettings expectedDhcp = live;
    expectedDhcp.DHCP_LeaseTime = 900;
    EXPECT_TRUE(sheet->pressOk());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Stores(REQ_STORE_DHCP_SETTINGS) == 1; }, 5000));
    const std::vector<uint8_t> dhcp = fake.Payloads(REQ_STORE_DHCP_SETTINGS).front();
    ASSERT_EQ(dhcp.size(), sizeof(DhcpSettings));
    EXPECT_EQ(std::memcmp(dhcp.data(), &expectedDhcp, sizeof expectedDhcp), 0);
    QTest::qWait(200);
    EXPECT_EQ(Stores(REQ_STORE_GLOBAL_SETTINGS), 1u);
}

TEST_F(GuiSettingsTest, AnEmptyDhcpCopyFollowsTheServiceAnswer)
{
    DhcpSettings loaded;
    std::memcpy(&loaded, fake.dhcp.data(), sizeof loaded);
    std::fill(fake.dhcp.begin(), fake.dhcp.end(), 0);
    ASSERT_TRUE(OpenWindow());
    ASSERT_FALSE(DhcpRecordLoaded(*reinterpret_cast<const DhcpSettings*>(GuiConsole().model.dhcpSettings.data())));
    // The service has loaded the record by the time the sheet asks again.
    std::memcpy(fake.dhcp.data(), &loaded, sizeof loaded);
    SettingsSheet* sheet = Open();
    EXPECT_FALSE(DhcpRecordLoaded(sheet->copies().dhcp));
    ASSERT_TRUE(QTest::qWaitFor([&] { return GuiConsole().model.dhcpSettings == fake.dhcp; }, 5000));
    Go(sheet, "FTP");
    EXPECT_EQ(std::memcmp(&sheet->copies().dhcp, &loaded, sizeof loaded), 0);
    // Nothing was edited: OK sends nothing.
    EXPECT_TRUE(sheet->pressOk());
    QTest::qWait(300);
    EXPECT_EQ(Stores(REQ_STORE_DHCP_SETTINGS), 0u);
}

TEST_F(GuiSettingsTest, HelpTextsAndTheHelpButton)
{
    ASSERT_TRUE(OpenWindow());
    SettingsSheet* sheet = Open();
    SettingsPage* http = sheet->currentPage();
    http->showHelpFor(Ctl<QWidget>(http, CTL_HTTP_BROWSING));
    EXPECT_EQ(BalloonText(), "It allows browsing the server's directory structure");
    EXPECT_EQ(CurrentBalloon()->title(), "");
    http->showHelpFor(Ctl<QWidget>(http, CTL_HTTP_BIND_LIST));
    EXPECT_EQ(BalloonText(),
              "By default the HTTP service (when enabled) is bound to all the available IP addresses.\n"
              "If you want to bind it to an specific IP address please check the box and select one "
              "of\nthe available IP options ");
    SettingsPage* ftp = Go(sheet, "FTP");
    ftp->showHelpFor(Ctl<QWidget>(ftp, CTL_FTP_SWITCH));
    EXPECT_EQ(BalloonText(), "It turns the FTP Server on and off");
    ftp->showHelpFor(Ctl<QWidget>(ftp, CTL_FTP_USER2_PASSWORD));
    EXPECT_EQ(BalloonText(),
              "Password of the 2nd Registered user. Please consider user names and\npasswords are saved "
              "in Nimbo.ini as plain text");
    SettingsPage* tftp = Go(sheet, "TFTP");
    tftp->showHelpFor(Ctl<QWidget>(tftp, CTL_TFTP_SECURITY_READ_ONLY));
    EXPECT_EQ(BalloonText(), "Standard + write requests will be rejected");
    // F1 on a focused control.
    BalloonClose();
    QWidget* timeout = Ctl<QWidget>(tftp, CTL_TFTP_TIMEOUT);
    QTest::keyClick(timeout, Qt::Key_F1);
    EXPECT_EQ(BalloonText(), "The maximum time between two retransmissions");
    // Error simulator on: the warning.
    Ctl<QCheckBox>(tftp, CTL_TFTP_ERRSIM)->click();
    EXPECT_EQ(BalloonText(), "Only for testing !\nTurn this option OFF in production");
    EXPECT_EQ(CurrentBalloon()->title(), "Warning");
    EXPECT_TRUE(Ctl<QLineEdit>(tftp, CTL_TFTP_ERRSIM_TEXT)->isEnabled());
    sheet->pressHelp();
    EXPECT_EQ(BalloonText(), "Error:\nNimbo couldn't find \"Nimbo.chm\"");
    sheet->pressCancel();
}

// Every page registers the controls of its table, and those only: the tables whose numbers
// are checked for doubles at compile time are the pages' own.
TEST_F(GuiSettingsTest, PagesRegisterTheControlsOfTheirTables)
{
    ASSERT_TRUE(OpenWindow());
    SettingsSheet* sheet = Open();
    const std::pair<QString, std::span<const int>> tables[] = {
        {"HTTP", kHttpPageControls},     {"FTP", kFtpPageControls}, {"TFTP", kTftpPageControls},
        {"DHCP", kDhcpPageControls},     {"DNS", kDnsPageControls}, {"SNTP", kSntpPageControls},
        {"SYSLOG", kSyslogPageControls},
    };
    ASSERT_EQ(sheet->pageCount(), static_cast<int>(std::size(tables)));
    for (const auto& [title, ids] : tables) {
        SCOPED_TRACE(title.toStdString());
        const int index = IndexOf(sheet, title);
        ASSERT_GE(index, 0);
        SettingsPage* page = sheet->page(index);
        QStringList expected;
        for (int id : ids) {
            EXPECT_NE(page->control(id), nullptr) << id;
            expected << ControlObjectName(id);
        }
        QStringList named;
        for (const QWidget* w : page->findChildren<QWidget*>(QRegularExpression("^ctl\\d+$")))
            named << w->objectName();
        expected.sort();
        named.sort();
        EXPECT_EQ(named, expected);
    }
    sheet->pressCancel();
}

TEST_F(GuiSettingsTest, BrowseFillsTheFieldAndTheFocusComesBack)
{
    ASSERT_TRUE(OpenWindow());
    QDir(root.path()).mkpath("www");
    SettingsSheet* sheet = Open();
    SettingsPage* http = sheet->currentPage();
    static QString target;
    target = root.path() + "/www";
    SetPickerHook([](QFileDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Looking for: HTTP Server root directory");
        d->setDirectory(target);
        static_cast<QDialog*>(d)->accept();
    });
    Ctl<QPushButton>(http, CTL_HTTP_BROWSE)->click();
    SetPickerHook(nullptr);
    EXPECT_EQ(Ctl<QLineEdit>(http, CTL_HTTP_ROOT)->text(), target);
    sheet->pressCancel();
}

TEST(SmallDialogs, PickersAndAbout)
{
    EnsureQtApp();
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("a");
    QFile file(dir.path() + "/a/x.log");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    QWidget owner;
    owner.resize(500, 400);
    owner.show();

    // OK with nothing selected gives the folder shown.
    static QRect moved;
    QString path = dir.path() + "/a";
    QRect place;
    SetPickerHook([](QFileDialog* d) {
        EXPECT_EQ(d->labelText(QFileDialog::Accept), "Select");
        d->setGeometry(moved);
        static_cast<QDialog*>(d)->accept();
    });
    moved = QRect(40, 50, 620, 410);
    EXPECT_TRUE(PickFolder(&owner, "Looking for: test", &path, &place));
    EXPECT_EQ(path, dir.path() + "/a");
    EXPECT_EQ(place.size(), moved.size());
    // The next picker opens where the last one was left.
    static QRect seen;
    SetPickerHook([](QFileDialog* d) {
        seen = d->geometry();
        d->reject();
    });
    QString unchanged = "/nonexistent/folder";
    EXPECT_FALSE(PickFolder(&owner, "Looking for: test", &unchanged, &place));
    EXPECT_EQ(unchanged, "/nonexistent/folder");
    EXPECT_EQ(seen.size(), moved.size());

    // A log file that does not exist yet may be named; the extension is added.
    SetPickerHook([](QFileDialog* d) {
        EXPECT_EQ(d->defaultSuffix(), "log");
        d->selectFile("new");
        static_cast<QDialog*>(d)->accept();
    });
    QString log = dir.path() + "/a/x.log";
    EXPECT_TRUE(PickLogFile(&owner, "Looking for: SYSLOG log file", &log));
    EXPECT_EQ(log, dir.path() + "/a/new.log");
    SetPickerHook(nullptr);

    QTimer::singleShot(0, [] {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* about = qobject_cast<AboutDialog*>(top)) {
                EXPECT_EQ(about->windowTitle(), "About/License Nimbo v4.6.0");
                auto* version = about->findChild<QLabel*>(ControlObjectName(CTL_ABOUT_VERSION));
                ASSERT_NE(version, nullptr);
                EXPECT_EQ(version->text(), "NIMBO v4.6.0 - Build 21120715");
                about->accept();
            }
    });
    ShowAboutDialog(&owner);
}

// The About box is wide enough for its whole title in a bold title bar beside three title-bar
// buttons, and opens inside the screen even when its owner lies partly off it (also run on a
// small screen and at scale factor 2).
TEST(SmallDialogs, AboutShowsItsWholeTitleAndFitsTheScreen)
{
    EnsureQtApp();
    QWidget owner;
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    owner.setGeometry(area.right() - 150, area.bottom() - 100, 400, 300);
    owner.show();
    static QRect seen;
    static QString title;
    static int titleWidth = 0;
    static bool pictured = false;
    seen = QRect();
    QTimer::singleShot(0, [] {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* about = qobject_cast<AboutDialog*>(top); about && about->isVisible()) {
                seen = about->frameGeometry();
                title = about->windowTitle();
                auto* picture = about->findChild<QLabel*>(ControlObjectName(CTL_ABOUT_PICTURE));
                pictured = picture && !picture->pixmap().isNull();
                QFont bold = about->font();
                bold.setBold(true);
                titleWidth = QFontMetrics(bold).horizontalAdvance(title) +
                             3 * about->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, about);
                about->accept();
            }
    });
    ShowAboutDialog(&owner);
    ASSERT_FALSE(seen.isNull());
    EXPECT_EQ(title, "About/License Nimbo v4.6.0");
    EXPECT_TRUE(pictured) << "the program's picture is missing";
    EXPECT_GE(seen.width(), qMin(titleWidth, area.width()));
    EXPECT_TRUE(area.contains(seen)) << seen.x() << "," << seen.y() << " " << seen.width() << "x" << seen.height();
}

TEST(SmallDialogs, ListingSizesFrom2GiBPrintUnsigned)
{
    nimbo::test::TempFolder dir("nimbo-listing-");
    const std::string big = dir / "big.iso";
    const int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 3221225472LL), 0);  // sparse, 3 GiB
    close(fd);
    std::vector<std::string> lines;
    ListDirectoryFiles([&](const char* line) { lines.push_back(line); }, dir.path());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\t3221225472"), std::string::npos) << lines[0];
}
