#include "_gui/about_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <QWindow>

#include "_gui/control_ids.h"
#include "_gui/gui_main.h"
#include "_gui/screen_fit.h"
#include "_services/host_records.h"

AboutDialog::AboutDialog(QWidget* owner) : QDialog(owner)
{
    EnsureGuiResources();
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
    setMinimumWidth(AboutTitleWidth(this));
}

int AboutTitleWidth(const QWidget* dialog)
{
    // The window manager draws the title in a bold face beside its buttons (close, maximise,
    // minimise and the menu) inside the frame; the dialog is made that wide, never wider than
    // the screen.
    QFont bold = dialog->font();
    bold.setBold(true);
    const QStyle* style = dialog->style();
    const int button = style->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, dialog);
    const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, dialog);
    int width = QFontMetrics(bold).horizontalAdvance(dialog->windowTitle()) + 4 * button + 4 * frame;
    if (const QScreen* screen = dialog->screen())
        width = qMin(width, screen->availableGeometry().width() - 4 * frame);
    return width;
}

void ShowAboutDialog(QWidget* owner)
{
    AboutDialog dialog(owner);
    dialog.adjustSize();
    dialog.winId();  // the platform window: some platforms know the frame's margins before the show
    const QMargins frame = dialog.windowHandle() ? dialog.windowHandle()->frameMargins() : QMargins();
    QRect r = dialog.geometry().marginsAdded(frame);
    if (owner)
        r.moveCenter(owner->frameGeometry().center());
    // Inside the screen's available area, even when the owner is partly off it.
    if (const QScreen* screen = owner && owner->screen() ? owner->screen() : dialog.screen()) {
        const QRect area = screen->availableGeometry();
        r.moveLeft(qMax(area.left(), qMin(r.left(), area.right() + 1 - r.width())));
        r.moveTop(qMax(area.top(), qMin(r.top(), area.bottom() + 1 - r.height())));
    }
    dialog.move(r.topLeft());
    KeepInsideScreen(&dialog);  // again once the window manager's frame is known
    dialog.exec();
}
