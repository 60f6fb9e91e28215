#include "_gui/dhcp_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTabBar>
#include <QTreeWidget>
#include <arpa/inet.h>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "_gui/balloon.h"
#include "_gui/settings_sheet.h"
#include "_gui/tree_list.h"
#include "_services/dhcp/dhcp_settings.h"

namespace {

constexpr uint32_t kAutomatic = 0xFFFFFFFFu;
const char kAutomaticText[] = "Automatic";
const char kNoneText[] = "None";
const char kEditText[] = "Edit...";

// Help texts of the page's controls.
const char kHelpMask[] =
    "1 Subnet Mask DHCP option (RFC 2132)\nSpecifies the client's subnet mask as per RFC 950\n"
    "i.e. 255.255.255.0  or  /24";
const char kHelpStatic[] = "It enables the processing of the Static Leases list.";
const char kHelpProxy[] =
    "It turns the proxyDHCP on and off. During the proxyDHCP operation\nthe service offers PXE "
    "information only. IP addresses and other DHCP\nrelated info has to be provided by a "
    "different DHCP server";
const char kHelpPool[] =
    "First IP of a pool of consecutive addresses\navailable for assignation to DHCP clients.\n"
    "Offered IP addresses populate the DHCP\nheader \"yiaddr\" field (RFC 2131)";
const char kHelpNext[] =
    "DHCP header \"siaddr\" (Next Server) field (RFC 2131)\nIP of the TFTP hosting the Boot File "
    "on a PXE Server.\n Automatic:\tNimbo assigned IP (see Help)\n None:\t\t0.0.0.0 \n "
    "Edit...:\t\tUser typed IP";
const char kHelpPolicy[] =
    "It defines the policy rule to be applied on the \"MAC Filter\" list\n Off:\tDo not process "
    "the MAC Filter list\n Ignore:\tSilently drop request if client's MAC is in the list\n "
    "Accept:\tProcess request only if client's MAC is in the list";
const char kHelpPoolSize[] = "Number of consecutive IP addresses available\nfor assignation to DHCP clients";
const char kHelpBinl[] =
    "It turns the BINL Add-On on and off.\nBINL turns Windows installation media and other distributions into a "
    "menu-driven set of\nnetwork-bootable Windows assets (WIA) and non-Windows assets (NWA).\nIt requires the TFTP "
    "Server on. On restart the TFTP root is first filled with an empty\nasset structure and instruction files";
const char kHelpBoot[] =
    "DHCP header \"file\" field (RFC 2131)\nBoot image file name sent to DHCP client stations. PXE clients expect\na "
    "boot image file name during their initial DHCP transactions.\n[arch_0:]Bootfile_0[|arch_1:Bootfile_1]...[|arch_b:"
    "Bootfile_b]\ni.e.\npxenimbo.0\n0:pxenimbo.0\npxenimbo.0|6:\\EFI\\x86\\bootmgfw.efi|9:\\EFI\\x64\\bootmgfw.efi|a:"
    "\\EFI\\ARM\\bootmgfw.efi|b:\\EFI\\ARM64\\bootmgfw.efi\n\nSee RFC 4578 for Client System Architecture Type "
    "definitions.\nIf architecture is not prepended first Bootfile is considered default\n";
const char kHelpRouter[] =
    "3 Router DHCP option (RFC 2132)\nPreference-ordered list of IP addresses for routers on "
    "the\nclient's subnet. (this field can be empty if not required)\ni.e.  192.168.20.1  or  "
    "192.168.20.1,192.168.20.2, ...";
const char kHelpDns[] =
    "6 Domain Name Server DHCP option (RFC 2132)\nPreference-ordered list of name servers "
    "available to the\nclient. (this field can be empty if not required)\ni.e.  192.168.20.1  or  "
    "192.168.20.1,192.168.20.2, ...";
const char kHelpDomain[] =
    "15 Domain Name DHCP option (RFC 2132)\nDomain name that client should use when resolving\n"
    "hostnames. (this field can be empty if not required)\ni.e.  mydomain";
const char kHelpDhcp[] = "It turns the DHCP Server on and off ";
const char kHelpPersistent[] =
    "Nimbo will save every assigned IP address and its correspondent client\nMAC address "
    "into Nimbo.ini file. This table will be used in future\nrequests allowing the "
    "re-assignation of the same IP to the same DHCP\nclient identified by its MAC address";
const char kHelpBind[] =
    "By default the DHCP services (when enabled) are bound to all the available IP addresses.\n"
    "If you want to bind them to an specific IP address please check the box and select one of\n"
    "the available IP options";
const char kHelpPing[] =
    "On init Nimbo will ping the entire IP address Pool before making\nits addresses available "
    "for assignation to DHCP clients.\nThis option must be disabled if PXE or DHCP relays are used";

// Tree-list help balloons.
const char kTipOptionsGroup[] =
    "DHCP Options group \nIt holds instances of additional DHCP options \nreturned to DHCP "
    "clients.";
const char kTipLeasesGroup[] =
    "Static Leases group \nIt holds instances of pairs MAC | IP addresses \nfor MAC based "
    "fixed IP offerings.";
const char kTipFilterGroup[] =
    "MAC Filter group \nIt holds the MAC address list used \nby the MAC based service policy.";
const char kTipBinlGroup[] = "BINL Parameters group \nIt holds the BINL parameters used \nby Nimbo.";
const char kTipOption[] =
    "DHCP Options instance \nIt holds an additional DHCP option returned to DHCP clients.\nThe option must begin with "
    "its decimal code (0-255) immediately \nfollowed by the separator | and the option payload (w/o Length\nbyte). "
    "Option format depends on option's code.\ni.e.\t9|192.168.20.20\t9|192.168.20.20,192.168.20.25,...\n\t23|10\t\t18|"
    "/dhcp/moreoptions\n\t117|0,6,...\t99|0x1234567890abcdefABCDEF...\n\tetc.";
const char kTipLease[] =
    "Static Leases instance \nIt holds a pair MAC | IP address for a \nMAC based fixed IP "
    "offering.\ni.e. 01:02:03:04:05:06|192.168.20.25";
const char kTipFilter[] =
    "MAC Filter instance \nIt holds a MAC address of the form MAC[|MASK] to be processed\nby the MAC based service "
    "policy i.e.\n01:02:03:04:05:06  or\n00:01:02:03:04:05:06|FF:FF:FF:FF:00:00\nWhere every bit of the MASK set to 1 "
    "anchors as \"required for\nmatching\" the corresponding bit on the preceding MAC field";
const char kTipBmMode[] =
    "BM_Mode: boot programs per boot-manager mode and client platform\n"
    "Mode\tBIOS\t\tEFI32\t\tEFI64\t\tEFIARM32\tEFIARM64\n"
    "1\tpxenimbo.0\tpxenimbo.efi\tpxenimbo.efi\tnone\t\tnone\n"
    "3\tpxenimbo.0\tbootmgfw.efi\tbootmgfw.efi\tbootmgfw.efi\tbootmgfw.efi\n"
    "Mode 3 supports UEFI Secure Boot and ARM clients";

const char* GroupName(DhcpTreeGroup g)
{
    switch (g) {
    case DTG_OPTIONS: return "DHCP Options";
    case DTG_STATIC_LEASES: return "Static Leases";
    case DTG_MAC_FILTER: return "MAC Filter";
    default: return "BINL";
    }
}

bool StartsWith67(const char* text) { return std::strncmp(text, "67|", 3) == 0; }

bool HasOption67(const DhcpSettings& rec)
{
    for (const DhcpUserOption& o : rec.UserOptions)
        if (StartsWith67(o.text))
            return true;
    return false;
}

std::string DottedText(uint32_t networkOrder)
{
    char buf[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = networkOrder;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

int ModeOf(const DhcpSettings& rec) { return rec.BmModeText[0] == '3' && rec.BmModeText[1] == 0 ? 3 : 1; }

bool StoreUserOption(DhcpSettings& rec, int index, const char* text, std::string* message)
{
    DhcpUserOption& o = rec.UserOptions[index];
    if (!*text) {
        std::memset(&o, 0, sizeof o);
        if (!HasOption67(rec))
            rec.Option67Table = ArchBootTable{};
        return true;
    }
    if (StartsWith67(text)) {
        // Checked against the boot file's table; the option's own table is then parsed on
        // its own, so that its rows carry the option-67 code and lengths.
        auto compare = std::make_unique<ArchBootTable>();
        if (rec.DHCP_BootFile[0])
            *compare = rec.BootFileTable;
        if (!parseDhcpOption(text, reinterpret_cast<uint8_t*>(compare.get()), sizeof(ArchBootTable), message))
            return false;
        auto table = std::make_unique<ArchBootTable>();
        parseDhcpOption(text, reinterpret_cast<uint8_t*>(table.get()), sizeof(ArchBootTable), nullptr);
        rec.Option67Table = *table;
        CopyToField(o.text, text);
        std::memset(o.encoded, 0, sizeof o.encoded);
        o.encoded[0] = 0x43;
        return true;
    }
    uint8_t out[300] = {};
    if (!parseDhcpOption(text, out, sizeof out, message))
        return false;
    CopyToField(o.text, text);
    std::memset(o.encoded, 0, sizeof o.encoded);
    const size_t n = out[0] == 0 ? 4 : size_t(out[1]) + 2;
    std::memcpy(o.encoded, out, std::min(n, sizeof o.encoded));
    if (!HasOption67(rec))
        rec.Option67Table = ArchBootTable{};
    return true;
}

class DhcpPage : public SettingsPage {
public:
    explicit DhcpPage(SettingsSheet& sheet)
        : SettingsPage(sheet, "DHCP", "::/Using_Nimbo/Settings.html#DHCP", SVC_DHCP | SVC_PDHCP | SVC_BINL)
    {
        auto* grid = new QGridLayout(this);
        dhcp_ = add(CTL_DHCP_SERVER, new QCheckBox("DHCP Server", this));
        proxy_ = add(CTL_DHCP_PROXY, new QCheckBox("proxyDHCP", this));
        binl_ = add(CTL_DHCP_BINL, new QCheckBox("BINL", this));
        grid->addWidget(dhcp_, 0, 0);
        grid->addWidget(proxy_, 0, 1);
        grid->addWidget(binl_, 0, 2);
        bind_ = addBind(CTL_DHCP_BIND, "Bind DHCP to this address  ->", CTL_DHCP_BIND_LIST, "DHCP");
        grid->addWidget(bind_.box, 1, 0);
        grid->addWidget(bind_.list, 1, 1, 1, 2);
        ping_ = add(CTL_DHCP_PING, new QCheckBox("Ping IP before assignation", this));
        persistent_ = add(CTL_DHCP_PERSISTENT, new QCheckBox("Persistent Leases", this));
        static_ = add(CTL_DHCP_STATIC_LEASES, new QCheckBox("Static Leases", this));
        grid->addWidget(ping_, 2, 0);
        grid->addWidget(persistent_, 2, 1);
        grid->addWidget(static_, 2, 2);
        policyLabel_ = add(CTL_DHCP_POLICY_LABEL, new QLabel("MAC Filter", this));
        policy_ = add(CTL_DHCP_POLICY, new QComboBox(this));
        grid->addWidget(policyLabel_, 3, 0);
        grid->addWidget(policy_, 3, 1);

        int row = 4;
        auto field = [&](int labelId, const char* label, int id, int codeId, const char* code, int maxLength,
                         std::vector<QWidget*>* group) {
            auto* l = add(labelId, new QLabel(label, this));
            auto* f = add(id, new QLineEdit(this));
            auto* c = add(codeId, new QLabel(code, this));
            f->setMaxLength(maxLength);
            grid->addWidget(l, row, 0);
            grid->addWidget(f, row, 1);
            grid->addWidget(c, row, 2);
            ++row;
            group->insert(group->end(), {l, f, c});
            return f;
        };
        pool_ = field(CTL_DHCP_POOL_LABEL, "IP Pool 1st addr", CTL_DHCP_POOL, CTL_DHCP_POOL_CODE, "(yiaddr)", 15,
                      &dhcpOnly_);
        auto* sizeLabel = add(CTL_DHCP_POOL_SIZE_LABEL, new QLabel("Pool size", this));
        size_ = add(CTL_DHCP_POOL_SIZE, new QLineEdit(this));
        size_->setValidator(new QRegularExpressionValidator(QRegularExpression("\\d{0,10}"), size_));
        grid->addWidget(sizeLabel, row, 0);
        grid->addWidget(size_, row++, 1);
        dhcpOnly_.insert(dhcpOnly_.end(), {sizeLabel, size_});
        auto* nextLabel = add(CTL_DHCP_NEXT_SERVER_LABEL, new QLabel("Next Server", this));
        next_ = add(CTL_DHCP_NEXT_SERVER, new QComboBox(this));
        next_->setEditable(true);
        next_->lineEdit()->setMaxLength(15);
        auto* nextCode = add(CTL_DHCP_NEXT_SERVER_CODE, new QLabel("(siaddr)", this));
        grid->addWidget(nextLabel, row, 0);
        grid->addWidget(next_, row, 1);
        grid->addWidget(nextCode, row++, 2);
        anyDhcp_.insert(anyDhcp_.end(), {nextLabel, next_, nextCode});
        boot_ = field(CTL_DHCP_BOOT_FILE_LABEL, "Boot File", CTL_DHCP_BOOT_FILE, CTL_DHCP_BOOT_FILE_CODE, "(file)",
                      int(sizeof(DhcpSettings::DHCP_BootFile)) - 1, &anyDhcp_);
        mask_ = field(CTL_DHCP_MASK_LABEL, "Subnet Mask", CTL_DHCP_MASK, CTL_DHCP_MASK_CODE, "(1)", 15, &dhcpOnly_);
        router_ = field(CTL_DHCP_ROUTER_LABEL, "Router", CTL_DHCP_ROUTER, CTL_DHCP_ROUTER_CODE, "(3)", 268, &dhcpOnly_);
        dns_ = field(CTL_DHCP_DNS_LABEL, "Domain Name Server", CTL_DHCP_DNS, CTL_DHCP_DNS_CODE, "(6)", 268, &dhcpOnly_);
        domain_ =
            field(CTL_DHCP_DOMAIN_LABEL, "Domain Name", CTL_DHCP_DOMAIN, CTL_DHCP_DOMAIN_CODE, "(15)", 126, &dhcpOnly_);
        dhcpOnly_.insert(dhcpOnly_.end(), {static_, ping_, persistent_});
        treeHost_ = new QWidget(this);
        treeHost_->setObjectName("dhcpTreeHost");
        treeHost_->setMinimumSize(330, 130);
        grid->addWidget(treeHost_, row, 0, 1, 3);
        grid->setRowStretch(row, 1);

        // The two DHCP switches exclude each other.
        connect(dhcp_, &QCheckBox::clicked, this, [this](bool on) {
            if (on)
                proxy_->setChecked(false);
        });
        connect(proxy_, &QCheckBox::clicked, this, [this](bool on) {
            if (on)
                dhcp_->setChecked(false);
        });
        connectServiceSwitch(dhcp_, [this] { return proxy_->isChecked(); });
        connectServiceSwitch(proxy_, [this] { return dhcp_->isChecked(); });
        connect(binl_, &QCheckBox::clicked, this, [this](bool on) { binlClicked(on); });
        connect(static_, &QCheckBox::clicked, this, [this] { updateEnabled(); });
        connect(policy_, QOverload<int>::of(&QComboBox::activated), this, [this] { updateEnabled(); });
        connect(next_, QOverload<int>::of(&QComboBox::activated), this, [this](int i) {
            if (next_->itemText(i) == kEditText) {
                next_->setEditText(QString());
                next_->lineEdit()->setFocus();
            }
        });

        addFocusCheck(mask_, [this] { return storeMask(true); });
        addFocusCheck(pool_, [this] { return storePool(true); });
        addFocusCheck(dns_, [this] { return storeList(dns_, 6, true); });
        addFocusCheck(router_, [this] { return storeList(router_, 3, true); });
        addFocusCheck(boot_, [this] { return storeBootFile(); });

        setHelpText({CTL_DHCP_MASK, CTL_DHCP_MASK_LABEL, CTL_DHCP_MASK_CODE}, kHelpMask);
        setHelpText({CTL_DHCP_STATIC_LEASES}, kHelpStatic);
        setHelpText({CTL_DHCP_PROXY}, kHelpProxy);
        setHelpText({CTL_DHCP_POOL_LABEL, CTL_DHCP_POOL, CTL_DHCP_POOL_CODE}, kHelpPool);
        setHelpText({CTL_DHCP_NEXT_SERVER, CTL_DHCP_NEXT_SERVER_LABEL, CTL_DHCP_NEXT_SERVER_CODE}, kHelpNext);
        setHelpText({CTL_DHCP_POLICY_LABEL, CTL_DHCP_POLICY}, kHelpPolicy);
        setHelpText({CTL_DHCP_POOL_SIZE_LABEL, CTL_DHCP_POOL_SIZE}, kHelpPoolSize);
        setHelpText({CTL_DHCP_BINL}, kHelpBinl);
        setHelpText({CTL_DHCP_BOOT_FILE_LABEL, CTL_DHCP_BOOT_FILE, CTL_DHCP_BOOT_FILE_CODE}, kHelpBoot);
        setHelpText({CTL_DHCP_ROUTER_LABEL, CTL_DHCP_ROUTER, CTL_DHCP_ROUTER_CODE}, kHelpRouter);
        setHelpText({CTL_DHCP_DNS_LABEL, CTL_DHCP_DNS, CTL_DHCP_DNS_CODE}, kHelpDns);
        setHelpText({CTL_DHCP_DOMAIN_LABEL, CTL_DHCP_DOMAIN, CTL_DHCP_DOMAIN_CODE}, kHelpDomain);
        setHelpText({CTL_DHCP_SERVER}, kHelpDhcp);
        setHelpText({CTL_DHCP_PERSISTENT}, kHelpPersistent);
        setHelpText({CTL_DHCP_BIND, CTL_DHCP_BIND_LIST}, kHelpBind);
        setHelpText({CTL_DHCP_PING}, kHelpPing);
        for (int id : kDhcpPageControls)
            if (id != CTL_DHCP_BIND && id != CTL_DHCP_BIND_LIST)
                control(id)->installEventFilter(this);
    }
    ~DhcpPage() override { destroyTree(); }

    TreeList* tree() const { return tree_; }

    void load() override
    {
        const DhcpSettings& rec = dhcp();
        const GlobalSettings& gs = settings();
        const uint32_t mask = uint32_t(gs.NIMBO_Services);
        buildTree();

        policy_->clear();
        policy_->addItems({"off", "ignore", "accept"});
        if (rec.MacFilterFromFile) {
            policy_->addItem(rec.DHCP_ProcMacFilter == 1 ? "wl.def" : "bl.def");
            policy_->setCurrentIndex(3);
        } else {
            policy_->setCurrentIndex(rec.DHCP_ProcMacFilter >= 0 && rec.DHCP_ProcMacFilter <= 2 ? rec.DHCP_ProcMacFilter
                                                                                                : 0);
        }
        next_->clear();
        next_->addItems({kAutomaticText, kNoneText});
        if (rec.NextServer != kAutomatic && rec.NextServer != 0)
            next_->addItem(QString::fromLocal8Bit(FieldText(rec.DHCP_IP_NextServer)));
        next_->addItem(kEditText);
        next_->setCurrentIndex(rec.NextServer == kAutomatic ? 0 : rec.NextServer == 0 ? 1 : 2);
        static_->setChecked(rec.DHCP_ProcStatLeases != 0);

        proxy_->setChecked(mask & SVC_PDHCP);
        dhcp_->setChecked((mask & SVC_DHCP) && !(mask & SVC_PDHCP));
        binl_->setChecked(mask & SVC_BINL);

        ping_->setChecked(gs.DHCP_PingAddress != 0);
        persistent_->setChecked(gs.DHCP_PersistantLeases != 0);
        loadBind(bind_, gs.DHCP_LocalIP, sizeof gs.DHCP_LocalIP);
        pool_->setText(rec.PoolStart ? QString::fromStdString(DottedText(rec.PoolStart)) : QString());
        mask_->setText(rec.SubnetMask ? QString::fromLocal8Bit(FieldText(rec.DHCP_IP_Mask)) : QString());
        dns_->setText(QString::fromLocal8Bit(FieldText(rec.DHCP_DNS)));
        router_->setText(QString::fromLocal8Bit(FieldText(rec.DHCP_DefaultGateway)));
        boot_->setText(binl_->isChecked() ? QString::fromStdString(DhcpDefaultBootFileList(ModeOf(rec)))
                                          : QString::fromLocal8Bit(FieldText(rec.DHCP_BootFile)));
        size_->setText(QString::number(rec.DHCP_PoolSize));
        domain_->setText(QString::fromLocal8Bit(FieldText(rec.DHCP_DomainName)));
    }

    void updateEnabled() override
    {
        const bool d = dhcp_->isChecked();
        const bool p = proxy_->isChecked();
        const bool any = d || p;
        const bool fromFile = dhcp().MacFilterFromFile != 0;
        for (QWidget* w : dhcpOnly_)
            w->setEnabled(d && !p);
        for (QWidget* w : anyDhcp_)
            w->setEnabled(any);
        binl_->setEnabled(any);
        enableBind(bind_, any);
        policy_->setEnabled(any && !fromFile);
        policyLabel_->setEnabled(any);
        boot_->setReadOnly(binl_->isChecked());
        if (!tree_)
            return;
        setGroup(DTG_STATIC_LEASES, d && !p && static_->isChecked());
        setGroup(DTG_OPTIONS, any);
        setGroup(DTG_MAC_FILTER, any && !fromFile && policy_->currentIndex() > 0);
        setGroup(DTG_BINL, any && binl_->isChecked());
    }

    bool store() override
    {
        DhcpSettings& rec = dhcp();
        GlobalSettings& gs = settings();
        // 1. Switches, policy, static leases.
        storeServiceBit(SVC_DHCP | SVC_PDHCP | SVC_BINL, false);
        if (proxy_->isChecked())
            storeServiceBit(SVC_DHCP | SVC_PDHCP, true);
        else if (dhcp_->isChecked())
            storeServiceBit(SVC_DHCP, true);
        storeServiceBit(SVC_BINL, binl_->isChecked());
        if (!rec.MacFilterFromFile && policy_->currentIndex() >= 0 && policy_->currentIndex() <= 2)
            rec.DHCP_ProcMacFilter = policy_->currentIndex();
        if (static_->isChecked() != (rec.DHCP_ProcStatLeases != 0))
            rec.DHCP_ProcStatLeases = static_->isChecked() ? 1 : 0;
        // 2. The tree list's pending edit (it shows its own message).
        if (tree_ && TreeListValidate(tree_) == 0)
            return false;
        // 3. Next server.
        if (!storeNextServer())
            return false;
        // 4. Binding, ping, persistent leases, pool size.
        storeBind(bind_, gs.DHCP_LocalIP, sizeof gs.DHCP_LocalIP);
        if (ping_->isChecked() != (gs.DHCP_PingAddress != 0))
            gs.DHCP_PingAddress = ping_->isChecked() ? 1 : 0;
        if (persistent_->isChecked() != (gs.DHCP_PersistantLeases != 0))
            gs.DHCP_PersistantLeases = persistent_->isChecked() ? 1 : 0;
        int32_t poolSize = 0;
        if (!size_->text().isEmpty() && !storeNumber(size_, &poolSize, 0, 0x7FFFFFFF, kMsgPoolSize))
            return false;
        rec.DHCP_PoolSize = poolSize;
        // 5. The DHCP server's own fields; the pool lies inside its subnet, as the service
        // requires of a record it stores.
        if (dhcp_->isChecked() &&
            (!storePool(false) || !storeMask(false) || !storeList(dns_, 6, false) || !storeList(router_, 3, false)))
            return false;
        if (dhcp_->isChecked()) {
            std::string message;
            switch (checkPoolInSubnet(rec.PoolStart, rec.DHCP_PoolSize, rec.SubnetMask, &message)) {
            case POOL_FITS: break;
            case POOL_START_NOT_HOST: return fail(pool_, QString::fromStdString(message));
            case POOL_PAST_SUBNET: return fail(size_, QString::fromStdString(message));
            }
        }
        // 6. Boot file; 7. proxyDHCP needs one.
        if (!storeBootFile())
            return false;
        if (proxy_->isChecked() && !rec.DHCP_BootFile[0] && !HasOption67(rec))
            return fail(boot_, kMsgProxyBootFile);
        // 8. Domain name.
        const std::string domain = domain_->text().toStdString();
        if (domain != FieldText(rec.DHCP_DomainName))
            CopyToField(rec.DHCP_DomainName, domain);
        // 9. A pool of size 0 needs usable static leases.
        const bool leases = hasStaticLeases(rec) != 0;
        if (rec.DHCP_PoolSize != 0 || !dhcp_->isChecked() || (static_->isChecked() && leases)) {
            if (rec.DHCP_PoolSize == 0 && dhcp_->isChecked()) {
                QTabBar* tabs = sheet().tabBar();
                const QRect tab = tabs->tabRect(3);
                const QPoint at = tabs->mapToGlobal(QPoint(tab.center().x(), tab.top() + tab.height() * 3 / 4));
                ShowBalloon("Warning", kMsgPoolWarning, tabs, &sheet(), BALLOON_ICON_WARNING, true, 0, at, false);
            }
            destroyTree();
            return true;
        }
        return fail(size_, leases ? kMsgPoolNoLeasesAvailable : kMsgPoolNoLeasesDefined);
    }

    void cancel() override { destroyTree(); }

private:
    void buildTree()
    {
        destroyTree();
        tree_ = TreeListCreate(
            treeHost_, CTL_DHCP_TREE, CTL_DHCP_TREE_HEADER, nullptr,
            TLF_BORDER | TLF_NO_HEADER | TLF_FOLLOW_WIDTH | TLF_FOLLOW_HEIGHT,
            [this](TreeList*, const TreeListItemDesc* d, const char* text, TreeListReplacement*) {
                return validateTreeItem(d, text);
            },
            [this](TreeList*, const TreeListItemDesc* d, QPoint at) { treeTooltip(d, at); });
        tree_->addFocusExempt(sheet().cancelButton());
        TreeListAddColumn(tree_, "Variable", 110);
        TreeListAddColumn(tree_, "Value", 0);
        DhcpSettings& rec = dhcp();
        auto group = [this](DhcpTreeGroup g) {
            TreeListItemDesc d;
            d.type = TL_GROUP;
            d.id = uint32_t(g) << 8;
            d.name = GroupName(g);
            return TreeListAddItem(tree_, nullptr, &d);
        };
        static const std::array<std::string, 10> names = [] {
            std::array<std::string, 10> n;
            for (int i = 0; i < 10; ++i)
                n[size_t(i)] = "  opt_" + std::to_string(i + 1);
            return n;
        }();
        auto items = [&](DhcpTreeGroup g, auto textOf, uint32_t size) {
            TreeListNode* parent = group(g);
            for (int i = 0; i < 10; ++i) {
                TreeListItemDesc d;
                d.type = TL_EDIT;
                d.id = DhcpTreeItemId(g, i + 1);
                d.name = names[size_t(i)].c_str();
                d.valueSource = textOf(i);
                d.valueSize = size;
                TreeListAddItem(tree_, parent, &d);
            }
        };
        TreeListNode* binl = group(DTG_BINL);
        TreeListItemDesc mode;
        mode.type = TL_LIST;
        mode.id = kDhcpTreeBmMode;
        mode.name = "BM_Mode";
        mode.valueSource = rec.BmModeText;
        mode.valueSize = sizeof rec.BmModeText;
        mode.choices = {"1", "3"};
        TreeListAddItem(tree_, binl, &mode);
        items(
            DTG_OPTIONS, [&](int i) { return rec.UserOptions[i].text; }, sizeof(DhcpUserOption::text));
        items(
            DTG_MAC_FILTER, [&](int i) { return rec.MacFilters[i].text; }, sizeof(DhcpMacFilter::text));
        items(
            DTG_STATIC_LEASES, [&](int i) { return rec.StaticLeases[i].text; }, sizeof(DhcpStaticLease::text));
        tree_->tree()->expandAll();
    }

    void destroyTree()
    {
        if (tree_)
            TreeListDestroy(tree_);
        tree_ = nullptr;
    }

    void setGroup(DhcpTreeGroup g, bool on)
    {
        if (on)
            TreeListEnableGroup(tree_, GroupName(g));
        else
            TreeListDisableGroup(tree_, GroupName(g));
    }

    int validateTreeItem(const TreeListItemDesc* d, const char* text)
    {
        std::string message;
        std::string bootFile;
        if (ValidateDhcpTreeText(dhcp(), d->id, d->valueSize, text, binl_->isChecked(), &message, &bootFile)) {
            if (!bootFile.empty())
                boot_->setText(QString::fromStdString(bootFile));
            return 1;
        }
        QWidget* at = tree_->editor() ? tree_->editor() : static_cast<QWidget*>(tree_->tree());
        ShowBalloon(QString(), QString::fromStdString(message), at, &sheet(), BALLOON_ICON_NONE, true, 0, std::nullopt,
                    false);
        return 0;
    }

    void treeTooltip(const TreeListItemDesc* d, QPoint at)
    {
        if (!d || !tree_)
            return;
        const char* text = nullptr;
        if (d->type == TL_GROUP) {
            switch (d->id >> 8) {
            case DTG_OPTIONS: text = kTipOptionsGroup; break;
            case DTG_STATIC_LEASES: text = kTipLeasesGroup; break;
            case DTG_MAC_FILTER: text = kTipFilterGroup; break;
            default: text = kTipBinlGroup; break;
            }
        } else if (d->id == kDhcpTreeBmMode) {
            text = kTipBmMode;
        } else {
            switch (d->id >> 8) {
            case DTG_OPTIONS: text = kTipOption; break;
            case DTG_STATIC_LEASES: text = kTipLease; break;
            default: text = kTipFilter; break;
            }
        }
        const QPoint global = tree_->tree()->viewport()->mapToGlobal(at);
        ShowBalloon(QString(), text, treeHost_, &sheet(), BALLOON_ICON_INFO, true, 0, global, false);
    }

    void binlClicked(bool on)
    {
        if (on) {
            CopyToField(savedBootFile_, boot_->text().toLocal8Bit().toStdString());
            haveSaved_ = true;
            boot_->setText(QString::fromStdString(DhcpDefaultBootFileList(ModeOf(dhcp()))));
            if (!(uint32_t(settings().NIMBO_Services) & SVC_TFTP_SERVER))
                ShowBalloon("Remember:", kMsgBinlNeedsTftp, binl_, &sheet(), BALLOON_ICON_INFO, true, 0, std::nullopt,
                            false);
        } else if (haveSaved_) {
            boot_->setText(QString::fromLocal8Bit(FieldText(savedBootFile_)));
        }
        updateEnabled();
    }

    bool storeNextServer()
    {
        DhcpSettings& rec = dhcp();
        const std::string text = next_->currentText().toStdString();
        uint32_t value = 0;
        if (text == kAutomaticText) {
            value = kAutomatic;
        } else if (text == kNoneText) {
            if (proxy_->isChecked())
                return fail(next_, kMsgProxyNextServer);
        } else {
            std::string message;
            if (!validateAddressSetting(0, text.c_str(), reinterpret_cast<uint8_t*>(&value), sizeof value, &message))
                return fail(next_, QString::fromStdString(message));
        }
        const bool sameAddress = value == kAutomatic || value == 0 || text == FieldText(rec.DHCP_IP_NextServer);
        if (value != rec.NextServer || !sameAddress) {
            CopyToField(rec.DHCP_IP_NextServer, text);
            rec.NextServer = value;
        }
        return true;
    }

    // One address: pool start (kind 0) or subnet mask (kind 1), each a text and its value.
    // On losing the focus an empty text clears the stored values.
    bool storeAddress(QLineEdit* field, int kind, size_t textOffset, size_t valueOffset, bool focusOut)
    {
        auto* rec = reinterpret_cast<uint8_t*>(&dhcp());
        char* stored = reinterpret_cast<char*>(rec + textOffset);
        constexpr size_t kTextSize = sizeof(DhcpSettings::DHCP_IP_Pool);
        const std::string text = field->text().toStdString();
        uint32_t value = 0;
        if (!focusOut || !text.empty()) {
            std::string message;
            if (!validateAddressSetting(kind, text.c_str(), reinterpret_cast<uint8_t*>(&value), sizeof value, &message))
                return fail(field, QString::fromStdString(message));
        }
        if (text != FieldText(stored, kTextSize) || std::memcmp(rec + valueOffset, &value, sizeof value) != 0) {
            CopyToField(stored, kTextSize, text);
            std::memcpy(rec + valueOffset, &value, sizeof value);
        }
        return true;
    }
    bool storePool(bool focusOut)
    {
        return storeAddress(pool_, 0, offsetof(DhcpSettings, DHCP_IP_Pool), offsetof(DhcpSettings, PoolStart),
                            focusOut);
    }
    bool storeMask(bool focusOut)
    {
        return storeAddress(mask_, 1, offsetof(DhcpSettings, DHCP_IP_Mask), offsetof(DhcpSettings, SubnetMask),
                            focusOut);
    }

    // DNS (kind 6) or router (kind 3) list; an empty text clears text and encoding.
    bool storeList(QLineEdit* field, int kind, bool)
    {
        DhcpSettings& rec = dhcp();
        char* stored = kind == 6 ? rec.DHCP_DNS : rec.DHCP_DefaultGateway;
        uint8_t* encoding = kind == 6 ? rec.DnsOption : rec.RouterOption;
        constexpr size_t kSize = sizeof(DhcpSettings::DnsOption);
        const std::string text = field->text().toStdString();
        uint8_t out[kSize] = {};
        std::string message;
        if (!text.empty() && !validateAddressSetting(kind, text.c_str(), out, kSize, &message))
            return fail(field, QString::fromStdString(message));
        if (text != FieldText(stored, kSize) || std::memcmp(out, encoding, kSize) != 0) {
            CopyToField(stored, kSize, text);
            std::memcpy(encoding, out, kSize);
        }
        return true;
    }

    // The boot file must agree with a user option 67; the stored table is parsed on its own.
    bool storeBootFile()
    {
        DhcpSettings& rec = dhcp();
        const std::string text = boot_->text().toLocal8Bit().toStdString();
        if (text.empty()) {
            if (rec.DHCP_BootFile[0]) {
                CopyToField(rec.DHCP_BootFile, "");
                rec.BootFileTable = ArchBootTable{};
            }
            return true;
        }
        auto compare = std::make_unique<ArchBootTable>();
        if (HasOption67(rec))
            *compare = rec.Option67Table;
        std::string message;
        if (!validateBootFileSetting(text.c_str(), compare.get(), &message))
            return fail(boot_, QString::fromStdString(message));
        if (text != FieldText(rec.DHCP_BootFile)) {
            auto table = std::make_unique<ArchBootTable>();
            validateBootFileSetting(text.c_str(), table.get(), nullptr);
            CopyToField(rec.DHCP_BootFile, text);
            rec.BootFileTable = *table;
        }
        return true;
    }

    QCheckBox* dhcp_ = nullptr;
    QCheckBox* proxy_ = nullptr;
    QCheckBox* binl_ = nullptr;
    QCheckBox* ping_ = nullptr;
    QCheckBox* persistent_ = nullptr;
    QCheckBox* static_ = nullptr;
    BindControls bind_;
    QLabel* policyLabel_ = nullptr;
    QComboBox* policy_ = nullptr;
    QComboBox* next_ = nullptr;
    QLineEdit* pool_ = nullptr;
    QLineEdit* size_ = nullptr;
    QLineEdit* boot_ = nullptr;
    QLineEdit* mask_ = nullptr;
    QLineEdit* router_ = nullptr;
    QLineEdit* dns_ = nullptr;
    QLineEdit* domain_ = nullptr;
    QWidget* treeHost_ = nullptr;
    TreeList* tree_ = nullptr;
    std::vector<QWidget*> dhcpOnly_;  // enabled with the DHCP server only
    std::vector<QWidget*> anyDhcp_;   // enabled with the DHCP server or proxyDHCP
    // The user's boot file while BINL fills the field; the page lives as long as the sheet.
    char savedBootFile_[sizeof(DhcpSettings::DHCP_BootFile)] = {};
    bool haveSaved_ = false;
};

}  // namespace

QString DhcpEntryTooLong(uint32_t size)
{
    return QString("Format Error\nEntry too long: at most %1 characters").arg(size - 1);
}

std::string DhcpDefaultBootFileList(int mode)
{
    const DefaultLists lists = BuildDefaultLists();
    return mode == 3 ? lists.bootManager : lists.biosEfi;
}

bool ValidateDhcpTreeText(DhcpSettings& rec, uint32_t id, uint32_t fieldSize, const char* text, bool binlOn,
                          std::string* message, std::string* bootFile)
{
    if (fieldSize && std::strlen(text) >= fieldSize) {
        *message = DhcpEntryTooLong(fieldSize).toStdString();
        return false;
    }
    const int index = int(id & 0xFF) - 1;
    if (id == kDhcpTreeBmMode) {
        long long mode = 0;
        ParseLeadingInt(text, &mode);
        if (mode == 2) {
            *message = kMsgBmMode2;
            return false;
        }
        CopyToField(rec.BmModeText, text);
        if (mode == 1 || mode == 3) {
            rec.BmMode = int32_t(mode);
            if (binlOn)
                *bootFile = DhcpDefaultBootFileList(int(mode));
        }
        return true;
    }
    if (index < 0 || index >= 10)
        return false;
    switch (id >> 8) {
    case DTG_OPTIONS: return StoreUserOption(rec, index, text, message);
    case DTG_STATIC_LEASES: {
        DhcpStaticLease& lease = rec.StaticLeases[index];
        if (!*text) {
            std::memset(&lease, 0, sizeof lease);
            return true;
        }
        uint8_t out[10] = {};
        if (!parseStaticLeaseEntry(text, out, message))
            return false;
        CopyToField(lease.text, text);
        std::memcpy(lease.mac, out, 6);
        std::memcpy(&lease.address, out + 6, 4);
        return true;
    }
    case DTG_MAC_FILTER: {
        DhcpMacFilter& filter = rec.MacFilters[index];
        if (!*text) {
            std::memset(&filter, 0, sizeof filter);
            return true;
        }
        uint64_t mac = 0, mask = 0;
        if (!parseMacFilterEntry(text, &mac, &mask, message))
            return false;
        CopyToField(filter.text, text);
        filter.mac = mac;
        filter.mask = mask;
        return true;
    }
    default: return false;
    }
}

TreeList* DhcpPageTree(SettingsPage* page)
{
    auto* p = dynamic_cast<DhcpPage*>(page);
    return p ? p->tree() : nullptr;
}

SettingsPage* CreateDhcpPage(SettingsSheet& sheet) { return new DhcpPage(sheet); }
