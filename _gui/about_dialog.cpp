#include "_gui/about_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include "_gui/control_ids.h"
#include "_services/host_records.h"

AboutDialog::AboutDialog(QWidget* owner) : QDialog(owner)
{
    setObjectName("aboutBox");
    setWindowTitle(QString("About/License %1").arg(ProgramTitle));
    auto* layout = new QVBoxLayout(this);
    auto* picture = new QLabel(this);
    picture->setObjectName(ControlObjectName(CTL_ABOUT_PICTURE));
    picture->setPixmap(QPixmap(":/nimbo/nimbo.png"));
    picture->setAlignment(Qt::AlignCenter);
    auto* version = new QLabel(kAboutVersion, this);
    version->setObjectName(ControlObjectName(CTL_ABOUT_VERSION));
    version->setAlignment(Qt::AlignCenter);
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(picture);
    layout->addWidget(version);
    layout->addWidget(buttons);
}

void ShowAboutDialog(QWidget* owner)
{
    AboutDialog dialog(owner);
    dialog.adjustSize();
    if (owner) {
        QRect r = dialog.frameGeometry();
        r.moveCenter(owner->frameGeometry().center());
        dialog.move(r.topLeft());
    }
    dialog.exec();
}
