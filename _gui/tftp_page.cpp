// The TFTP page of the settings sheet: the server's and the client's switches and the
// server's settings.
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "_gui/balloon.h"
#include "_gui/console_client.h"
#include "_gui/pickers.h"
#include "_gui/settings_page.h"
#include "_gui/settings_sheet.h"
#include "_services/tftp_errsim.h"

namespace {

constexpr const char* kMsgPositive = "Parameter has to be a numeric value greater than 0";
constexpr const char* kMsgBlksize =
    "Parameter must be a numeric value between 8 and 16384.\nAvoid values > MTU-32; they lead to IP fragmentation.\n"
    "i.e. use 1468 when MTU=1500";
constexpr const char* kMsgWindowsize = "Parameter must be a numeric value between 1 and 64\ni.e. 16";
constexpr const char* kMsgErrSim =
    "Wrong format; try i.e.\nfix|block1,block2,...,block10\neven|nErrors\nrandom|nErrors\nwhere:\n"
    "0 < blockN < 4294967296\n0 < nErrors < 11";
constexpr const char* kMsgPool =
    "Parameter has to be expressed as P_low : P_high\nwhere P_low & P_high are numeric values between\n"
    "1 and 65535 verifying that P_low <= P_high.\nWhen 0:0 the OS assigns the ports automatically.";

class TftpPage : public SettingsPage {
public:
    explicit TftpPage(SettingsSheet& sheet)
        : SettingsPage(sheet, "TFTP", "::/Using_Nimbo/Settings.html#TFTP", SVC_TFTP_SERVER | SVC_TFTP_CLIENT)
    {
        auto* grid = new QGridLayout(this);
        server_ = add(CTL_TFTP_SERVER, new QCheckBox("TFTP Server", this));
        client_ = add(CTL_TFTP_CLIENT, new QCheckBox("TFTP Client", this));
        grid->addWidget(server_, 0, 0);
        grid->addWidget(client_, 0, 1);
        bind_ = addBind(CTL_TFTP_BIND, "Bind TFTP to this address  ->", CTL_TFTP_BIND_LIST, "TFTP");
        grid->addWidget(bind_.box, 1, 0);
        grid->addWidget(bind_.list, 1, 1, 1, 2);

        root_ = addFolderField(CTL_TFTP_ROOT, sizeof(GlobalSettings::TFTP_RootDirectory));
        browse_ = addButton(CTL_TFTP_BROWSE, "&Browse");
        grid->addWidget(addDependent(addLabel(CTL_TFTP_ROOT_LABEL, "Base Directory")), 2, 0);
        grid->addWidget(root_, 2, 1);
        grid->addWidget(browse_, 2, 2);

        auto* security = new QGroupBox("TFTP Security", this);
        auto* securityLayout = new QVBoxLayout(security);
        const char* const levels[4] = {"None", "Standard", "High", "Read Only"};
        const int levelIds[4] = {CTL_TFTP_SECURITY_NONE, CTL_TFTP_SECURITY_STANDARD, CTL_TFTP_SECURITY_HIGH,
                                 CTL_TFTP_SECURITY_READ_ONLY};
        for (int i = 0; i < 4; ++i) {
            levels_[i] = add(levelIds[i], new QRadioButton(levels[i], security));
            securityLayout->addWidget(levels_[i]);
        }
        grid->addWidget(addDependent(security), 3, 0, 5, 1);

        timeout_ = numberRow(grid, 3, CTL_TFTP_TIMEOUT_LABEL, "Timeout (seconds)", CTL_TFTP_TIMEOUT);
        retransmit_ = numberRow(grid, 4, CTL_TFTP_RETRANSMIT_LABEL, "Max Retransmit", CTL_TFTP_RETRANSMIT);
        port_ = numberRow(grid, 5, CTL_TFTP_PORT_LABEL, "TFTP port", CTL_TFTP_PORT);
        blksize_ = numberRow(grid, 6, CTL_TFTP_BLKSIZE_LABEL, "Max blocksize (RFC 2348)", CTL_TFTP_BLKSIZE);
        windowsize_ = numberRow(grid, 7, CTL_TFTP_WINDOWSIZE_LABEL, "Max windowsize (RFC 7440)", CTL_TFTP_WINDOWSIZE);
        pool_ = numberRow(grid, 8, CTL_TFTP_POOL_LABEL, "Local ports pool", CTL_TFTP_POOL);

        errSimBox_ = addDependent(add(CTL_TFTP_ERRSIM, new QCheckBox("Error Simulator", this)));
        errSim_ = add(CTL_TFTP_ERRSIM_TEXT, new QLineEdit(this));
        errSim_->setMaxLength(static_cast<int>(sizeof(GlobalSettings::TFTP_ErrorSimulator)) - 1);
        grid->addWidget(errSimBox_, 9, 0);
        grid->addWidget(errSim_, 9, 1, 1, 2);

        translate_ = addDependent(add(CTL_TFTP_TRANSLATE, new QCheckBox("Translate Unix file names", this)));
        virtualRoot_ = addDependent(add(CTL_TFTP_VIRTUAL_ROOT, new QCheckBox("Use a backslash as virtual root", this)));
        dirText_ = addDependent(add(CTL_TFTP_DIR_TXT, new QCheckBox("Create \"dir.txt\" files", this)));
        md5_ = addDependent(add(CTL_TFTP_MD5, new QCheckBox("Create md5 files", this)));
        grid->addWidget(translate_, 10, 0);
        grid->addWidget(virtualRoot_, 10, 1);
        grid->addWidget(dirText_, 11, 0);
        grid->addWidget(md5_, 11, 1);
        grid->setRowStretch(12, 1);

        // Boxes of the page that are never shown; their fields pass through unchanged.
        hidden_[0] = add(CTL_TFTP_HIDE_WINDOW, new QCheckBox("Hide window at startup", this));
        hidden_[1] = add(CTL_TFTP_PROGRESS_BAR, new QCheckBox("Show Progress bar", this));
        hidden_[2] = add(CTL_TFTP_NEGOTIATION, new QCheckBox("Option negotiation", this));
        hidden_[3] = add(CTL_TFTP_PXE_COMPAT, new QCheckBox("PXE compatibility", this));
        hidden_[4] = add(CTL_TFTP_BEEP, new QCheckBox("Beep for long transfers", this));
        for (QCheckBox* b : hidden_)
            b->hide();

        connectServiceSwitch(server_, [this] { return client_->isChecked(); });
        connectServiceSwitch(client_, [this] { return server_->isChecked(); });
        connect(errSimBox_, &QCheckBox::clicked, this, [this](bool on) {
            if (on)
                ShowBalloon("Warning", "Only for testing !\nTurn this option OFF in production", errSimBox_,
                            &this->sheet(), BALLOON_ICON_WARNING, true, 0, std::nullopt, false);
            updateEnabled();
        });
        connect(browse_, &QPushButton::clicked, this, [this] {
            QString path = root_->text();
            if (PickFolder(&this->sheet(), "Looking for: TFTP Server root directory", &path, &pickerPlace_) &&
                path.toLocal8Bit().size() <= root_->maxLength())
                root_->setText(path);
            root_->setFocus(Qt::OtherFocusReason);
        });
        for (QLineEdit* f : {timeout_, retransmit_})
            addFocusCheck(f, [this, f] { return checkPositive(f, nullptr); });
        addFocusCheck(port_, [this] { return checkPort(nullptr); });
        addFocusCheck(
            root_, [this] { return checkRootAtFocusOut(); }, browse_);
        setHelpTexts();
    }

    void load() override
    {
        const GlobalSettings& s = settings();
        const uint32_t mask = static_cast<uint32_t>(s.NIMBO_Services);
        server_->setChecked(mask & SVC_TFTP_SERVER);
        client_->setChecked(mask & SVC_TFTP_CLIENT);
        loadBind(bind_, s.TFTP_LocalIP, sizeof s.TFTP_LocalIP);
        root_->setText(QString::fromLocal8Bit(FieldText(s.TFTP_RootDirectory)));
        const int level = s.TFTP_SecurityLevel >= 0 && s.TFTP_SecurityLevel <= 3 ? s.TFTP_SecurityLevel : 1;
        levels_[level]->setChecked(true);
        timeout_->setText(QString::number(s.TFTP_Timeout));
        retransmit_->setText(QString::number(s.TFTP_MaxRetransmit));
        port_->setText(QString::number(s.TFTP_Port));
        blksize_->setText(QString::number(s.TFTP_LimitNegotiatedBlksize));
        windowsize_->setText(QString::number(s.TFTP_LimitNegotiatedWindowsize));
        const QString errSim = QString::fromLocal8Bit(FieldText(s.TFTP_ErrorSimulator));
        errSimBox_->setChecked(!errSim.isEmpty());
        errSim_->setText(errSim);
        translate_->setChecked(s.TFTP_TranslateUnixFileNames != 0);
        virtualRoot_->setChecked(s.TFTP_BackSlashAsVirtualRoot != 0);
        dirText_->setChecked(s.TFTP_DirTextFile != 0);
        md5_->setChecked(s.TFTP_MD5File != 0);
        const int32_t* hidden[5] = {&s.NIMBO_HideWnd, &s.ShowProgressBar, &s.OptionNegotiation, &s.PxeCompatibility,
                                    &s.TFTP_Beep};
        for (int i = 0; i < 5; ++i)
            hidden_[i]->setChecked(*hidden[i] != 0);
        if (s.TFTP_HighestUDPPort >= s.TFTP_LowestUDPPort)
            pool_->setText(QString("%1:%2").arg(s.TFTP_LowestUDPPort).arg(s.TFTP_HighestUDPPort));
    }

    bool store() override
    {
        GlobalSettings& s = settings();
        storeServiceBit(SVC_TFTP_SERVER, server_->isChecked());
        storeServiceBit(SVC_TFTP_CLIENT, client_->isChecked());
        if (!storeFolder(root_, s.TFTP_RootDirectory, sizeof s.TFTP_RootDirectory, server_->isChecked()))
            return false;
        s.TFTP_SecurityLevel = levels_[0]->isChecked()   ? 0
                               : levels_[3]->isChecked() ? 3
                               : levels_[2]->isChecked() ? 2
                                                         : 1;
        if (!checkPositive(timeout_, &s.TFTP_Timeout) || !checkPositive(retransmit_, &s.TFTP_MaxRetransmit) ||
            !checkPort(&s.TFTP_Port))
            return false;
        int32_t* hidden[5] = {&s.NIMBO_HideWnd, &s.ShowProgressBar, &s.OptionNegotiation, &s.PxeCompatibility,
                              &s.TFTP_Beep};
        for (int i = 0; i < 5; ++i)
            *hidden[i] = hidden_[i]->isChecked() ? 1 : 0;
        if (!storeNumber(blksize_, &s.TFTP_LimitNegotiatedBlksize, 8, 16384, kMsgBlksize) ||
            !storeNumber(windowsize_, &s.TFTP_LimitNegotiatedWindowsize, 1, 64, kMsgWindowsize))
            return false;
        const std::string errSim = errSimBox_->isChecked() ? errSim_->text().toStdString() : std::string();
        if (errSimBox_->isChecked()) {
            // Only checked here: the running server keeps its record until the next start.
            char text[sizeof s.TFTP_ErrorSimulator] = {};
            if (errSim.size() >= sizeof text)
                return fail(errSim_, kMsgErrSim);
            CopyToField(text, errSim);
            if (ErrSimParse(text, nullptr) != 1)
                return fail(errSim_, kMsgErrSim);
        }
        CopyToField(s.TFTP_ErrorSimulator, errSim);
        s.TFTP_TranslateUnixFileNames = translate_->isChecked() ? 1 : 0;
        s.TFTP_BackSlashAsVirtualRoot = virtualRoot_->isChecked() ? 1 : 0;
        s.TFTP_DirTextFile = dirText_->isChecked() ? 1 : 0;
        s.TFTP_MD5File = md5_->isChecked() ? 1 : 0;
        storeBind(bind_, s.TFTP_LocalIP, sizeof s.TFTP_LocalIP);
        long long low = 0, high = 0;
        const bool pair = ParsePortPair(pool_->text().toStdString(), &low, &high);
        const bool automatic = pair && low == 0 && high == 0;
        if (!automatic && (!pair || low < 1 || high > 65535 || low > high))
            return fail(pool_, kMsgPool);
        s.TFTP_LowestUDPPort = static_cast<int32_t>(low);
        s.TFTP_HighestUDPPort = static_cast<int32_t>(high);
        return true;
    }

    void updateEnabled() override
    {
        const bool on = server_->isChecked() || client_->isChecked();
        enableBind(bind_, on);
        for (QWidget* w : dependents_)
            w->setEnabled(on);
        root_->setEnabled(on);
        browse_->setEnabled(on && !IsRemoteHostSet());
        errSim_->setEnabled(on && errSimBox_->isChecked());
    }

private:
    template <class W>
    W* addDependent(W* w)
    {
        dependents_.push_back(w);
        return w;
    }
    QLineEdit* numberRow(QGridLayout* grid, int row, int labelId, const QString& label, int fieldId)
    {
        auto* field = addDependent(add(fieldId, new QLineEdit(this)));
        grid->addWidget(addDependent(addLabel(labelId, label)), row, 1);
        grid->addWidget(field, row, 2);
        return field;
    }
    bool checkPositive(QLineEdit* field, int32_t* out)
    {
        long long v = 0;
        if (!ParseLeadingInt(field->text().toStdString(), &v) || v <= 0 || v > INT32_MAX)
            return fail(field, kMsgPositive);
        if (out)
            *out = static_cast<int32_t>(v);
        return true;
    }
    // The server's port: above 0, and a port number.
    bool checkPort(int32_t* out)
    {
        if (!checkPositive(port_, nullptr))
            return false;
        return storeNumber(port_, out ? out : &portScratch_, 1, 65535, kMsgPort);
    }
    bool checkRootAtFocusOut()
    {
        if (!checkFolderExists(root_))
            return false;
        // An acceptable text is stored at once, with its separator.
        GlobalSettings& s = settings();
        if (storeFolder(root_, s.TFTP_RootDirectory, sizeof s.TFTP_RootDirectory, false))
            root_->setText(QString::fromLocal8Bit(FieldText(s.TFTP_RootDirectory)));
        return true;
    }
    void setHelpTexts()
    {
        setHelpText({CTL_TFTP_TIMEOUT_LABEL, CTL_TFTP_TIMEOUT}, "The maximum time between two retransmissions");
        setHelpText({CTL_TFTP_RETRANSMIT_LABEL, CTL_TFTP_RETRANSMIT},
                    "The maximum number of retransmissions for the same packet ");
        setHelpText({CTL_TFTP_PORT_LABEL, CTL_TFTP_PORT}, "The port used to listen to incoming requests ");
        setHelpText({CTL_TFTP_POOL_LABEL, CTL_TFTP_POOL},
                    "The range of ports that will be used by the file transfer process.\n"
                    "When 0:0 the OS assigns the ports automatically.");
        setHelpText({CTL_TFTP_WINDOWSIZE_LABEL, CTL_TFTP_WINDOWSIZE},
                    "RFC 7440 lets the server send up to \"windowsize\" blocks before it waits for an acknowledgement\n"
                    "of the whole window. When a client asks for it, the server negotiates \"windowsize\";\n"
                    "this setting is the top limit of the client's value. WDS clients support it.\n"
                    "Reference value: 16. With 1 the server falls back to RFC 1350");
        setHelpText({CTL_TFTP_BLKSIZE_LABEL, CTL_TFTP_BLKSIZE},
                    "RFC 2348 overcomes the fixed block size of 512 bytes. When a client asks for it,\n"
                    "the server negotiates \"blksize\"; this setting is the top limit.\n"
                    "Values above MTU-32 cause IP fragmentation.\nReference value: 1468 for an MTU of 1500");
        setHelpText({CTL_TFTP_ERRSIM, CTL_TFTP_ERRSIM_TEXT},
                    "The simulator drops data blocks at fixed, evenly or randomly scattered places,\n"
                    "optionally after a delay, in both directions:\n"
                    "fix|block1,block2,...,block10 [delay=nDelay]\neven|nErrors [delay=nDelay]\n"
                    "random|nErrors [delay=nDelay]\nwhere 0 < blockN < 4294967296, 0 < nDelay < 4294967296 (ms)\n"
                    "and 0 < nErrors < 11");
        setHelpText({CTL_TFTP_SECURITY_NONE},
                    "(Not recommended) read and write requests will be allowed on all disks/directories");
        setHelpText({CTL_TFTP_SECURITY_STANDARD},
                    "Read and write requests will be allowed but limited to the current directory ");
        setHelpText({CTL_TFTP_SECURITY_HIGH},
                    "Standard + write requests will be allowed only if the input file exists and is empty");
        setHelpText({CTL_TFTP_SECURITY_READ_ONLY}, "Standard + write requests will be rejected");
        setHelpText({CTL_TFTP_ROOT}, "Top-level directory from where the TFTP service offers its resources");
        setHelpText({CTL_TFTP_NEGOTIATION},
                    "It will add a simple extension to the TFTP protocol allowing option\n"
                    "negotiation prior to the file transfer (RFC 2347)");
        setHelpText({CTL_TFTP_DIR_TXT},
                    "For each incoming read request, Nimbo will list the content of the directory\n"
                    "and put the result in a file named \"dir.txt\"");
        setHelpText({CTL_TFTP_TRANSLATE}, "Nimbo will translate forward slash characters to backslash ");
        setHelpText({CTL_TFTP_BEEP}, "Nimbo will beep when a transfer longer than 30s has ended");
        setHelpText({CTL_TFTP_SERVER}, "It turns the TFTP Server on and off");
        setHelpText({CTL_TFTP_CLIENT}, "It turns the TFTP Client on and off");
        setHelpText({CTL_TFTP_PXE_COMPAT},
                    "It will support block-size negotiation prior to send the actual\n"
                    "file as required by the PXE specification");
        setHelpText({CTL_TFTP_MD5}, "For each successful read request, Nimbo will create a file with its MD5 ");
        setHelpText({CTL_TFTP_VIRTUAL_ROOT},
                    "A file name beginning with \"\\\" will not point to the server disk root\n"
                    "but to the TFTP's root directory instead");
    }

    QCheckBox* server_;
    QCheckBox* client_;
    BindControls bind_;
    QLineEdit* root_;
    QPushButton* browse_;
    QRadioButton* levels_[4];
    QLineEdit* timeout_;
    QLineEdit* retransmit_;
    QLineEdit* port_;
    QLineEdit* blksize_;
    QLineEdit* windowsize_;
    QLineEdit* pool_;
    QCheckBox* errSimBox_;
    QLineEdit* errSim_;
    QCheckBox* translate_;
    QCheckBox* virtualRoot_;
    QCheckBox* dirText_;
    QCheckBox* md5_;
    QCheckBox* hidden_[5];
    std::vector<QWidget*> dependents_;
    QRect pickerPlace_;
    int32_t portScratch_ = 0;
};

}  // namespace

SettingsPage* CreateTftpPage(SettingsSheet& sheet) { return new TftpPage(sheet); }
