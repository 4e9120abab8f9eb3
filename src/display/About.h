// The about box: the program's name, version and maker, and links to the user guide and the
// licence where this copy has them. Created hidden at start-up.
#pragma once

#include <QDialog>

class QLabel;

namespace zul {

class TFAbout : public QDialog {
  Q_OBJECT
 public:
  explicit TFAbout(QWidget* parent = nullptr);
  ~TFAbout() override;

  QLabel* GuideLink = nullptr;
  QLabel* LicenceLink = nullptr;
};

extern TFAbout* FAbout;

}  // namespace zul
