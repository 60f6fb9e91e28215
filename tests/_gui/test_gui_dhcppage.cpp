// The DHCP page of the settings sheet against the scripted service end: loading from the
// services' record, the tree list of options, static leases and MAC filters, the parsers'
// messages, the page's own checks, BINL's boot-file list and the record OK sends.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <vector>

#include "_gui/balloon.h"
#include "_gui/dhcp_page.h"
#include "_gui/settings_page.h"
#include "_gui/settings_sheet.h"
#include "_gui/tree_list.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/settings.h"
#include "tests/_gui/console_fixture.h"

namespace {

constexpr int kDhcpPageIndex = 3;

QString BalloonText()
{
    BalloonWindow* b = CurrentBalloon();
    return b ? b->text() : QString();
}

uint32_t Addr(const char* dotted) { return inet_addr(dotted); }

// A record as the loader leaves it, with the boot program of row 0 found by the BINL thread.
DhcpSettings BaseRecord()
{
    DhcpSettings d{};
    CopyToField(d.DHCP_IP_Pool, "10.9.8.100");
    d.PoolStart = Addr("10.9.8.100");
    d.DHCP_PoolSize = 20;
    d.NextServer = 0xFFFFFFFF;
    CopyToField(d.DHCP_IP_Mask, "255.255.255.0");
    d.SubnetMask = Addr("255.255.255.0");
    CopyToField(d.DHCP_DNS, "10.9.8.1");
    validateAddressSetting(6, d.DHCP_DNS, d.DnsOption, sizeof d.DnsOption, nullptr);
    CopyToField(d.DHCP_DefaultGateway, "10.9.8.254");
    validateAddressSetting(3, d.DHCP_DefaultGateway, d.RouterOption, sizeof d.RouterOption, nullptr);
    CopyToField(d.DHCP_BootFile, "pxenimbo.0");
    validateBootFileSetting(d.DHCP_BootFile, &d.BootFileTable, nullptr);
    d.BootFileTable.rows[0].present = 1;
    d.BootFileTable.rows[0].sizeBlocks = 40;
    CopyToField(d.DHCP_DomainName, "lab");
    d.DHCP_LeaseTime = 2880;
    for (int i : {1, 2}) {
        CopyToField(d.UserOptions[i].text, i == 1 ? "42|10.9.8.1" : "23|10");
        uint8_t out[300] = {};
        parseDhcpOption(d.UserOptions[i].text, out, sizeof out, nullptr);
        std::memcpy(d.UserOptions[i].encoded, out, size_t(out[1]) + 2);
    }
    CopyToField(d.BmModeText, "1");
    d.BmMode = 1;
    return d;
}

class DhcpPageTest : public ConsoleWindowFixture {
protected:
    void SetUp() override
    {
        ConsoleWindowFixture::SetUp();
        fake.settings = DefaultGlobalSettings();
        fake.settings.NIMBO_Services = 0x5;
        SetRecord(BaseRecord());
    }
    void TearDown() override
    {
        BalloonClose();
        ConsoleWindowFixture::TearDown();
    }
    void SetRecord(const DhcpSettings& d)
    {
        record = d;
        std::memcpy(fake.dhcp.data(), &d, sizeof d);
    }
    // Opens the sheet on the DHCP page once the services' record has arrived.
    bool Open(uint32_t mask = 0x5)
    {
        fake.settings.NIMBO_Services = int32_t(mask);
        if (!OpenWindow(mask))
            return false;
        const size_t asked = fake.Payloads(REQ_SEND_DHCP_SETTINGS).size();
        sheet = ShowSettingsSheet(window.get(), "/nonexistent/Nimbo.chm");
        sheet->activateWindow();
        if (!QTest::qWaitForWindowExposed(sheet) ||
            !QTest::qWaitFor([&] { return fake.Payloads(REQ_SEND_DHCP_SETTINGS).size() > asked; }, 5000))
            return false;
        QTest::qWait(100);
        if (!sheet->setCurrentPage(kDhcpPageIndex))
            return false;
        page = sheet->currentPage();
        return page && page->title() == "DHCP" && DhcpPageTree(page);
    }
    TreeList* Tree() { return DhcpPageTree(page); }
    QTreeWidgetItem* Row(const char* group, int index)
    {
        QTreeWidgetItem* g = TreeListFindItem(Tree()->tree(), nullptr, group);
        return g ? g->child(index) : nullptr;
    }
    // Types a value into a row's editor and ends the edit: the tree list's result.
    int Edit(const char* group, int index, const QString& text)
    {
        QTreeWidgetItem* row = Row(group, index);
        EXPECT_NE(row, nullptr) << group << index;
        if (!row)
            return -9;
        Tree()->beginEdit(row, 1);
        QWidget* ed = Tree()->editor();
        if (auto* le = qobject_cast<QLineEdit*>(ed))
            le->setText(text);
        else if (auto* cb = qobject_cast<QComboBox*>(ed))
            cb->setCurrentIndex(cb->findText(text));
        else
            return -8;
        return TreeListValidate(Tree());
    }
    template <class W>
    W* Ctl(int id)
    {
        W* w = page->controlAs<W>(id);
        EXPECT_NE(w, nullptr) << id;
        return w;
    }
    // Leaves the page for the next one: true when it let go.
    bool Leave() { return sheet->setCurrentPage(kDhcpPageIndex + 1); }
    DhcpSettings Sent()
    {
        EXPECT_TRUE(WaitForRequest(REQ_STORE_DHCP_SETTINGS));
        DhcpSettings d{};
        const auto payloads = fake.Payloads(REQ_STORE_DHCP_SETTINGS);
        if (!payloads.empty() && payloads.back().size() == sizeof d)
            std::memcpy(&d, payloads.back().data(), sizeof d);
        return d;
    }
    static void ExpectSame(const DhcpSettings& got, const DhcpSettings& want)
    {
        const auto* g = reinterpret_cast<const uint8_t*>(&got);
        const auto* w = reinterpret_cast<const uint8_t*>(&want);
        for (size_t i = 0; i < sizeof got; ++i)
            if (g[i] != w[i]) {
                ADD_FAILURE() << "first difference at offset " << i;
                return;
            }
    }

    DhcpSettings record{};
    SettingsSheet* sheet = nullptr;
    SettingsPage* page = nullptr;
};

TEST_F(DhcpPageTest, LoadsFromTheServicesRecord)
{
    ASSERT_TRUE(Open());
    EXPECT_TRUE(Ctl<QCheckBox>(CTL_DHCP_SERVER)->isChecked());
    EXPECT_FALSE(Ctl<QCheckBox>(CTL_DHCP_PROXY)->isChecked());
    EXPECT_FALSE(Ctl<QCheckBox>(CTL_DHCP_BINL)->isChecked());
    EXPECT_EQ(Ctl<QLineEdit>(CTL_DHCP_POOL)->text(), "10.9.8.100");
    EXPECT_EQ(Ctl<QLineEdit>(CTL_DHCP_POOL_SIZE)->text(), "20");
    EXPECT_EQ(Ctl<QLineEdit>(CTL_DHCP_MASK)->text(), "255.255.255.0");
    EXPECT_EQ(Ctl<QLineEdit>(CTL_DHCP_DNS)->text(), "10.9.8.1");
    EXPECT_EQ(Ctl<QLineEdit>(CTL_DHCP_ROUTER)->text(), "10.9.8.254");
    EXPECT_EQ(Ctl<QLineEdit>(CTL_DHCP_BOOT_FILE)->text(), "pxenimbo.0");
    EXPECT_FALSE(Ctl<QLineEdit>(CTL_DHCP_BOOT_FILE)->isReadOnly());
    EXPECT_EQ(Ctl<QLineEdit>(CTL_DHCP_DOMAIN)->text(), "lab");
    EXPECT_EQ(Ctl<QLineEdit>(CTL_DHCP_BOOT_FILE)->maxLength(), 511);
    EXPECT_EQ(Ctl<QComboBox>(CTL_DHCP_NEXT_SERVER)->currentText(), "Automatic");
    auto* next = Ctl<QComboBox>(CTL_DHCP_NEXT_SERVER);
    EXPECT_EQ(next->itemText(next->count() - 1), "Edit...");
    EXPECT_EQ(Ctl<QComboBox>(CTL_DHCP_POLICY)->currentText(), "off");
    EXPECT_TRUE(Ctl<QLineEdit>(CTL_DHCP_POOL)->isEnabled());

    QTreeWidget* tree = Tree()->tree();
    ASSERT_EQ(tree->topLevelItemCount(), 4);
    const char* groups[] = {"BINL", "DHCP Options", "MAC Filter", "Static Leases"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(tree->topLevelItem(i)->text(0), groups[i]);
    EXPECT_EQ(Row("BINL", 0)->text(0), "BM_Mode");
    EXPECT_EQ(Row("BINL", 0)->text(1), "1");
    EXPECT_EQ(Row("DHCP Options", 1)->text(0), "  opt_2");
    EXPECT_EQ(Row("DHCP Options", 1)->text(1), "42|10.9.8.1");
    EXPECT_EQ(Row("DHCP Options", 9)->text(0), "  opt_10");
    // Groups follow the switches: BINL off, static leases off, policy off.
    EXPECT_TRUE(Tree()->inDisabledGroup(Row("BINL", 0)));
    EXPECT_TRUE(Tree()->inDisabledGroup(Row("Static Leases", 0)));
    EXPECT_TRUE(Tree()->inDisabledGroup(Row("MAC Filter", 0)));
    EXPECT_FALSE(Tree()->inDisabledGroup(Row("DHCP Options", 0)));
    Ctl<QCheckBox>(CTL_DHCP_STATIC_LEASES)->click();
    EXPECT_FALSE(Tree()->inDisabledGroup(Row("Static Leases", 0)));
    // Editors are limited to their field less the NUL.
    Tree()->beginEdit(Row("DHCP Options", 0), 1);
    ASSERT_NE(qobject_cast<QLineEdit*>(Tree()->editor()), nullptr);
    EXPECT_EQ(qobject_cast<QLineEdit*>(Tree()->editor())->maxLength(), 569);
    EXPECT_EQ(TreeListValidate(Tree()), 1);
    Tree()->beginEdit(Row("Static Leases", 0), 1);
    EXPECT_EQ(qobject_cast<QLineEdit*>(Tree()->editor())->maxLength(), 49);
    EXPECT_EQ(TreeListValidate(Tree()), 1);
    // proxyDHCP excludes the DHCP server and disables its own fields.
    Ctl<QCheckBox>(CTL_DHCP_PROXY)->click();
    EXPECT_FALSE(Ctl<QCheckBox>(CTL_DHCP_SERVER)->isChecked());
    EXPECT_FALSE(Ctl<QLineEdit>(CTL_DHCP_POOL)->isEnabled());
    EXPECT_TRUE(Tree()->inDisabledGroup(Row("Static Leases", 0)));
    EXPECT_TRUE(Ctl<QLineEdit>(CTL_DHCP_BOOT_FILE)->isEnabled());
}

TEST_F(DhcpPageTest, OkWithoutChangesSendsNothing)
{
    ASSERT_TRUE(Open());
    // Editing a row to its own text is no change either.
    EXPECT_EQ(Edit("DHCP Options", 1, "42|10.9.8.1"), 1);
    ASSERT_TRUE(sheet->pressOk());
    QTest::qWait(400);
    EXPECT_FALSE(fake.HasRequest(REQ_STORE_DHCP_SETTINGS));
    EXPECT_FALSE(fake.HasRequest(REQ_STORE_GLOBAL_SETTINGS));
    EXPECT_EQ(CurrentBalloon(), nullptr);
}

TEST_F(DhcpPageTest, TreeRowsAreAddedEditedDeletedAndMovedThenSentByteExact)
{
    ASSERT_TRUE(Open());
    Ctl<QCheckBox>(CTL_DHCP_STATIC_LEASES)->click();      // static leases on
    Ctl<QComboBox>(CTL_DHCP_POLICY)->setCurrentIndex(2);  // accept
    Q_EMIT Ctl<QComboBox>(CTL_DHCP_POLICY)->activated(2);
    // Add, edit, delete and move (option 3 goes to slot 5).
    EXPECT_EQ(Edit("DHCP Options", 0, "9|192.168.20.20,192.168.20.25"), 1);
    EXPECT_EQ(Edit("DHCP Options", 1, "42|10.9.8.2"), 1);
    EXPECT_EQ(Edit("DHCP Options", 2, ""), 1);
    EXPECT_EQ(Edit("DHCP Options", 4, "23|10"), 1);
    EXPECT_EQ(Edit("Static Leases", 1, "01:02:03:04:05:06|10.9.8.50"), 1);
    EXPECT_EQ(Edit("MAC Filter", 0, "0a:0b:0c:0d:0e:0f|ff:ff:ff:00:00:00"), 1);
    EXPECT_EQ(Edit("MAC Filter", 0, "01:02:03:04:05:06"), 1);  // a shorter text leaves no trace
    ASSERT_TRUE(sheet->pressOk());

    DhcpSettings want = record;
    want.DHCP_ProcStatLeases = 1;
    want.DHCP_ProcMacFilter = 2;
    CopyToField(want.UserOptions[0].text, "9|192.168.20.20,192.168.20.25");
    const uint8_t opt9[] = {0x09, 0x08, 0xC0, 0xA8, 0x14, 0x14, 0xC0, 0xA8, 0x14, 0x19};
    std::memcpy(want.UserOptions[0].encoded, opt9, sizeof opt9);
    CopyToField(want.UserOptions[1].text, "42|10.9.8.2");
    const uint8_t opt42[] = {42, 4, 10, 9, 8, 2};
    std::memcpy(want.UserOptions[1].encoded, opt42, sizeof opt42);
    want.UserOptions[4] = record.UserOptions[2];
    want.UserOptions[2] = DhcpUserOption{};
    CopyToField(want.StaticLeases[1].text, "01:02:03:04:05:06|10.9.8.50");
    const uint8_t mac[] = {1, 2, 3, 4, 5, 6};
    std::memcpy(want.StaticLeases[1].mac, mac, 6);
    want.StaticLeases[1].address = Addr("10.9.8.50");
    CopyToField(want.MacFilters[0].text, "01:02:03:04:05:06");
    want.MacFilters[0].mac = macFilterWord(mac);
    want.MacFilters[0].mask = 0xFFFFFFFFFFFFFFFFull;
    ExpectSame(Sent(), want);
    EXPECT_FALSE(fake.HasRequest(REQ_STORE_GLOBAL_SETTINGS));
}

struct Refusal {
    const char* group;
    const char* text;
    const char* message;
};

TEST_F(DhcpPageTest, EachRefusedTreeValueShowsItsMessage)
{
    const std::string longText = "12|" + std::string(256, 'x');
    const std::string shortLci = "123|0x" + std::string(30, 'a');
    const Refusal cases[] = {
        {"DHCP Options", "a|b",
         "Format Error\nA DHCP Option must begin with its decimal code (0-255) immediately \nfollowed by the separator "
         "| and the option payload (w/o Length\nbyte). Option format depends on option's code.\ni.e.\t9|192.168.20.20"
         "\t9|192.168.20.20,192.168.20.25,...\n\t23|10\t\t18|/dhcp/moreoptions\n\t117|0,6,...\t99|0x1234567890abcdef"
         "ABCDEF...\n\tetc."},
        {"DHCP Options", "0|x", "0-Format Error\nPad option should look like:\n0|"},
        {"DHCP Options", "9|1.2.3",
         "9-Format Error\nLPR Server option should look like:\n9|192.168.20.20  or  9|192.168.20.20,192.168.20.25 ..."},
        {"DHCP Options", "9|0.0.0.0",
         "9-Format Error\nLPR Server option invalid IP address/es\nSee example:\n9|192.168.20.20  or  "
         "9|192.168.20.20,192.168.20.25 ..."},
        {"DHCP Options", "68|x",
         "68-Format Error\nMobile IP Home Agent option should look like:\n68|  or  68|192.168.20.20  or  "
         "68|192.168.20.20,192.168.20.25 ..."},
        {"DHCP Options", "16|x", "16-Format Error\nSwap Server option should look like:\n16|192.168.20.20"},
        {"DHCP Options", "21|1.2.3.4",
         "21-Format Error\nPolicy Filter option should look like:\n21|192.168.20.20,255.255.255.0, ..."},
        {"DHCP Options", "19|2",
         "19-Format Error\nIP Forwarding Enable/Disable option should look like:\n19|X\tX is 1 or 0"},
        {"DHCP Options", "23|1",
         "23-Format Error\nDefault IP Time-to-live option should look like:\n23|X\t1 < X < 255"},
        {"DHCP Options", "37|0", "37-Format Error\nTCP Default TTL option should look like:\n37|X\t1 <= x <= 255"},
        {"DHCP Options", "46|3",
         "46-Format Error\nNetBIOS over TCP/IP Node Type option should look like:\n46|X\tX is 1,2,4 or 8"},
        {"DHCP Options", "22|65536",
         "22-Format Error\nMaximum Datagram Reassembly Size option should look like:\n22|X\t0 <= X <= 65535"},
        {"DHCP Options", "26|67", "26-Format Error\nInterface MTU option should look like:\n26|X\t68 <= X <= 65535"},
        {"DHCP Options", "24|4294967296",
         "24-Format Error\nPath MTU Aging Timeout option should look like:\n24|X\t0 <= X <= 4294967295"},
        {"DHCP Options", "25|67",
         "25-Format Error\nPath MTU Plateau Table option invalid parameter/es\nSee example:\n25|X1,X2, ...\t68 <= Xn "
         "<= "
         "65535"},
        {"DHCP Options", "117|a",
         "117-Format Error\nName Service Search option should look like:\n117|0,6,41, ... (ordered list of DHCP name "
         "options)"},
        {"DHCP Options", longText.c_str(),
         "12-Format Error\nHost Name option invalid\nSee example:\n12|text\t1 < text Length < 255"},
        {"DHCP Options", "43|0xZZ",
         "43-Format Error\nVendor-specific information option should look like:\n43|0x010203abcdef ..."},
        {"DHCP Options", shortLci.c_str(),
         "123-Format Error\nCoordinate LCI option too short\nOption payload min length=16"},
        {"DHCP Options", "200|0xZZ",
         "136-248 Format Error\nCustom option HEX input should look like:\n136|0x010203abcdef ..."},
        {"DHCP Options", "121|1.2.3.4",
         "121-Format Error\nClassless Route option should look like:\n121|<-subnet1->,<-mask1->,<-router1->, ...\n"
         "121|10.27.129.0,255.255.255.0,192.168.20.1, ..."},
        {"DHCP Options", "67|6?x|6?y",
         "67-Format Error\nBootfile name option parameter collision.\nSame architecture was declared more than once\n"
         "67|<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>"},
        {"DHCP Options", "67|other.0",
         "67-Consistency Error\nDHCP Option 67 and Boot File parsed settings\ndo not match"},
        {"DHCP Options", "51|x", "51-Option Error\nIP Address Lease Time is a server-handled option"},
        {"DHCP Options", "1|x", "1-Option Error\nSubnet Mask option should be defined above on its own field"},
        {"Static Leases", "01:02:03",
         "Format Error\nMAC Static Lease entries should look like:\n01:02:03:ab:bc:de|192.168.20.5 "},
        {"Static Leases", "01:02:03:04:05:06|0.0.0.0", "Format Error\nMAC Static Lease entry has an invalid IP"},
        {"MAC Filter", "zz",
         "Format Error\nMAC Filter entries should look like:\nMAC[|MASK]\n01:02:03:AB:BC:DE[|FF:FF:FF:FF:FF:00] "},
        {"MAC Filter", "01:02:03:04:05:06|00:00:00:00:00:00",
         "Format Error\nMASK=00:00:00:00:00:00\nmatches all possible MACs"},
    };
    ASSERT_TRUE(Open());
    Ctl<QCheckBox>(CTL_DHCP_STATIC_LEASES)->click();
    Ctl<QComboBox>(CTL_DHCP_POLICY)->setCurrentIndex(1);
    Q_EMIT Ctl<QComboBox>(CTL_DHCP_POLICY)->activated(1);
    const DhcpSettings before = sheet->copies().dhcp;
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Edit(c.group, 0, QString::fromLatin1(c.text)), 0);
        EXPECT_EQ(BalloonText(), QString::fromLatin1(c.message));
        ASSERT_NE(Tree()->editor(), nullptr);  // the editor stays open
        qobject_cast<QLineEdit*>(Tree()->editor())->setText(QString());
        EXPECT_EQ(TreeListValidate(Tree()), 1);
    }
    // Refusals changed nothing.
    EXPECT_EQ(std::memcmp(&before, &sheet->copies().dhcp, sizeof before), 0);
}

TEST_F(DhcpPageTest, OverLongEntriesAreRefusedWithThePageMessage)
{
    // A list the option parser accepts (63 addresses) does not fit the 570-byte text field.
    std::string list = "9|";
    for (int i = 0; i < 63; ++i)
        list += std::string(i ? "," : "") + "192.168.100.1" + std::to_string(10 + i);
    ASSERT_GT(list.size(), 569u);
    uint8_t out[300] = {};
    ASSERT_EQ(parseDhcpOption(list.c_str(), out, sizeof out, nullptr), 1);
    DhcpSettings rec = BaseRecord();
    const DhcpSettings before = rec;
    std::string message, boot;
    EXPECT_FALSE(ValidateDhcpTreeText(rec, DhcpTreeItemId(DTG_OPTIONS, 1), 570, list.c_str(), false, &message, &boot));
    EXPECT_EQ(message, DhcpEntryTooLong(570).toStdString());
    const std::string lease = "01:02:03:04:05:06|192.168.100.100" + std::string(20, ' ');
    EXPECT_FALSE(
        ValidateDhcpTreeText(rec, DhcpTreeItemId(DTG_STATIC_LEASES, 1), 50, lease.c_str(), false, &message, &boot));
    EXPECT_EQ(message, "Format Error\nEntry too long: at most 49 characters");
    EXPECT_EQ(std::memcmp(&before, &rec, sizeof rec), 0);
}

struct FieldCase {
    int id;
    const char* text;
    const char* message;
};

TEST_F(DhcpPageTest, LeavingChecksTheFieldsInOrder)
{
    const FieldCase cases[] = {
        {CTL_DHCP_NEXT_SERVER, "10.9.8", "Format Error\nRequired a valid IP address like:\n192.168.20.20"},
        {CTL_DHCP_POOL, "10.9.8", "Format Error\nRequired a valid IP address like:\n192.168.20.20"},
        {CTL_DHCP_POOL, "255.255.255.255", "Format Error\nInvalid IP address\nSee example:\n192.168.20.20"},
        {CTL_DHCP_MASK, "255.0.255.0", "1-Format Error\nSubnet Mask option is invalid\nIncorrect bit pattern"},
        {CTL_DHCP_MASK, "/32", "1-Format Error\nSubnet Mask option is invalid\nSee example:\n/24"},
        {CTL_DHCP_MASK, "", "1-Format Error\nDHCP requires a valid Subnet Mask like:\n255.255.255.0 or /24"},
        {CTL_DHCP_DNS, "10.9.8",
         "6-Format Error\nDomain Name Server option should look like:\n192.168.20.1  or  192.168.20.1,192.168.20.3, "
         "..."},
        {CTL_DHCP_ROUTER, "0.0.0.0",
         "3-Format Error\nRouter option invalid IP address/es\nSee example:\n192.168.20.1  or  "
         "192.168.20.1,192.168.20.3, "
         "..."},
        {CTL_DHCP_BOOT_FILE, "6?x|6?y",
         "Error: Boot File parameter collision.\nSame architecture was declared more than once\n"
         "<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>"},
        {CTL_DHCP_POOL_SIZE, "0", kMsgPoolNoLeasesDefined},
    };
    ASSERT_TRUE(Open());
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(c.text);
        QWidget* w = page->control(c.id);
        ASSERT_NE(w, nullptr);
        QString old;
        if (auto* le = qobject_cast<QLineEdit*>(w)) {
            old = le->text();
            le->setText(c.text);
        } else {
            auto* cb = qobject_cast<QComboBox*>(w);
            old = cb->currentText();
            cb->setEditText(c.text);
        }
        EXPECT_FALSE(Leave());
        EXPECT_EQ(BalloonText(), QString::fromLatin1(c.message));
        EXPECT_EQ(sheet->currentIndex(), kDhcpPageIndex);
        if (auto* le = qobject_cast<QLineEdit*>(w))
            le->setText(old);
        else
            qobject_cast<QComboBox*>(w)->setEditText(old);
    }
    // A pool of size 0 with a static lease that is switched off, then on.
    Ctl<QLineEdit>(CTL_DHCP_POOL_SIZE)->setText("0");
    Ctl<QCheckBox>(CTL_DHCP_STATIC_LEASES)->click();
    EXPECT_EQ(Edit("Static Leases", 0, "01:02:03:04:05:06|10.9.8.50"), 1);
    Ctl<QCheckBox>(CTL_DHCP_STATIC_LEASES)->click();
    EXPECT_FALSE(Leave());
    EXPECT_EQ(BalloonText(), kMsgPoolNoLeasesAvailable);
    Ctl<QCheckBox>(CTL_DHCP_STATIC_LEASES)->click();
    EXPECT_TRUE(Leave());
    EXPECT_EQ(BalloonText(), kMsgPoolWarning);
    EXPECT_EQ(CurrentBalloon()->title(), "Warning");
    EXPECT_EQ(DhcpPageTree(page), nullptr);  // the tree list goes with the page
}

// A pool that runs past its subnet is refused at the pool size with the DHCP server's own
// message (the record would not be stored by the service either); one that starts on the
// subnet's own address is refused at the pool's first address. Nothing is sent until it fits.
TEST_F(DhcpPageTest, APoolPastItsSubnetIsRefusedAtItsField)
{
    ASSERT_TRUE(Open());
    auto* pool = Ctl<QLineEdit>(CTL_DHCP_POOL);
    auto* size = Ctl<QLineEdit>(CTL_DHCP_POOL_SIZE);
    auto* mask = Ctl<QLineEdit>(CTL_DHCP_MASK);
    struct Case {
        const char* start;
        const char* size;
        const char* mask;
        QLineEdit* at;  // the field that shows the message; nullptr: accepted
    } cases[] = {
        {"10.99.1.0", "10991999", "255.255.0.0", size}, {"10.99.1.0", "65280", "/16", size},
        {"10.9.8.100", "156", "255.255.255.0", size},   {"10.99.0.0", "10", "/16", pool},
        {"10.99.1.0", "65279", "/16", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.start) + " + " + c.size + " in " + c.mask);
        BalloonClose();
        pool->setText(c.start);
        size->setText(c.size);
        mask->setText(c.mask);
        std::string expected;
        uint32_t maskValue = 0;
        ASSERT_TRUE(validateAddressSetting(1, c.mask, reinterpret_cast<uint8_t*>(&maskValue), 4, nullptr));
        const PoolFit fit = checkPoolInSubnet(Addr(c.start), std::stoi(c.size), maskValue, &expected);
        EXPECT_EQ(fit == POOL_FITS, c.at == nullptr);
        if (!c.at) {
            EXPECT_TRUE(sheet->pressOk());
            break;
        }
        EXPECT_FALSE(Leave());
        EXPECT_EQ(BalloonText().toStdString(), expected);
        EXPECT_EQ(sheet->focusWidget(), c.at);
        // The balloon points at the field.
        BalloonWindow* balloon = CurrentBalloon();
        ASSERT_NE(balloon, nullptr);
        const int middle = c.at->mapToGlobal(c.at->rect().center()).x();
        EXPECT_LE(balloon->geometry().left(), middle);
        EXPECT_GE(balloon->geometry().right(), middle);
        EXPECT_FALSE(sheet->pressOk());
        EXPECT_EQ(sheet->currentIndex(), kDhcpPageIndex);
    }
    const DhcpSettings sent = Sent();
    EXPECT_EQ(fake.Payloads(REQ_STORE_DHCP_SETTINGS).size(), 1u);
    EXPECT_STREQ(sent.DHCP_IP_Pool, "10.99.1.0");
    EXPECT_EQ(sent.DHCP_PoolSize, 65279);
    EXPECT_EQ(sent.SubnetMask, Addr("255.255.0.0"));
}

TEST_F(DhcpPageTest, ProxyNeedsANextServerAndABootFile)
{
    ASSERT_TRUE(Open());
    Ctl<QCheckBox>(CTL_DHCP_PROXY)->click();
    auto* next = Ctl<QComboBox>(CTL_DHCP_NEXT_SERVER);
    next->setCurrentIndex(next->findText("None"));
    EXPECT_FALSE(Leave());
    EXPECT_EQ(BalloonText(), kMsgProxyNextServer);
    next->setCurrentIndex(next->findText("Automatic"));
    Ctl<QLineEdit>(CTL_DHCP_BOOT_FILE)->setText("");
    EXPECT_FALSE(Leave());
    EXPECT_EQ(BalloonText(), kMsgProxyBootFile);
    // A user option 67 stands in for the boot file.
    EXPECT_EQ(Edit("DHCP Options", 0, "67|\\a.0"), 1);
    EXPECT_TRUE(Leave());
    const DhcpSettings& w = sheet->copies().dhcp;
    EXPECT_EQ(w.UserOptions[0].encoded[0], 0x43);
    EXPECT_EQ(w.UserOptions[0].encoded[1], 0);
    EXPECT_EQ(w.Option67Table.rows[0].code, 0x43);
    EXPECT_EQ(w.Option67Table.rows[0].length, 4);
    EXPECT_STREQ(w.Option67Table.rows[0].text, "\\a.0");
    EXPECT_EQ(w.DHCP_BootFile[0], 0);
    EXPECT_EQ(uint32_t(sheet->copies().settings.NIMBO_Services) & 0x304, 0x104u);
}

TEST_F(DhcpPageTest, BinlShowsAndStoresTheDefaultListOfTheModeChosen)
{
    DhcpSettings rec = BaseRecord();
    const std::string mode1 = DhcpDefaultBootFileList(1);
    CopyToField(rec.DHCP_BootFile, mode1);
    rec.BootFileTable = ArchBootTable{};
    validateBootFileSetting(rec.DHCP_BootFile, &rec.BootFileTable, nullptr);
    rec.BootFileTable.rows[0].present = 1;
    SetRecord(rec);
    ASSERT_TRUE(Open(0x205));
    auto* boot = Ctl<QLineEdit>(CTL_DHCP_BOOT_FILE);
    EXPECT_TRUE(Ctl<QCheckBox>(CTL_DHCP_BINL)->isChecked());
    EXPECT_EQ(boot->text().toStdString(), mode1);
    EXPECT_TRUE(boot->isReadOnly());
    EXPECT_FALSE(Tree()->inDisabledGroup(Row("BINL", 0)));
    EXPECT_EQ(Edit("BINL", 0, "3"), 1);
    const std::string mode3 = DhcpDefaultBootFileList(3);
    EXPECT_EQ(boot->text().toStdString(), mode3);
    ASSERT_TRUE(sheet->pressOk());

    DhcpSettings want = rec;
    CopyToField(want.BmModeText, "3");
    want.BmMode = 3;
    CopyToField(want.DHCP_BootFile, mode3);
    want.BootFileTable = ArchBootTable{};
    validateBootFileSetting(want.DHCP_BootFile, &want.BootFileTable, nullptr);
    ExpectSame(Sent(), want);
}

TEST_F(DhcpPageTest, BinlModeTwoIsRefusedAndTheTypedBootFileComesBack)
{
    // A boot file of 511 characters survives BINL being checked and unchecked.
    std::string longBoot = std::string(80, 'a');
    for (const char* key : {"1", "2", "3", "4"})
        longBoot += std::string("|") + key + "?" + std::string(80, 'b');
    longBoot += "|5?" + std::string(511 - longBoot.size() - 3, 'c');
    ASSERT_EQ(longBoot.size(), 511u);
    ASSERT_TRUE(Open(0x1 | 0x4));
    auto* boot = Ctl<QLineEdit>(CTL_DHCP_BOOT_FILE);
    boot->setText(QString::fromStdString(longBoot));
    Ctl<QCheckBox>(CTL_DHCP_BINL)->click();
    EXPECT_EQ(boot->text().toStdString(), DhcpDefaultBootFileList(1));
    EXPECT_EQ(CurrentBalloon(), nullptr);  // TFTP is on: no reminder
    Ctl<QCheckBox>(CTL_DHCP_BINL)->click();
    EXPECT_EQ(boot->text().toStdString(), longBoot);
    EXPECT_FALSE(boot->isReadOnly());

    Ctl<QCheckBox>(CTL_DHCP_BINL)->click();
    std::string message, bootFile;
    DhcpSettings& w = sheet->copies().dhcp;
    EXPECT_FALSE(ValidateDhcpTreeText(w, kDhcpTreeBmMode, 5, "2", true, &message, &bootFile));
    EXPECT_EQ(message, kMsgBmMode2);
    EXPECT_EQ(Edit("BINL", 0, "1"), 1);
    EXPECT_STREQ(w.BmModeText, "1");
}

TEST_F(DhcpPageTest, OkKeepsWhatBinlWroteWhileTheSheetWasOpen)
{
    ASSERT_TRUE(Open());
    // The BINL thread finds more boot programs meanwhile; the services send their record.
    DhcpSettings live = record;
    live.BootFileTable.rows[1].present = 1;
    live.BootFileTable.rows[1].sizeBlocks = 77;
    fake.Send(NOTICE_DHCP_SETTINGS, &live, sizeof live);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return std::memcmp(GuiConsole().model.dhcpSettings.data(), &live, sizeof live) == 0; }, 5000));
    Ctl<QLineEdit>(CTL_DHCP_DOMAIN)->setText("lab2");
    ASSERT_TRUE(sheet->pressOk());
    DhcpSettings want = live;
    CopyToField(want.DHCP_DomainName, "lab2");
    ExpectSame(Sent(), want);
}

}  // namespace

namespace {

TEST_F(DhcpPageTest, FieldsAreCheckedWhenTheyLoseTheFocus)
{
    ASSERT_TRUE(Open());
    // The offscreen platform lets a shown balloon take the activation: give it back.
    auto makeActive = [&] {
        return QTest::qWaitFor(
            [&] {
                sheet->activateWindow();
                return QApplication::activeWindow() == sheet;
            },
            5000);
    };
    auto activate = [&] {
        BalloonClose();
        return makeActive();
    };
    // Moves the focus from one field to another and lets the check run.
    auto leaveField = [&](QLineEdit* from, QWidget* to) {
        EXPECT_TRUE(makeActive());
        from->setFocus();
        to->setFocus();
        QTest::qWait(50);
    };
    ASSERT_TRUE(activate());
    auto* mask = Ctl<QLineEdit>(CTL_DHCP_MASK);
    auto* dns = Ctl<QLineEdit>(CTL_DHCP_DNS);
    mask->setText("255.0.255.0");
    leaveField(mask, dns);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return BalloonText() == "1-Format Error\nSubnet Mask option is invalid\nIncorrect bit pattern"; }, 5000));
    EXPECT_EQ(sheet->focusWidget(), mask);
    ASSERT_TRUE(activate());
    // The Cancel button takes the focus without a check.
    leaveField(mask, sheet->cancelButton());
    EXPECT_EQ(CurrentBalloon(), nullptr);
    // An accepted text is stored at once; an empty one clears the stored values.
    const DhcpSettings& w = sheet->copies().dhcp;
    mask->setText("/16");
    leaveField(mask, dns);
    EXPECT_TRUE(QTest::qWaitFor([&] { return FieldText(w.DHCP_IP_Mask) == "/16"; }, 5000));
    EXPECT_EQ(uint32_t(w.SubnetMask), Addr("255.255.0.0"));
    mask->setText("");
    leaveField(mask, dns);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.DHCP_IP_Mask[0] == 0; }, 5000));
    EXPECT_EQ(uint32_t(w.SubnetMask), 0u);
    dns->setText("");
    leaveField(dns, mask);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.DHCP_DNS[0] == 0; }, 5000));
    EXPECT_EQ(w.DnsOption[0], 0);
    auto* boot = Ctl<QLineEdit>(CTL_DHCP_BOOT_FILE);
    boot->setText("a b");
    leaveField(boot, dns);
    EXPECT_TRUE(QTest::qWaitFor([&] { return BalloonText().startsWith("Error: Boot File wrong format:\n"); }, 5000));
}

TEST_F(DhcpPageTest, HelpTextsAndTreeTips)
{
    ASSERT_TRUE(Open());
    page->showHelpFor(page->control(CTL_DHCP_PING));
    EXPECT_EQ(BalloonText(),
              "On init Nimbo will ping the entire IP address Pool before making\nits addresses available "
              "for assignation to DHCP clients.\nThis option must be disabled if PXE or DHCP relays are "
              "used");
    page->showHelpFor(page->control(CTL_DHCP_MASK_CODE));
    EXPECT_TRUE(BalloonText().startsWith("1 Subnet Mask DHCP option (RFC 2132)\n"));
    page->showHelpFor(page->control(CTL_DHCP_BIND_LIST));
    EXPECT_TRUE(BalloonText().startsWith("By default the DHCP services (when enabled) are bound"));
    Tree()->showHelp(TreeListFindItem(Tree()->tree(), nullptr, "Static Leases"));
    EXPECT_EQ(BalloonText(),
              "Static Leases group \nIt holds instances of pairs MAC | IP addresses \nfor MAC based fixed "
              "IP offerings.");
    Tree()->showHelp(Row("Static Leases", 3));
    EXPECT_EQ(BalloonText(),
              "Static Leases instance \nIt holds a pair MAC | IP address for a \nMAC based fixed IP "
              "offering.\ni.e. 01:02:03:04:05:06|192.168.20.25");
    Tree()->showHelp(Row("DHCP Options", 0));
    EXPECT_TRUE(BalloonText().startsWith("DHCP Options instance \n"));
    Tree()->showHelp(Row("BINL", 0));
    EXPECT_TRUE(BalloonText().contains("bootmgfw.efi"));
}

TEST_F(DhcpPageTest, FilterListFileAndTheTftpReminder)
{
    DhcpSettings rec = BaseRecord();
    rec.MacFilterFromFile = 1;
    rec.DHCP_ProcMacFilter = 1;
    SetRecord(rec);
    ASSERT_TRUE(Open(0x4));
    auto* policy = Ctl<QComboBox>(CTL_DHCP_POLICY);
    EXPECT_EQ(policy->count(), 4);
    EXPECT_EQ(policy->currentText(), "wl.def");
    EXPECT_FALSE(policy->isEnabled());
    EXPECT_TRUE(Tree()->inDisabledGroup(Row("MAC Filter", 0)));
    // BINL without the TFTP server gets a reminder.
    Ctl<QCheckBox>(CTL_DHCP_BINL)->click();
    ASSERT_NE(CurrentBalloon(), nullptr);
    EXPECT_EQ(CurrentBalloon()->title(), "Remember:");
    EXPECT_EQ(BalloonText(), kMsgBinlNeedsTftp);
    // The only service's switch cannot be unchecked.
    BalloonClose();
    Ctl<QCheckBox>(CTL_DHCP_SERVER)->click();
    EXPECT_TRUE(Ctl<QCheckBox>(CTL_DHCP_SERVER)->isChecked());
    EXPECT_EQ(BalloonText(), "At least one service has to be checked");
    ASSERT_TRUE(sheet->pressOk());
    const DhcpSettings sent = Sent();
    EXPECT_EQ(sent.DHCP_ProcMacFilter, 1);
    EXPECT_STREQ(sent.DHCP_BootFile, DhcpDefaultBootFileList(1).c_str());
}

}  // namespace
