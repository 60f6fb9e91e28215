// The balloon: a small frameless window with a stem that points at a control or a screen
// point, an optional title with a standard icon, a text and a close button. It closes on the
// next key press, mouse click, on the parent's deactivation or move (when asked), or after a
// number of seconds. One balloon exists at a time.
#pragma once
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <optional>

enum BalloonIcon { BALLOON_ICON_NONE = 0, BALLOON_ICON_INFO = 1, BALLOON_ICON_WARNING = 2, BALLOON_ICON_ERROR = 3 };

class QTimer;
class QToolButton;

class BalloonWindow : public QWidget {
    Q_OBJECT
public:
    BalloonWindow(const QString& title, const QString& text, int icon, bool balloonStyle, QWidget* parent);
    ~BalloonWindow() override;
    bool balloonStyle() const { return balloonStyle_; }
    QString title() const { return title_; }
    QString text() const { return text_; }
    // Places the stem's tip at p (screen coordinates).
    void pointAt(const QPoint& p);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QSize contentSize() const;
    QString title_;
    QString text_;
    int icon_;
    bool balloonStyle_;
    QToolButton* closeButton_ = nullptr;
};

// title: empty for none (see BalloonModuleTitle for the program's name); an empty text
// shows nothing. Without a point the balloon points at the anchor's bottom-left corner,
// or at its centre in balloon style.
void ShowBalloon(const QString& title, const QString& text, QWidget* anchor, QWidget* parent, int icon,
                 bool balloonStyle, int autoCloseSeconds, std::optional<QPoint> point, bool subclassParent);
void BalloonClose();
// The balloon on screen, if any.
BalloonWindow* CurrentBalloon();
// The base name of the program file without its extension.
QString BalloonModuleTitle();
// Balloons are on; tests switch them off to get the rectangular tip.
bool BalloonTipsEnabled();
void SetBalloonTipsEnabled(bool on);
