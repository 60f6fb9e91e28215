// The service's directory listing in a small dialog: selecting a line copies its file name,
// "Explorer" opens the working directory. The dialog is window-modal but runs no event loop
// of its own, so the console link goes on being read while it is open.
#pragma once
#include <QDialog>
#include <string>
#include <vector>

class QListWidget;

class DirectoryDialog : public QDialog {
    Q_OBJECT
public:
    DirectoryDialog(QWidget* owner, const std::vector<std::string>& lines);
    QListWidget* list() const { return list_; }

private:
    QListWidget* list_;
};

// Opens the dialog over `owner` and returns at once; the dialog deletes itself when closed.
DirectoryDialog* ShowDirectoryDialog(QWidget* owner, const std::vector<std::string>& lines);

// File name of a listing line (the text up to its first tab); nothing for lines of 256
// characters or more.
std::string DirectoryLineName(const std::string& line);

// Opens the selected working directory in the desktop's file manager; false when there is
// none or it cannot be opened.
bool OpenExplorerOnWorkDir();
