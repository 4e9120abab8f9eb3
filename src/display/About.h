// The about box: the program's name, version and maker. Created hidden at start-up.
#pragma once

#include <QDialog>

namespace zul {

class TFAbout : public QDialog {
  Q_OBJECT
 public:
  explicit TFAbout(QWidget* parent = nullptr);
};

extern TFAbout* FAbout;

}  // namespace zul
