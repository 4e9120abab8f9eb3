// The options dialog's "Data plan" page: the [DataPlan] keys of zul.ini, checked with a message
// in the style of the other pages and applied at once when the dialog's OK is pressed.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

#include "history/DataPlan.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace zul {

class TPlanPage : public QWidget {
 public:
  explicit TPlanPage(QWidget* parent = nullptr);

  // The controls from the plan in force.
  void Load();
  void Load(const TPlanSettings& s);
  // The plan the controls hold, or none with the message for the user in `problem`.
  std::optional<TPlanSettings> Read(QString& problem) const;
  // Empty when the controls hold a plan that can be saved, else the message.
  QString Problem() const;
  // Saves and applies the page's plan when it differs from the one in force; the message of a
  // failure (nothing is changed then), or empty.
  QString Apply();
  void CBPlanEnabledClick();

  // The plan in force, and how a new one is saved and put in force; the program's own unless set.
  std::function<TPlanSettings()> Current;
  std::function<void(const TPlanSettings&)> Save;

  QCheckBox* CBPlanEnabled = nullptr;
  QComboBox* CBPlanView = nullptr;
  QComboBox* CBPlanDirection = nullptr;
  QLineEdit* EPlanCap = nullptr;
  QComboBox* CBPlanUnit = nullptr;
  QLineEdit* EPlanDay = nullptr;
  QLineEdit* EPlanAlerts = nullptr;
  QCheckBox* CBPlanSound = nullptr;
  QCheckBox* CBPlanMessage = nullptr;
};

// The cap as the page shows it: a number and the unit's index (0 MB, 1 GB, 2 TB), decimal units.
std::pair<QString, int> CapText(uint64_t bytes);
// The page's cap text in bytes; none when it is no number. Values past 2^64 come back as
// UINT64_MAX, so that the range check names them.
std::optional<uint64_t> CapBytesOf(const QString& text, int unit);

}  // namespace zul
