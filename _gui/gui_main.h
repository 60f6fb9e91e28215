// Entry points of the desktop, called by main.
#pragma once
#include <string>

// Creates the QApplication when none exists yet (main may call it first with its arguments;
// the entry points below call it themselves otherwise).
void GuiCreateApplication(int& argc, char** argv);

// Registers the desktop's pictures (the icon, the banner); the windows that show them call it,
// so that they have them whoever made the application.
void EnsureGuiResources();

// 1: this instance goes on; 0: it must end (another instance runs, or "-kill").
int GuiSingleInstanceCheck(const std::string& commandLine);

// Connects to the services and runs the main window until it closes. 1 after a normal
// close, 0 when the desktop did not start (no connection, failed handshake).
int GuiMain();

// Asks the main window to close; any thread. With GUI_CLOSE_INI_FAILURE (the settings
// writer could not write the INI file) the window position is not saved.
enum GuiCloseOrigin : int { GUI_CLOSE_USER = 0, GUI_CLOSE_INI_FAILURE = 1 };
void GuiRequestClose(int origin);
