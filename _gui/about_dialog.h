// The About dialog: the program's picture, its version and build, and OK.
#pragma once
#include <QDialog>

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* owner);
};

// The least width of a dialog whose title the window manager's title bar shows whole.
int AboutTitleWidth(const QWidget* dialog);

// Runs the dialog modally, centred on its owner.
void ShowAboutDialog(QWidget* owner);

inline constexpr const char* kAboutVersion = "NIMBO v4.6.0 - Build 21120715";
