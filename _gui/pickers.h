// The folder and file pickers of the settings pages and the About dialog's neighbours: file
// dialogs of Qt's own (not the platform's), so that they behave the same everywhere, which
// remember their place and size in a caller's record between calls. Each runs modally over
// its owner; the console link goes on being read meanwhile.
#pragma once
#include <QRect>
#include <QString>

class QFileDialog;
class QWidget;

// Longest path a picker hands back (the settings fields hold 260 bytes with the NUL).
constexpr int kPickerMaxPath = 259;

// A folder: OK with nothing selected returns the folder shown; a file cannot be chosen.
// path: the initial folder in, the chosen folder out (unchanged when nothing was chosen).
// position: the picker's place and size, used when valid and filled when it closes.
bool PickFolder(QWidget* owner, const QString& title, QString* path, QRect* position = nullptr);
// A folder or a file.
bool PickFolderOrFile(QWidget* owner, const QString& title, QString* path, QRect* position = nullptr);
// A log file, which may not exist yet (default extension "log").
bool PickLogFile(QWidget* owner, const QString& title, QString* file, QRect* position = nullptr);

// Tests answer the pickers: the hook gets the dialog once it shows and closes it.
using PickerHook = void (*)(QFileDialog* dialog);
void SetPickerHook(PickerHook hook);
