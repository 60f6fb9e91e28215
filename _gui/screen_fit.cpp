#include "_gui/screen_fit.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>

namespace {

// How long after a show a window manager's frame may still change the margins.
constexpr int kFrameSettleMs = 1500;

QMargins FrameMargins(const QWidget* window)
{
    return window->windowHandle() ? window->windowHandle()->frameMargins() : QMargins();
}

class ScreenKeeper : public QObject {
public:
    explicit ScreenKeeper(QWidget* window) : QObject(window), window_(window) {}

    // The window has just shown.
    void start()
    {
        shown_.start();
        fit();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (watched != window_)
            return false;
        switch (e->type()) {
        case QEvent::Show: start(); break;
        case QEvent::Move:
        case QEvent::Resize:
            if (shown_.isValid() && shown_.elapsed() < kFrameSettleMs && FrameMargins(window_) != fitted_)
                fit();
            break;
        default: break;
        }
        return false;
    }

private:
    void fit()
    {
        fitted_ = FrameMargins(window_);
        FitInsideScreen(window_);
    }

    QWidget* window_;
    QElapsedTimer shown_;
    QMargins fitted_{-1, -1, -1, -1};
};

}  // namespace

void FitInsideScreen(QWidget* window)
{
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QMargins frame = FrameMargins(window);
    const QSize room = area.marginsRemoved(frame).size();
    if (window->width() > room.width() || window->height() > room.height()) {
        window->setMinimumSize(window->minimumSize().boundedTo(room));
        window->resize(window->size().boundedTo(room));
    }
    const QRect f = window->geometry().marginsAdded(frame);
    const int x = qMax(area.left(), qMin(f.left(), area.right() + 1 - f.width()));
    const int y = qMax(area.top(), qMin(f.top(), area.bottom() + 1 - f.height()));
    if (x != f.left() || y != f.top())
        window->move(x, y);
}

void KeepInsideScreen(QWidget* window)
{
    auto* keeper = new ScreenKeeper(window);
    window->installEventFilter(keeper);
    if (window->isVisible())
        keeper->start();
}
