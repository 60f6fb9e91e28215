// Shared pieces of the desktop tests: recorded message boxes, layout, fit and menu checks.
#pragma once
#include <QCoreApplication>
#include <string>
#include <vector>

#include "_gui/box_broker.h"
#include "tests/_gui/qt_app.h"

// Records every box instead of showing it; question boxes get their default button.
struct BoxRecorder {
    std::vector<std::string> texts;
    BoxRecorder()
    {
        EnsureQtApp();
        SetBoxHook([this](QWidget*, const std::string& text, const std::string&, unsigned type) {
            texts.push_back(text);
            return DefaultBoxButton(type);
        });
        StartBoxBroker();
    }
    ~BoxRecorder()
    {
        StopBoxBroker();
        SetBoxHook(nullptr);
    }
    bool Saw(const std::string& text) const
    {
        for (const auto& t : texts)
            if (t == text)
                return true;
        return false;
    }
};

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMap>
#include <QMenu>
#include <QRadioButton>
#include <QScreen>
#include <QStringList>
#include <QWidget>

// Visible sibling controls under `root` whose rectangles overlap without one holding the
// other (a frame drawn around a list holds it), combo boxes taller than their normal height,
// and labels, check boxes and radio buttons narrower than their text: one line per fault,
// empty when the layout is sound.
inline QStringList LayoutFaults(const QWidget* root)
{
    QStringList faults;
    auto name = [](const QWidget* w) {
        return QString("%1 %2 (%3,%4 %5x%6)")
            .arg(w->metaObject()->className(), w->objectName())
            .arg(w->x())
            .arg(w->y())
            .arg(w->width())
            .arg(w->height());
    };
    QList<const QWidget*> parents{root};
    while (!parents.isEmpty()) {
        const QWidget* parent = parents.takeFirst();
        QList<const QWidget*> shown;
        for (const QObject* o : parent->children()) {
            const auto* w = qobject_cast<const QWidget*>(o);
            if (!w || w->isWindow() || !w->isVisible() || w->geometry().isEmpty())
                continue;
            shown << w;
            parents << w;
            if (const auto* combo = qobject_cast<const QComboBox*>(w);
                combo && combo->height() > combo->sizeHint().height() + 4)
                faults << "tall combo box: " + name(w);
            if (const auto* label = qobject_cast<const QLabel*>(w);
                label && !label->wordWrap() && !label->text().isEmpty() && label->pixmap().isNull() &&
                label->width() < label->sizeHint().width())
                faults << "cut text: " + name(w) + " \"" + label->text() + "\"";
            if ((qobject_cast<const QCheckBox*>(w) || qobject_cast<const QRadioButton*>(w)) &&
                w->width() < w->sizeHint().width())
                faults << "cut text: " + name(w) + " \"" + static_cast<const QAbstractButton*>(w)->text() + "\"";
        }
        for (int i = 0; i < shown.size(); ++i)
            for (int j = i + 1; j < shown.size(); ++j) {
                const QRect a = shown[i]->geometry(), b = shown[j]->geometry();
                if (a.intersects(b) && !a.contains(b) && !b.contains(a))
                    faults << "overlap: " + name(shown[i]) + " / " + name(shown[j]);
            }
    }
    return faults;
}

// A top-level window that lies inside the available screen area.
inline bool FitsScreen(const QWidget* window)
{
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    return screen && screen->availableGeometry().contains(window->frameGeometry());
}

// Faults of a menu's keyboard mnemonics: an item without one while a letter of its text is
// still free, and a letter taken by two items. One line per fault, empty when sound.
inline QStringList MnemonicFaults(const QMenu* menu)
{
    QStringList faults;
    QMap<QChar, QString> taken;
    QStringList without;
    for (const QAction* a : menu->actions()) {
        if (a->isSeparator())
            continue;
        const QString text = a->text();
        int at = -1;
        for (int i = 0; i + 1 < text.size(); ++i) {
            if (text[i] != '&')
                continue;
            if (text[i + 1] == '&') {
                ++i;
                continue;
            }
            at = i + 1;
            break;
        }
        if (at < 0) {
            without << text;
            continue;
        }
        const QChar key = text[at].toLower();
        if (taken.contains(key))
            faults << QString("'%1' in \"%2\" and \"%3\"").arg(key).arg(taken[key], text);
        taken[key] = text;
    }
    for (const QString& text : without) {
        bool free = false;
        for (QChar c : text)
            free = free || (c.isLetterOrNumber() && !taken.contains(c.toLower()));
        if (free)
            faults << "no mnemonic: \"" + text + "\"";
    }
    return faults;
}
