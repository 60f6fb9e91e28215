#include "_gui/balloon.h"

#include <QApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr int kStemHeight = 12;
constexpr int kStemOffset = 20;  // tip's distance from the left edge
constexpr int kStemWidth = 14;
constexpr int kMaxTitle = 498;
constexpr int kMaxText = 3998;

bool g_balloonTips = true;

// Closes the balloon on key presses and clicks anywhere in the program, and on the
// parent's deactivation and moves when asked to.
class BalloonController : public QObject {
public:
    QPointer<QWidget> balloon;  // the BalloonWindow on screen
    QPointer<QWidget> parent;
    bool watchParent = false;
    QTimer* timer = nullptr;

    // The balloon goes with its parent window.
    void forget(QWidget* w)
    {
        if (balloon.data() != w)
            return;
        balloon = nullptr;
        close();
    }

    void close()
    {
        if (timer) {
            timer->stop();
            timer->deleteLater();
            timer = nullptr;
        }
        qApp->removeEventFilter(this);
        if (balloon) {
            balloon->hide();
            balloon->deleteLater();
            balloon = nullptr;
        }
        parent = nullptr;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (!balloon)
            return false;
        switch (e->type()) {
        case QEvent::ShortcutOverride:
        case QEvent::KeyPress: {
            auto* key = static_cast<QKeyEvent*>(e);
            const int k = key->key();
            if (k == Qt::Key_Shift || k == Qt::Key_Control || k == Qt::Key_Alt || k == Qt::Key_Meta ||
                k == Qt::Key_AltGr)
                return false;
            const bool swallow = k == Qt::Key_Tab || k == Qt::Key_Backtab || k == Qt::Key_Return ||
                                 k == Qt::Key_Enter || k == Qt::Key_Escape || k == Qt::Key_Left || k == Qt::Key_Right ||
                                 k == Qt::Key_Up || k == Qt::Key_Down || (k >= Qt::Key_F1 && k <= Qt::Key_F24);
            if (e->type() == QEvent::ShortcutOverride) {
                // Keep swallowed keys from firing shortcuts; the key press follows.
                if (swallow)
                    e->accept();
                return swallow;
            }
            close();
            return swallow;
        }
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::Wheel: close(); return false;
        case QEvent::WindowDeactivate:
        case QEvent::Move:
            if (watchParent && watched == parent.data())
                close();
            return false;
        default: return false;
        }
    }
};

BalloonController* Controller()
{
    static BalloonController* c = new BalloonController;
    return c;
}

QPixmap IconPixmap(int icon)
{
    QStyle::StandardPixmap sp;
    switch (icon) {
    case BALLOON_ICON_INFO: sp = QStyle::SP_MessageBoxInformation; break;
    case BALLOON_ICON_WARNING: sp = QStyle::SP_MessageBoxWarning; break;
    case BALLOON_ICON_ERROR: sp = QStyle::SP_MessageBoxCritical; break;
    default: return QPixmap();
    }
    return qApp->style()->standardIcon(sp).pixmap(16, 16);
}

QPainterPath Outline(const QSize& size, bool balloonStyle)
{
    QPainterPath path;
    if (!balloonStyle) {
        path.addRect(0, 0, size.width() - 1, size.height() - 1);
        return path;
    }
    const QRectF body(0, kStemHeight, size.width() - 1, size.height() - kStemHeight - 1);
    path.addRoundedRect(body, 8, 8);
    QPolygonF stem;
    stem << QPointF(kStemOffset, 0) << QPointF(kStemOffset, kStemHeight + 1)
         << QPointF(kStemOffset + kStemWidth, kStemHeight + 1);
    QPainterPath stemPath;
    stemPath.addPolygon(stem);
    stemPath.closeSubpath();
    return path.united(stemPath);
}

}  // namespace

BalloonWindow::BalloonWindow(const QString& title, const QString& text, int icon, bool balloonStyle, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus),
      title_(title.left(kMaxTitle)),
      text_(text.left(kMaxText)),
      icon_(icon),
      balloonStyle_(balloonStyle)
{
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_QuitOnClose, false);
    setObjectName("balloon");
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(8, (balloonStyle_ ? kStemHeight : 0) + 6, 8, 8);
    outer->setSpacing(4);
    auto* head = new QHBoxLayout;
    const QPixmap pix = IconPixmap(icon_);
    if (!title_.isEmpty() && !pix.isNull()) {
        auto* iconLabel = new QLabel(this);
        iconLabel->setPixmap(pix);
        head->addWidget(iconLabel);
    }
    if (!title_.isEmpty()) {
        auto* titleLabel = new QLabel(title_, this);
        titleLabel->setObjectName("balloonTitle");
        titleLabel->setTextFormat(Qt::PlainText);
        QFont f = titleLabel->font();
        f.setBold(true);
        titleLabel->setFont(f);
        head->addWidget(titleLabel);
    }
    head->addStretch(1);
    closeButton_ = new QToolButton(this);
    closeButton_->setObjectName("balloonClose");
    closeButton_->setText(QStringLiteral("\u00D7"));
    closeButton_->setAutoRaise(true);
    closeButton_->setFocusPolicy(Qt::NoFocus);
    connect(closeButton_, &QToolButton::clicked, this, [] { BalloonClose(); });
    head->addWidget(closeButton_);
    outer->addLayout(head);
    auto* body = new QLabel(text_, this);
    body->setObjectName("balloonText");
    body->setTextFormat(Qt::PlainText);
    outer->addWidget(body);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::ToolTipBase));
    pal.setColor(QPalette::WindowText, pal.color(QPalette::ToolTipText));
    setPalette(pal);
    adjustSize();
    setMask(QRegion(Outline(size(), balloonStyle_).toFillPolygon().toPolygon()));
}

BalloonWindow::~BalloonWindow() { Controller()->forget(this); }

void BalloonWindow::pointAt(const QPoint& p)
{
    adjustSize();
    setMask(QRegion(Outline(size(), balloonStyle_).toFillPolygon().toPolygon()));
    move(balloonStyle_ ? p - QPoint(kStemOffset, 0) : p);
}

void BalloonWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(palette().color(QPalette::ToolTipBase));
    painter.setPen(palette().color(QPalette::ToolTipText));
    painter.drawPath(Outline(size(), balloonStyle_));
}

QSize BalloonWindow::contentSize() const { return sizeHint(); }

void ShowBalloon(const QString& title, const QString& text, QWidget* anchor, QWidget* parent, int icon,
                 bool balloonStyle, int autoCloseSeconds, std::optional<QPoint> point, bool subclassParent)
{
    if (text.isNull() || !anchor || !parent)
        return;
    BalloonClose();
    if (text.isEmpty())
        return;
    BalloonController* c = Controller();
    const bool style = balloonStyle && BalloonTipsEnabled();
    auto* b = new BalloonWindow(title, text, icon, style, parent->window());
    QPoint at;
    if (point)
        at = *point;
    else if (style)
        at = anchor->mapToGlobal(anchor->rect().center());
    else
        at = anchor->mapToGlobal(anchor->rect().bottomLeft());
    b->pointAt(at);
    c->balloon = b;
    c->parent = parent;
    c->watchParent = subclassParent;
    qApp->installEventFilter(c);
    if (autoCloseSeconds > 0) {
        c->timer = new QTimer;
        c->timer->setSingleShot(true);
        QObject::connect(c->timer, &QTimer::timeout, [] { BalloonClose(); });
        c->timer->start(autoCloseSeconds * 1000);
    }
    b->show();
    b->raise();
}

void BalloonClose() { Controller()->close(); }

BalloonWindow* CurrentBalloon() { return static_cast<BalloonWindow*>(Controller()->balloon.data()); }

QString BalloonModuleTitle() { return QFileInfo(QCoreApplication::applicationFilePath()).baseName(); }

bool BalloonTipsEnabled() { return g_balloonTips; }

void SetBalloonTipsEnabled(bool on) { g_balloonTips = on; }
