#include "_gui/settings_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "_gui/balloon.h"
#include "_gui/console_client.h"
#include "_gui/settings_sheet.h"
#include "_services/host_info.h"

// ---- pure helpers ----

bool ParseLeadingInt(const std::string& text, long long* value)
{
    const char* p = text.c_str();
    while (*p == ' ' || *p == '\t')
        ++p;
    const char* digits = p;
    if (*digits == '+' || *digits == '-')
        ++digits;
    if (!std::isdigit(static_cast<unsigned char>(*digits)))
        return false;
    errno = 0;
    const long long v = std::strtoll(p, nullptr, 10);
    if (errno == ERANGE)
        return false;
    *value = v;
    return true;
}

bool ParsePortPair(const std::string& text, long long* low, long long* high)
{
    size_t sep = text.find(':');
    if (sep == std::string::npos) {
        // A dash after the first number (a leading sign is part of the number).
        size_t from = text.find_first_not_of(" \t");
        if (from != std::string::npos && (text[from] == '-' || text[from] == '+'))
            ++from;
        sep = from == std::string::npos ? std::string::npos : text.find('-', from);
    }
    if (sep == std::string::npos)
        return false;
    return ParseLeadingInt(text.substr(0, sep), low) && ParseLeadingInt(text.substr(sep + 1), high);
}

bool FolderFieldText(const std::string& text, size_t size, std::string* out)
{
    std::string folder = text;
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\')
        folder += '/';
    if (folder.size() + 1 > size)
        return false;
    *out = folder;
    return true;
}

void CopyToField(char* field, size_t size, const std::string& text)
{
    if (size == 0)
        return;
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

std::string FieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

QStringList HostAddressTexts()
{
    QStringList texts;
    for (uint32_t a : GuiConsole().model.hostAddresses) {
        char buf[INET_ADDRSTRLEN] = {};
        in_addr addr{};
        addr.s_addr = a;
        if (inet_ntop(AF_INET, &addr, buf, sizeof buf))
            texts << QString::fromLatin1(buf);
    }
    return texts;
}

void CopyComboItems(const QStringList& source, QComboBox* target, const QString& select)
{
    target->clear();
    for (const QString& entry : source)
        target->addItem(entry.left(127));
    const int at = target->findText(select, Qt::MatchExactly | Qt::MatchCaseSensitive);
    target->setCurrentIndex(at >= 0 ? at : (target->count() > 0 ? 0 : -1));
}

// ---- the page ----

SettingsPage::SettingsPage(SettingsSheet& sheet, const QString& title, const QString& helpTopic, uint32_t ownBits)
    : QWidget(nullptr), sheet_(sheet), title_(title), helpTopic_(helpTopic), ownBits_(ownBits)
{
    setObjectName(QString("page%1").arg(title));
}

GlobalSettings& SettingsPage::settings() const { return sheet_.copies().settings; }
DhcpSettings& SettingsPage::dhcp() const { return sheet_.copies().dhcp; }

QWidget* SettingsPage::control(int id) const
{
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void SettingsPage::registerControl(int id, QWidget* w)
{
    w->setObjectName(ControlObjectName(id));
    w->installEventFilter(this);  // help requests and focus-out checks
    controls_[id] = w;
}

void SettingsPage::setHelpText(std::initializer_list<int> ids, const QString& text)
{
    for (int id : ids)
        if (QWidget* w = control(id))
            help_[w] = text;
}

QLabel* SettingsPage::addLabel(int id, const QString& text) { return add(id, new QLabel(text, this)); }

QPushButton* SettingsPage::addButton(int id, const QString& text) { return add(id, new QPushButton(text, this)); }

QString SettingsPage::helpText(QWidget* control) const
{
    auto it = help_.find(control);
    return it == help_.end() ? QString() : it->second;
}

void SettingsPage::showHelpFor(QWidget* control)
{
    const QString text = control ? helpText(control) : QString();
    if (text.isEmpty())
        return;
    ShowBalloon(QString(), text, control, &sheet_, BALLOON_ICON_NONE, true, 0, std::nullopt, false);
}

bool SettingsPage::fail(QWidget* control, const QString& message)
{
    if (control) {
        control->setFocus(Qt::OtherFocusReason);
        ShowBalloon(QString(), message, control, &sheet_, BALLOON_ICON_NONE, true, 0, std::nullopt, false);
    }
    return false;
}

bool SettingsPage::event(QEvent* e)
{
    // Help on a control: F1 on the focused one, or the "What's This" request.
    if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_F1) {
        QWidget* w = QApplication::focusWidget();
        if (w && isAncestorOf(w)) {
            showHelpFor(w);
            return true;
        }
    }
    return QWidget::event(e);
}

bool SettingsPage::eventFilter(QObject* watched, QEvent* e)
{
    if (e->type() == QEvent::WhatsThis ||
        (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_F1)) {
        if (auto* w = qobject_cast<QWidget*>(watched); w && !helpText(w).isEmpty()) {
            showHelpFor(w);
            return true;
        }
    }
    if (e->type() == QEvent::FocusOut) {
        auto it = focusChecks_.find(watched);
        if (it != focusChecks_.end()) {
            QPointer<QLineEdit> field = qobject_cast<QLineEdit*>(watched);
            // The focus has moved once the event loop runs again.
            QTimer::singleShot(0, this, [this, field] {
                if (!field || !isVisible())
                    return;
                auto fc = focusChecks_.find(field.data());
                if (fc == focusChecks_.end())
                    return;
                QWidget* to = QApplication::focusWidget();
                if (!to || to == field || !sheet_.isAncestorOf(to) || to == sheet_.cancelButton() ||
                    (fc->second.ownBrowse && to == fc->second.ownBrowse.data()))
                    return;
                if (!fc->second.check())
                    field->setFocus(Qt::OtherFocusReason);
            });
        }
    }
    return QWidget::eventFilter(watched, e);
}

void SettingsPage::addFocusCheck(QLineEdit* field, std::function<bool()> check, QWidget* ownBrowse)
{
    focusChecks_[field] = FocusCheck{std::move(check), ownBrowse};
    field->removeEventFilter(this);
    field->installEventFilter(this);
}

void SettingsPage::connectServiceSwitch(QCheckBox* sw, std::function<bool()> othersOn)
{
    connect(sw, &QCheckBox::clicked, this, [this, sw, othersOn = std::move(othersOn)](bool checked) {
        const uint32_t others = static_cast<uint32_t>(settings().NIMBO_Services) & ~(ownBits_ | SVC_BINL);
        if (!checked && !othersOn() && others == 0) {
            sw->setChecked(true);
            ShowBalloon(QString(), kMsgOneService, sw, &sheet_, BALLOON_ICON_NONE, true, 0, std::nullopt, false);
        }
        updateEnabled();
    });
}

void SettingsPage::storeServiceBit(uint32_t bit, bool on)
{
    uint32_t mask = static_cast<uint32_t>(settings().NIMBO_Services);
    mask = on ? (mask | bit) : (mask & ~bit);
    settings().NIMBO_Services = static_cast<int32_t>(mask);
}

SettingsPage::BindControls SettingsPage::addBind(int boxId, const QString& label, int listId, const QString& service)
{
    BindControls b;
    b.box = add(boxId, new QCheckBox(label, this));
    b.list = add(listId, new QComboBox(this));
    connect(b.box, &QCheckBox::toggled, b.list, [b](bool on) { b.list->setEnabled(on && b.box->isEnabled()); });
    setHelpText({boxId, listId},
                QString("By default the %1 service (when enabled) is bound to all the available IP addresses.\n"
                        "If you want to bind it to an specific IP address please check the box and select one of\n"
                        "the available IP options ")
                    .arg(service));
    return b;
}

void SettingsPage::loadBind(const BindControls& b, const char* field, size_t size)
{
    const QString stored = QString::fromLocal8Bit(FieldText(field, size));
    CopyComboItems(HostAddressTexts(), b.list, stored);
    b.box->setChecked(!stored.isEmpty());
    b.list->setEnabled(b.box->isChecked() && b.box->isEnabled());
}

void SettingsPage::storeBind(const BindControls& b, char* field, size_t size)
{
    const std::string text = b.box->isChecked() ? b.list->currentText().left(15).toStdString() : std::string();
    CopyToField(field, size, text);
}

void SettingsPage::enableBind(const BindControls& b, bool on)
{
    b.box->setEnabled(on);
    b.list->setEnabled(on && b.box->isChecked());
}

QLineEdit* SettingsPage::addFolderField(int id, size_t fieldSize)
{
    auto* field = add(id, new QLineEdit(this));
    field->setMaxLength(static_cast<int>(fieldSize) - 2);
    return field;
}

bool SettingsPage::checkFolderExists(QLineEdit* field)
{
    const std::string text = field->text().toStdString();
    if (!text.empty() && !IsDirectory(text))
        return fail(field, kMsgNoDirectory);
    return true;
}

bool SettingsPage::storeFolder(QLineEdit* field, char* out, size_t size, bool mustExist)
{
    const std::string text = field->text().toStdString();
    if (mustExist && !IsDirectory(text))
        return fail(field, kMsgNoDirectory);
    std::string folder;
    if (!FolderFieldText(text, size, &folder))
        return fail(field, kMsgNoDirectory);
    CopyToField(out, size, folder);
    return true;
}

bool SettingsPage::storeNumber(QLineEdit* field, int32_t* out, long long low, long long high, const QString& message)
{
    long long v = 0;
    if (!ParseLeadingInt(field->text().toStdString(), &v) || v < low || v > high)
        return fail(field, message);
    *out = static_cast<int32_t>(v);
    return true;
}
