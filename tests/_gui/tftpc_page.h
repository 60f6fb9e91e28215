// The TFTPC page's controls for the client pane's tests, files dropped on a field as the
// desktop delivers them, and message boxes answered by a script.
#pragma once
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <map>
#include <string>
#include <vector>

#include "_gui/box_broker.h"
#include "_gui/control_ids.h"
#include "libs/log/log.h"
#include "tests/_gui/qt_app.h"

struct TftpcPage {
    std::map<int, QWidget*> controls;
    QWidget window;
    TftpcPage()
    {
        for (int id : {CTL_TFTPC_SERVER, CTL_TFTPC_REMOTE_FILE, CTL_TFTPC_LOCAL_FILE})
            controls[id] = new QLineEdit(&window);
        for (int id : {CTL_TFTPC_BLKSIZE, CTL_TFTPC_WINSIZE})
            controls[id] = new QComboBox(&window);
        controls[CTL_TFTPC_GET] = new QPushButton("&GET", &window);
        controls[CTL_TFTPC_PUT] = new QPushButton("&PUT", &window);
        controls[CTL_TFTPC_BREAK] = new QPushButton("Break", &window);
        controls[CTL_TFTPC_PICK] = new QPushButton("...", &window);
        controls[CTL_TFTPC_PROGRESS] = new QProgressBar(&window);
        controls[CTL_TFTPC_BLOCK_TEXT] = new QLabel("block #0", &window);
        window.resize(600, 300);
        window.show();
    }
    QWidget* operator()(int id) const { return controls.at(id); }
    QLineEdit* edit(int id) { return static_cast<QLineEdit*>(controls[id]); }
    QComboBox* combo(int id) { return static_cast<QComboBox*>(controls[id]); }
};

// Drags the local files over the widget and drops them; true when the drop was accepted.
inline bool DropFilesOn(QWidget* target, const QStringList& files)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& f : files)
        urls << QUrl::fromLocalFile(f);
    data.setUrls(urls);
    const QPoint at(5, 5);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

// Every message box is recorded; a question gets `answer` (0: its default button), an OK
// box 1.
struct ScriptedBoxes {
    struct Box {
        std::string text, caption;
        unsigned type;
    };
    std::vector<Box> boxes;
    int answer = 0;
    ScriptedBoxes()
    {
        EnsureQtApp();
        SetBoxHook([this](QWidget*, const std::string& text, const std::string& caption, unsigned type) {
            boxes.push_back({text, caption, type});
            if ((type & 0xF) == MB_OK)
                return 1;
            return answer ? answer : DefaultBoxButton(type);
        });
        StartBoxBroker();
    }
    ~ScriptedBoxes()
    {
        StopBoxBroker();
        SetBoxHook(nullptr);
    }
    int Count(const std::string& text) const
    {
        int n = 0;
        for (const Box& b : boxes)
            n += b.text == text;
        return n;
    }
};
