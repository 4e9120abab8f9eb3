// Dialogs that grow with their fonts: the size a dialog was designed with is the least it takes,
// and a larger font, style or scale gives its controls the room their texts need. Main thread.
#pragma once

#include <QSize>

class QWidget;

namespace zul {

// Fixes the dialog's size to the larger of `least` and what its layout needs, now and again
// whenever its font or style changes.
void FitDialog(QWidget* dialog, QSize least);

// The larger of `least` and what the dialog's layout needs, heights of wrapped texts included.
QSize FittedSize(const QWidget* dialog, QSize least);

}  // namespace zul
