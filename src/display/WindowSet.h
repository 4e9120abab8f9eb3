// The set of four graph windows: set-up at start, placement, showing and hiding the windows the
// user has open, option changes passed to all four, and the record of the set at exit.
// Main thread only.
#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "display/Placement.h"
#include "display/Scale.h"

namespace zul {

class TFBFigure;

// The four graph windows indexed by view; index 0 is the primary window. A window joins at its
// creation and leaves at its destruction; the views go in the order start-up creates them.
extern std::array<TFBFigure*, 4> Figures;
// A graph window's constructor: takes the next view's place; true for the first window made while
// none is there, the primary one.
bool JoinWindowSet(TFBFigure* figure);
void LeaveWindowSet(TFBFigure* figure);

// Views, counters, captions and styles of the windows created at start-up, then the stored
// visibility and rectangles unless the program starts minimised.
void SetupWindows();
// Moves a hidden window into the first free slot below or above a visible one.
void PlaceWindow(int index);
// Shows every hidden window, placed beside the visible ones.
void ShowAllWindows();
// Shows and fronts the windows the user has open (the primary one when none is).
void ShowMonitor();
// Hides the windows the user has open; ShowMonitor brings the same set back.
void HideAllWindows();
void SetAllCaptions(bool show);
void SetAllTransparency(bool on, uint16_t percent);
void RepaintAll();
// One display step of every graph window, visible or not: the sampler's second drives them all.
void StepAllWindows();
// Records visibility and rectangles in Cfg; writes the settings file only when they changed.
void SaveWindowSet();
// Always-on-top for one window. Windows here do not follow an owner's state, so a null window
// (the program's owner window) stands for all four graph windows.
// While a dialog of the program is open, the graph windows are not on top (they step aside
// below it) whatever onTop says.
void SetTopmost(QWidget* window, bool onTop);
// Makes every dialog's coming and going apply the rule above; SetupWindows starts it.
void WatchDialogs();

// The work area of the primary screen, if the platform reports one, and the desktop size.
std::optional<TWinRect> WorkArea();
// The work areas of all screens, for fitting restored rectangles.
std::vector<TWinRect> WorkAreas();
QSize DesktopSize();

}  // namespace zul
