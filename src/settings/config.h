// The options dialog. Created hidden at start-up; its creation starts the traffic machinery.
#pragma once

#include <QComboBox>
#include <QDialog>

namespace zul {

class TFConfig : public QDialog {
  Q_OBJECT
 public:
  explicit TFConfig(QWidget* parent = nullptr);

  // Start-up: capture on every adapter, fresh totals, the adapter list, then the one adapter
  // and the graph scale the settings ask for.
  void FormCreate();

  QComboBox* CBInterfaces = nullptr;
};

extern TFConfig* FConfig;

}  // namespace zul
