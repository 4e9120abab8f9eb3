#include "settings/PlanPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QVBoxLayout>
#include <array>
#include <cmath>
#include <stdexcept>

#include "history/PlanWatch.h"
#include "vartype.h"

namespace zul {
namespace {

constexpr std::array<const char*, 3> kUnitNames = {"MB", "GB", "TB"};
constexpr std::array<double, 3> kUnitBytes = {1e6, 1e9, 1e12};
constexpr std::array<const char*, 3> kDirectionItems = {"Download and upload", "Download only",
                                                        "Upload only"};

template <class T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QString PercentsText(const std::vector<int>& levels) {
  QStringList parts;
  for (int p : levels) parts << QString::number(p);
  return parts.join(u',');
}

}  // namespace

std::pair<QString, int> CapText(uint64_t bytes) {
  int unit = bytes >= 1'000'000'000'000ULL ? 2 : bytes >= 1'000'000'000ULL ? 1 : 0;
  QString text = QString::number(
      static_cast<double>(bytes) / kUnitBytes[static_cast<std::size_t>(unit)], 'f', 3);
  while (text.contains(u'.') && (text.endsWith(u'0') || text.endsWith(u'.'))) text.chop(1);
  return {bytes == 0 ? QString() : text, unit};
}

std::optional<uint64_t> CapBytesOf(const QString& text, int unit) {
  if (unit < 0 || unit >= static_cast<int>(kUnitBytes.size())) return std::nullopt;
  QString t = text.trimmed();
  // Either decimal mark: the user's locale or the point.
  t.replace(QLocale().decimalPoint(), QStringLiteral("."));
  t.replace(u',', u'.');
  bool ok = false;
  const double value = t.toDouble(&ok);
  if (!ok || !std::isfinite(value) || value < 0 || t.startsWith(u'+')) return std::nullopt;
  const double bytes = std::round(value * kUnitBytes[static_cast<std::size_t>(unit)]);
  if (bytes >= 1.8e19) return UINT64_MAX;
  return static_cast<uint64_t>(bytes);
}

TPlanPage::TPlanPage(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("PlanPage"));
  auto* v = new QVBoxLayout(this);
  v->setContentsMargins(4, 4, 4, 4);
  v->setSpacing(4);
  auto* heading = new QLabel(QStringLiteral("Data plan"), this);
  QFont f = heading->font();
  f.setBold(true);
  heading->setFont(f);
  v->addWidget(heading);
  CBPlanEnabled = Named(new QCheckBox(QStringLiteral("Keep a data plan"), this), "CBPlanEnabled");
  v->addWidget(CBPlanEnabled);

  auto* g = new QGridLayout;
  g->setHorizontalSpacing(4);
  g->setVerticalSpacing(3);
  int row = 0;
  g->addWidget(new QLabel(QStringLiteral("Traffic of:"), this), row, 0);
  CBPlanView = Named(new QComboBox(this), "CBPlanView");
  for (const char* name : kViewNames) CBPlanView->addItem(QString::fromUtf8(name));
  g->addWidget(CBPlanView, row, 1, 1, 2);
  ++row;
  g->addWidget(new QLabel(QStringLiteral("Counting:"), this), row, 0);
  CBPlanDirection = Named(new QComboBox(this), "CBPlanDirection");
  for (const char* item : kDirectionItems) CBPlanDirection->addItem(QString::fromUtf8(item));
  g->addWidget(CBPlanDirection, row, 1, 1, 2);
  ++row;
  g->addWidget(new QLabel(QStringLiteral("Cap per cycle:"), this), row, 0);
  EPlanCap = Named(new QLineEdit(this), "EPlanCap");
  CBPlanUnit = Named(new QComboBox(this), "CBPlanUnit");
  for (const char* unit : kUnitNames) CBPlanUnit->addItem(QString::fromUtf8(unit));
  g->addWidget(EPlanCap, row, 1);
  g->addWidget(CBPlanUnit, row, 2);
  ++row;
  g->addWidget(new QLabel(QStringLiteral("Cycle starts on day:"), this), row, 0);
  EPlanDay = Named(new QLineEdit(this), "EPlanDay");
  EPlanDay->setMaxLength(2);  // a day of the month; its width follows the font
  g->addWidget(EPlanDay, row, 1);
  ++row;
  g->addWidget(new QLabel(QStringLiteral("Alert at (% of cap):"), this), row, 0);
  EPlanAlerts = Named(new QLineEdit(this), "EPlanAlerts");
  g->addWidget(EPlanAlerts, row, 1, 1, 2);
  g->setColumnStretch(1, 1);
  v->addLayout(g);
  auto* note = new QLabel(
      QStringLiteral("1 GB = 1000 MB. A month without the day starts the cycle on its last day."),
      this);
  note->setWordWrap(true);
  v->addWidget(note);
  auto* actions = new QHBoxLayout;
  CBPlanSound = Named(new QCheckBox(QStringLiteral("Play sound file"), this), "CBPlanSound");
  CBPlanMessage = Named(new QCheckBox(QStringLiteral("Display message"), this), "CBPlanMessage");
  actions->addWidget(CBPlanSound);
  actions->addStretch();
  actions->addWidget(CBPlanMessage);
  v->addLayout(actions);
  v->addStretch();

  connect(CBPlanEnabled, &QCheckBox::clicked, this, [this] { CBPlanEnabledClick(); });
  Current = [] {
    if (PlanWatch != nullptr) return PlanWatch->Settings();
    return LoadPlanSettings(DataDir + "zul.ini").Settings;
  };
  Save = [](const TPlanSettings& s) {
    SavePlanSettings(DataDir + "zul.ini", s);
    if (PlanWatch != nullptr) PlanWatch->SetSettings(s);
  };
  Load(TPlanSettings{});
}

void TPlanPage::Load() {
  if (Current) Load(Current());
}

void TPlanPage::Load(const TPlanSettings& s) {
  CBPlanEnabled->setChecked(s.Enabled);
  CBPlanView->setCurrentIndex(s.View);
  CBPlanDirection->setCurrentIndex(static_cast<int>(s.Direction));
  const auto [cap, unit] = CapText(s.CapBytes);
  EPlanCap->setText(cap);
  CBPlanUnit->setCurrentIndex(unit);
  EPlanDay->setText(QString::number(s.CycleDay));
  EPlanAlerts->setText(PercentsText(s.AlertPercents));
  CBPlanSound->setChecked(s.Sound);
  CBPlanMessage->setChecked(s.Message);
  CBPlanEnabledClick();
}

void TPlanPage::CBPlanEnabledClick() {
  const bool on = CBPlanEnabled->isChecked();
  for (QWidget* w :
       std::initializer_list<QWidget*>{CBPlanView, CBPlanDirection, EPlanCap, CBPlanUnit, EPlanDay,
                                       EPlanAlerts, CBPlanSound, CBPlanMessage})
    w->setEnabled(on);
}

std::optional<TPlanSettings> TPlanPage::Read(QString& problem) const {
  TPlanSettings s;
  s.Enabled = CBPlanEnabled->isChecked();
  s.View = CBPlanView->currentIndex();
  s.Direction = static_cast<TPlanDirection>(std::max(0, CBPlanDirection->currentIndex()));
  s.Sound = CBPlanSound->isChecked();
  s.Message = CBPlanMessage->isChecked();
  const QString capText = EPlanCap->text().trimmed();
  const std::optional<uint64_t> cap = capText.isEmpty() && !s.Enabled
                                          ? std::optional<uint64_t>(0)
                                          : CapBytesOf(capText, CBPlanUnit->currentIndex());
  if (!cap) {
    problem = QStringLiteral("Data plan cap is not a number!");
    return std::nullopt;
  }
  if (*cap > kPlanCapMax) {
    problem = QStringLiteral("Data plan cap cannot be larger than 1 EB (1000000 TB)!");
    return std::nullopt;
  }
  if (s.Enabled && *cap == 0) {
    problem = QStringLiteral("Data plan cap must be larger than zero!");
    return std::nullopt;
  }
  s.CapBytes = *cap;
  bool ok = false;
  const int day = EPlanDay->text().trimmed().toInt(&ok);
  if (!ok || day < 1 || day > 31) {
    problem = QStringLiteral("The billing cycle must start on a day from 1 to 31!");
    return std::nullopt;
  }
  s.CycleDay = day;
  // The same rules as the file's.
  const TPlanLoad parsed =
      ParsePlanSection("[DataPlan]\nAlertPercents=" + EPlanAlerts->text().toStdString() + "\n", "");
  if (!parsed.Error.empty()) {
    problem = QStringLiteral(
        "Alert levels must be up to 10 percentages from 1 to 1000, such as 80,90,100!");
    return std::nullopt;
  }
  s.AlertPercents = parsed.Settings.AlertPercents;
  if (s.View < 0) {
    problem = QStringLiteral("Please select the traffic the data plan counts!");
    return std::nullopt;
  }
  if (const std::string left = CheckPlanSettings(s); !left.empty()) {
    problem = QString::fromStdString(left);
    return std::nullopt;
  }
  return s;
}

QString TPlanPage::Problem() const {
  QString problem;
  Read(problem);
  return problem;
}

QString TPlanPage::Apply() {
  QString problem;
  const std::optional<TPlanSettings> s = Read(problem);
  if (!s) return problem;
  if (Current && Current() == *s) return {};
  try {
    if (Save) Save(*s);
  } catch (const std::exception& e) {
    return QString::fromStdString(e.what());
  }
  return {};
}

}  // namespace zul
