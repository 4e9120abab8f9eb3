#include "settings/config.h"

#include <QFormLayout>

#include "capture/Sampler.h"
#include "capture/Watch.h"
#include "display/Figure.h"
#include "settings/CfgF.h"

namespace zul {

TFConfig* FConfig = nullptr;

TFConfig::TFConfig(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FConfig"));
  setWindowTitle(QStringLiteral("Options"));
  CBInterfaces = new QComboBox(this);
  CBInterfaces->setObjectName(QStringLiteral("CBInterfaces"));
  auto* form = new QFormLayout(this);
  form->addRow(QStringLiteral("Interface:"), CBInterfaces);
}

void TFConfig::FormCreate() {
  InitCapture();
  ResetTotals();
  CBInterfaces->clear();
  for (const std::string& name : AdapterList)
    CBInterfaces->addItem(QString::fromLocal8Bit(name.c_str()));
  if (!Cfg.AllInterfaces) {
    MonitorOneAdapter(static_cast<int32_t>(Cfg.InterfaceIndex));
    CBInterfaces->setCurrentIndex(
        Cfg.InterfaceIndex < CBInterfaces->count() ? static_cast<int>(Cfg.InterfaceIndex) : -1);
  }
  UpdateFullScale();
}

}  // namespace zul
