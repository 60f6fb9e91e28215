#include "_gui/directory_dialog.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdlib>

#include "_gui/console_client.h"
#include "_gui/control_ids.h"
#include "_gui/list_views.h"
#include "_gui/screen_fit.h"

std::string DirectoryLineName(const std::string& line)
{
    if (line.size() >= 256)
        return std::string();
    return line.substr(0, line.find('\t'));
}

bool OpenExplorerOnWorkDir()
{
    const auto dir = GetSelectedWorkDir(GuiConsole().model, 260);
    if (!dir)
        return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromLocal8Bit(dir->c_str())));
}

DirectoryDialog::DirectoryDialog(QWidget* owner, const std::vector<std::string>& lines) : QDialog(owner)
{
    setObjectName("directoryDialog");
    setWindowTitle("Nimbo32 directory");
    auto* layout = new QVBoxLayout(this);
    list_ = new QListWidget(this);
    list_->setObjectName(ControlObjectName(CTL_DIR_LIST));
    for (const std::string& line : lines)
        list_->addItem(QString::fromLocal8Bit(line.c_str()));
    layout->addWidget(list_);
    connect(list_, &QListWidget::currentRowChanged, this, [lines](int row) {
        if (row < 0 || static_cast<size_t>(row) >= lines.size())
            return;
        const std::string name = DirectoryLineName(lines[static_cast<size_t>(row)]);
        if (!name.empty())
            SetClipboardText(QString::fromLocal8Bit(name.c_str()));
    });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton* copy = buttons->addButton("Copy", QDialogButtonBox::ActionRole);
    copy->setObjectName(ControlObjectName(CTL_DIR_COPY));
    QPushButton* explorer = buttons->addButton("Explorer", QDialogButtonBox::ActionRole);
    explorer->setObjectName(ControlObjectName(CTL_DIR_EXPLORER));
    // A remote service's folder is not on this machine.
    explorer->setEnabled(std::getenv("NIMBO_HOST") == nullptr);
    connect(explorer, &QPushButton::clicked, this, [this] {
        OpenExplorerOnWorkDir();
        accept();
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(420, 300);
}

DirectoryDialog* ShowDirectoryDialog(QWidget* owner, const std::vector<std::string>& lines)
{
    auto* dialog = new DirectoryDialog(owner, lines);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    if (owner) {
        // Centred on the owner.
        QRect r = dialog->frameGeometry();
        r.moveCenter(owner->frameGeometry().center());
        dialog->move(r.topLeft());
    }
    KeepInsideScreen(dialog);
    dialog->show();
    return dialog;
}
