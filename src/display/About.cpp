#include "display/About.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

namespace zul {

TFAbout* FAbout = nullptr;

TFAbout::TFAbout(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FAbout"));
  setWindowTitle(QStringLiteral("About ZUL"));
  auto* layout = new QVBoxLayout(this);
  auto* name = new QLabel(QStringLiteral("<b>ZUL</b> network bandwidth monitor"), this);
  auto* version = new QLabel(QStringLiteral("Version " ZUL_VERSION), this);
  auto* maker = new QLabel(QStringLiteral("Halvane"), this);
  for (QLabel* label : {name, version, maker}) {
    label->setAlignment(Qt::AlignHCenter);
    layout->addWidget(label);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::hide);
  layout->addWidget(buttons);
}

}  // namespace zul
