// Dialogs that grow with their fonts: the size a dialog was designed with is the least it takes,
// and a larger font, style or scale gives its controls the room their texts need. Main thread.
#pragma once

#include <QSize>

class QDateEdit;
class QString;
class QWidget;

namespace zul {

// Fixes the dialog's size to the larger of `least` and what its layout needs, now and again
// whenever its font or style changes.
void FitDialog(QWidget* dialog, QSize least);

// The larger of `least` and what the dialog's layout needs, heights of wrapped texts included.
QSize FittedSize(const QWidget* dialog, QSize least);

// A date field of the period choosers: today, in the locale's long format with a calendar, off
// until a range of its own is chosen, and wide enough for the longest day and month names.
QDateEdit* MakeDateEdit(QWidget* parent, const QString& tip);

}  // namespace zul
