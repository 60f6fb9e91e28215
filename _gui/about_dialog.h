// The About dialog: the program's picture, its version and build, and OK.
#pragma once
#include <QDialog>

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* owner);
};

// Runs the dialog modally, centred on its owner.
void ShowAboutDialog(QWidget* owner);

inline constexpr const char* kAboutVersion = "NIMBO v4.6.0 - Build 21120715";
