#include "_gui/pickers.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

namespace {

PickerHook g_hook = nullptr;

enum class PickKind { Folder, FolderOrFile, LogFile };

// Over the owner's client area, never left of or above it.
QRect InitialPlace(QWidget* owner, const QSize& size)
{
    QRect area;
    if (owner)
        area = QRect(owner->mapToGlobal(QPoint(0, 0)), owner->size());
    else if (QScreen* s = QGuiApplication::primaryScreen())
        area = s->availableGeometry();
    QRect r(QPoint(0, 0), size);
    r.moveCenter(area.center());
    if (r.left() < area.left())
        r.moveLeft(area.left());
    if (r.top() < area.top())
        r.moveTop(area.top());
    return r;
}

bool RunPicker(QWidget* owner, const QString& title, QString* path, QRect* position, PickKind kind)
{
    QFileDialog dialog(owner, title);
    dialog.setObjectName("picker");
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::ReadOnly, false);
    switch (kind) {
    case PickKind::Folder:
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        dialog.setNameFilter("Folders");
        dialog.setLabelText(QFileDialog::Accept, "Select");
        dialog.setLabelText(QFileDialog::FileName, "Folder Name:");
        break;
    case PickKind::FolderOrFile:
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilter("Folder or File Name (*)");
        dialog.setLabelText(QFileDialog::Accept, "Select");
        dialog.setLabelText(QFileDialog::FileName, "Folder/File Name:");
        break;
    case PickKind::LogFile:
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilter("Log Files (*.log)");
        dialog.setDefaultSuffix("log");
        break;
    }
    if (!path->isEmpty()) {
        const QFileInfo info(*path);
        if (info.isDir())
            dialog.setDirectory(*path);
        else {
            dialog.setDirectory(info.absolutePath());
            if (kind != PickKind::Folder)
                dialog.selectFile(info.fileName());
        }
    }
    const QRect place = position && position->isValid() ? *position : InitialPlace(owner, dialog.sizeHint());
    dialog.setGeometry(place);
    if (g_hook) {
        QFileDialog* d = &dialog;
        QTimer::singleShot(0, d, [d] { g_hook(d); });
    }
    const int rc = dialog.exec();
    if (position)
        *position = dialog.geometry();
    if (rc != QDialog::Accepted)
        return false;
    QString chosen;
    const QStringList files = dialog.selectedFiles();
    if (!files.isEmpty())
        chosen = files.front();
    if (kind == PickKind::Folder && (chosen.isEmpty() || !QFileInfo(chosen).isDir()))
        chosen = dialog.directory().absolutePath();
    if (chosen.isEmpty() || chosen.toLocal8Bit().size() > kPickerMaxPath)
        return false;
    if (kind == PickKind::Folder && !QFileInfo(chosen).isDir())
        return false;
    *path = chosen;
    return true;
}

}  // namespace

bool PickFolder(QWidget* owner, const QString& title, QString* path, QRect* position)
{
    return RunPicker(owner, title, path, position, PickKind::Folder);
}

bool PickFolderOrFile(QWidget* owner, const QString& title, QString* path, QRect* position)
{
    return RunPicker(owner, title, path, position, PickKind::FolderOrFile);
}

bool PickLogFile(QWidget* owner, const QString& title, QString* file, QRect* position)
{
    return RunPicker(owner, title, file, position, PickKind::LogFile);
}

void SetPickerHook(PickerHook hook) { g_hook = hook; }
