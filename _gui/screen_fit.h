// Top-level windows kept inside the screen's available area, frame included. A window
// manager adds its frame only after a window shows, so the frame's margins are not known when
// the window is placed; for a short while after the show the window is fitted again each time
// they change.
#pragma once

class QWidget;

// No larger than the available area less the frame's margins as known now, and moved inside it.
void FitInsideScreen(QWidget* window);
// FitInsideScreen now and again whenever the frame's margins change within a moment of each show.
void KeepInsideScreen(QWidget* window);
