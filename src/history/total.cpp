#include "history/total.h"

#include <QBrush>
#include <QComboBox>
#include <QDate>
#include <QDateEdit>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QStyle>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <memory>
#include <sstream>
#include <utility>

#include "display/AppsWindow.h"
#include "display/DialogFit.h"
#include "history/DataPlan.h"
#include "history/Export.h"
#include "history/LogQuery.h"
#include "history/Sampler.h"
#include "platform/ErrorReport.h"
#include "platform/Files.h"
#include "vartype.h"

namespace zul {

TFTotal* FTotal = nullptr;

namespace {

constexpr int kPeriodWidth = 200;
constexpr int kAmountWidth = 120;
constexpr int kTotalWidth = 104;
const QColor kSelectedBack(0, 0, 128);
constexpr const char* kSoFarMark = " (so far)";
constexpr const char* kLogBusyText = "log busy, retrying";
// The even rows' tint: light blue over white, a dark blue over a dark theme's base.
constexpr int kEvenTint = 31;
// Room around a cell's text, so that the widest text of a column is never cut.
constexpr int kCellPadding = 16;

TDate ToDate(QDate d) {
  return TDate{std::chrono::year(d.year()), std::chrono::month(static_cast<unsigned>(d.month())),
               std::chrono::day(static_cast<unsigned>(d.day()))};
}

QDate ToQDate(TDate d) {
  return QDate(static_cast<int>(d.year()), static_cast<int>(static_cast<unsigned>(d.month())),
               static_cast<int>(static_cast<unsigned>(d.day())));
}

// A two-digit year would make the rows of different centuries look alike, and the log spans
// years; quoted literals stay as they are.
QString FourDigitYears(const QString& format) {
  QString out;
  bool quoted = false;
  for (qsizetype i = 0; i < format.size();) {
    const QChar c = format[i];
    if (c == u'\'') quoted = !quoted;
    if (!quoted && c == u'y') {
      qsizetype n = 0;
      while (i + n < format.size() && format[i + n] == u'y') ++n;
      out += n == 2 ? QStringLiteral("yyyy") : format.mid(i, n);
      i += n;
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

QComboBox* MakeList(QWidget* parent, const char* hint, std::initializer_list<const char*> items) {
  auto* box = new QComboBox(parent);
  for (const char* item : items) box->addItem(QString::fromUtf8(item));
  box->setCurrentIndex(-1);
  box->setToolTip(QString::fromUtf8(hint));
  return box;
}

// A total's place: the designed width, or the widest amount in the label's bold font.
int TotalWidth(const QLabel* label) {
  return std::max(kTotalWidth,
                  label->fontMetrics().horizontalAdvance(QStringLiteral("1023.9 MB")) + 4);
}

QLabel* MakeBold(QWidget* parent, const QString& text, Qt::Alignment align) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  label->setAlignment(align | Qt::AlignVCenter);
  return label;
}

}  // namespace

TMeterModel::TMeterModel(QObject* parent) : QAbstractTableModel(parent) {}

void TMeterModel::SetRows(std::vector<TLogRecord> rows) {
  const auto sameKey = [](const TLogRecord& a, const TLogRecord& b) {
    return a.CDate == b.CDate && a.Flag == b.Flag && a.Hour == b.Hour && a.SoFar == b.SoFar;
  };
  if (!rows.empty() && rows.size() == FRows.size() &&
      std::equal(rows.begin(), rows.end(), FRows.begin(), sameKey)) {
    FRows = std::move(rows);
    Q_EMIT dataChanged(index(0, 0), index(static_cast<int>(FRows.size()) - 1, kColumnCount - 1));
    return;
  }
  beginResetModel();
  FRows = std::move(rows);
  FLocale = QLocale();
  FShortDate = FourDigitYears(FLocale.dateFormat(QLocale::ShortFormat));
  FDecimalPoint = FLocale.decimalPoint().toStdString();
  endResetModel();
}

QString TMeterModel::LVMeterData(int row, int column) const {
  if (row < 0 || static_cast<std::size_t>(row) >= FRows.size()) return {};
  const TLogRecord& r = FRows[static_cast<std::size_t>(row)];
  switch (column) {
    case colPeriod:
      // A period still running says so: its amounts grow while the window is open.
      return QString::fromStdString(
          PeriodText(
              r,
              [this](TDate d) { return FLocale.toString(ToQDate(d), FShortDate).toStdString(); }) +
          (r.SoFar ? kSoFarMark : ""));
    case colDownload:
      return QString::fromStdString(FormatKB(r.Dn, FDecimalPoint));
    case colUpload:
      return QString::fromStdString(FormatKB(r.Up, FDecimalPoint));
    case colSum:
      return QString::fromStdString(
          FormatKB(static_cast<long double>(r.Up) + static_cast<long double>(r.Dn), FDecimalPoint));
    default:
      return {};
  }
}

QColor TMeterModel::LVMeterCustomDrawItem(int row) {
  // The theme's base colour, the even rows tinted blue: (224, 224, 255) and white on a light one.
  const QColor base = QGuiApplication::palette().color(QPalette::Base);
  if (row % 2 != 0) return base;
  auto tint = [](int channel, int toward) {
    return (channel * (255 - kEvenTint) + toward * kEvenTint + 127) / 255;
  };
  return QColor(tint(base.red(), 0), tint(base.green(), 0), tint(base.blue(), 255));
}

int TMeterModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TMeterModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant TMeterModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  switch (role) {
    case Qt::DisplayRole:
      return LVMeterData(index.row(), index.column());
    case Qt::TextAlignmentRole:
      return static_cast<int>((index.column() == colPeriod ? Qt::AlignLeft : Qt::AlignRight) |
                              Qt::AlignVCenter);
    case Qt::BackgroundRole:
      return QBrush(LVMeterCustomDrawItem(index.row()));
    case Qt::ForegroundRole:
      return QBrush(QGuiApplication::palette().color(QPalette::Text));
    default:
      return {};
  }
}

QVariant TMeterModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) return {};
  if (role == Qt::DisplayRole) {
    static const char* const kNames[kColumnCount] = {"Period", "Download", "Upload", "Sum"};
    return section >= 0 && section < kColumnCount ? QString::fromUtf8(kNames[section]) : QString();
  }
  if (role == Qt::TextAlignmentRole)
    return static_cast<int>((section == colPeriod ? Qt::AlignLeft : Qt::AlignRight) |
                            Qt::AlignVCenter);
  return {};
}

TFTotal::TFTotal(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FTotal"));
  setWindowTitle(QStringLiteral("Statistics"));

  CBTarget = MakeList(this, "Select a computer",
                      {kViewNames[0], kViewNames[1], kViewNames[2], kViewNames[3]});
  CBWays = MakeList(this, "Select a style",
                    {kGroupingNames[0], kGroupingNames[1], kGroupingNames[2], kGroupingNames[3],
                     kGroupingNames[4], kBillingPeriodsName});
  CBTime = MakeList(this, "Select the time",
                    {kTimePresetNames[0], kTimePresetNames[1], kTimePresetNames[2],
                     kTimePresetNames[3], kTimePresetNames[4], kTimePresetNames[5],
                     kTimePresetNames[6], kTimePresetNames[7], kTimePresetNames[8]});
  RadioButton1 = new QRadioButton(this);
  RadioButton1->setChecked(true);
  RadioButton2 = new QRadioButton(this);

  DTP1 = MakeDateEdit(this, QStringLiteral("Start time"));
  DTP2 = MakeDateEdit(this, QStringLiteral("Stop time"));
  Label1 = new QLabel(QStringLiteral("_"), this);
  BStart = new QPushButton(QStringLiteral("Start"), this);
  BApplications = new QPushButton(QStringLiteral("Applications"), this);
  BApplications->setToolTip(QStringLiteral("Which application used the network"));

  FModel = new TMeterModel(this);
  LVMeter = new QTreeView(this);
  LVMeter->setModel(FModel);
  LVMeter->setRootIsDecorated(false);
  LVMeter->setItemsExpandable(false);
  LVMeter->setUniformRowHeights(true);  // lets the list skip rows it does not paint
  LVMeter->setAllColumnsShowFocus(true);
  LVMeter->setSelectionBehavior(QAbstractItemView::SelectRows);
  LVMeter->setSelectionMode(QAbstractItemView::SingleSelection);
  LVMeter->setEditTriggers(QAbstractItemView::NoEditTriggers);
  LVMeter->header()->setStretchLastSection(false);
  LVMeter->header()->setSectionsMovable(false);
  // The designed widths at the default font, wider where the font needs it: a week's two dates
  // and the widest amount.
  const QFontMetrics cells(LVMeter->font());
  const QString shortDate = FourDigitYears(QLocale().dateFormat(QLocale::ShortFormat));
  const QString day = QLocale().toString(QDate(2026, 12, 30), shortDate);
  const int periodWidth = std::max(
      kPeriodWidth, cells.horizontalAdvance(day + QStringLiteral(" - ") + day) + kCellPadding);
  const int amountWidth =
      std::max(kAmountWidth, cells.horizontalAdvance(QStringLiteral("1023.9 MB")) + kCellPadding);
  LVMeter->header()->resizeSection(TMeterModel::colPeriod, periodWidth);
  for (int c = TMeterModel::colDownload; c <= TMeterModel::colSum; ++c)
    LVMeter->header()->resizeSection(c, amountWidth);
  QPalette pal = LVMeter->palette();
  for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive}) {
    pal.setColor(g, QPalette::Highlight, kSelectedBack);
    pal.setColor(g, QPalette::HighlightedText, Qt::white);
  }
  LVMeter->setPalette(pal);

  Label2 = MakeBold(this, QStringLiteral("Totals"), Qt::AlignLeft);
  LDn = MakeBold(this, QString(), Qt::AlignRight);
  LUp = MakeBold(this, QString(), Qt::AlignRight);
  LSum = MakeBold(this, QString(), Qt::AlignRight);
  LState = new QLabel(this);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 8, 8, 8);
  auto* lists = new QHBoxLayout;
  lists->addWidget(CBTarget, 3);
  lists->addWidget(CBWays, 2);
  lists->addStretch(1);
  lists->addWidget(LState, 1);
  lists->addWidget(BStart);
  layout->addLayout(lists);
  auto* preset = new QHBoxLayout;
  preset->addWidget(RadioButton1);
  preset->addWidget(CBTime);
  preset->addStretch(1);
  preset->addWidget(BApplications);
  layout->addLayout(preset);
  auto* range = new QHBoxLayout;
  range->addWidget(RadioButton2);
  range->addWidget(DTP1);
  range->addWidget(Label1);
  range->addWidget(DTP2);
  range->addStretch(1);
  layout->addLayout(range);
  layout->addWidget(LVMeter, 1);
  BuildPlanBlock(layout, lists);
  // The totals sit under their columns, placed by PlaceTotals.
  layout->addSpacing(LDn->sizeHint().height() + 4);
  // The designed size at the default font; larger where the four columns, side by side with
  // the list's frame and scroll bar, or the controls need more.
  const int listWidth = periodWidth + 3 * amountWidth + 2 * LVMeter->frameWidth() +
                        LVMeter->style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                        layout->contentsMargins().left() + layout->contentsMargins().right();
  FitDialog(this, QSize(std::max(643, listWidth), 426));

  // Choices are the user's (activated), so setting a default never runs a query.
  for (QComboBox* box : {CBTarget, CBWays, CBTime})
    connect(box, &QComboBox::activated, this, [this](int) { CBTargetChange(); });
  connect(BStart, &QPushButton::clicked, this, [this] { CBTargetChange(); });
  connect(BApplications, &QPushButton::clicked, this,
          [] { Guarded("stats.applications", [] { ShowApplications(); }); });
  connect(RadioButton1, &QRadioButton::toggled, this, [this](bool on) {
    if (on) RadioButton1Click();
  });
  connect(RadioButton2, &QRadioButton::toggled, this, [this](bool on) {
    if (on) RadioButton2Click();
  });
  PopupMenu1 = new QMenu(LVMeter);
  NExportRows = PopupMenu1->addAction(QStringLiteral("Export rows\u2026"));
  connect(NExportRows, &QAction::triggered, this, [this] { NExportRowsClick(); });
  LVMeter->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(LVMeter, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { PopupMenu1->popup(LVMeter->viewport()->mapToGlobal(at)); });
  ChooseExportFile = [](QWidget* owner, const QString& suggested) {
    return QFileDialog::getSaveFileName(owner, QStringLiteral("Export rows"), suggested,
                                        QStringLiteral("CSV files (*.csv);;All files (*)"));
  };
  connect(LVMeter->header(), &QHeaderView::sectionResized, this, [this] { PlaceTotals(); });

  // Arrives on the log reader's thread; the window takes it on the main thread.
  FReader = std::make_unique<TLogReader>([this](TLogReadResult result) {
    auto shared = std::make_shared<TLogReadResult>(std::move(result));
    QMetaObject::invokeMethod(
        this, [this, shared] { QueryDone(std::move(*shared)); }, Qt::QueuedConnection);
  });
  Unlogged = [] {
    return Sampler != nullptr ? Sampler->UnloggedPeriods() : std::vector<TPeriodWrite>{};
  };
  FRefresh.setInterval(1000);
  connect(&FRefresh, &QTimer::timeout, this, [this] { RefreshTimer(); });
  FRefresh.start();
  connect(LVMeter->horizontalScrollBar(), &QScrollBar::valueChanged, this,
          [this] { PlaceTotals(); });
}

TFTotal::~TFTotal() {
  if (FTotal == this) FTotal = nullptr;
}

void TFTotal::ShowStatistics() {
  if (isVisible()) {
    if (isMinimized()) showNormal();
    raise();
    activateWindow();
    return;
  }
  show();  // the defaults come with showEvent
  raise();
  activateWindow();
}

void TFTotal::showEvent(QShowEvent* e) {
  ApplyDefaults();
  QDialog::showEvent(e);
  PlaceTotals();
}

void TFTotal::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  PlaceTotals();
}

void TFTotal::ApplyDefaults() {
  if (CBWays->currentIndex() < 0) CBWays->setCurrentIndex(lgHourly);
  if (CBTime->currentIndex() < 0) {
    CBTime->setCurrentIndex(tpLast7Days);
    ComputePeriod();
  }
}

void TFTotal::CBTargetChange() {
  Guarded("stats.query", [this] {
    ComputePeriod();
    RunQuery();  // the list and the totals keep what they showed until the answer
  });
}

void TFTotal::RefreshTimer() {
  Guarded("stats.query", [this] {
    UpdatePlanBlock();
    if (!isVisible() || FLastQuery.empty() || QueryPending()) return;
    const TTrafficLog* log = CurrentLog();
    // The log was written since the list was read: what left the counters is there now.
    if (log != nullptr && log->IsOpen() && log->LastWriteTime() != FRowsStamp) {
      FPendingQuery = FLastQuery;
      FPendingStamp = log->LastWriteTime();
      FTicket = FReader->Request(log->FilePath(), FLastQuery);
      return;
    }
    ShowRows();
  });
}

void TFTotal::QueryDone(TLogReadResult result) {
  Guarded("stats.query", [&] {
    if (result.Ticket != FTicket) return;  // an answer to a question asked again since
    if (result.State == TLogReadResult::TState::Busy) {
      LState->setText(QString::fromUtf8(kLogBusyText));
      return;
    }
    FTicket = 0;
    LState->clear();
    // A refused text, a missing or damaged file: no news for the user, the old rows stay.
    if (result.State == TLogReadResult::TState::Failed) return;
    const TTrafficLog* log = CurrentLog();
    if (log != nullptr && log->LastWriteTime() != FPendingStamp) {
      // Written while being read: the hour may be in both places, or in neither. Again.
      FTicket = FReader->Request(log->FilePath(), FPendingQuery);
      return;
    }
    FLastQuery = FPendingQuery;
    FLogRows = std::move(result.Rows);
    FRowsStamp = FPendingStamp;
    ShowRows();
  });
}

void TFTotal::ShowRows() {
  std::vector<TLogRecord> rows = FLogRows;
  if (Unlogged) {
    const TLogQuery q = ParseLogQuery(FLastQuery);
    // The same periods that the select text takes.
    const auto wanted = [&q](const TLogRecord& r) {
      if (r.Flag != q.Flag) return false;
      switch (q.Kind) {
        case TLogQuery::TKind::AllDates:
          return true;
        case TLogQuery::TKind::OneDate:
          return r.CDate == q.From;
        case TLogQuery::TKind::DateRange:
          return r.CDate >= q.From && r.CDate <= q.To;
      }
      return false;
    };
    const std::vector<TPeriodWrite> unlogged = Unlogged();
    AddRunning(rows, RunningRecords(unlogged), wanted);
  }
  FModel->SetRows(GroupedRows(std::move(rows)));
  ShowTotals();
  UpdatePlanBlock();
}

void TFTotal::RadioButton1Click() {
  CBTime->setEnabled(true);
  DTP1->setEnabled(false);
  DTP2->setEnabled(false);
}

void TFTotal::RadioButton2Click() {
  CBTime->setEnabled(false);
  DTP1->setEnabled(true);
  DTP2->setEnabled(true);
}

void TFTotal::NExportRowsClick() {
  Guarded("stats.export", [this] {
    if (!ChooseExportFile) return;
    const int grouping = CBWays->currentIndex();
    const QString suggested =
        QStringLiteral("traffic-%1.csv")
            .arg(grouping >= 0 ? CBWays->itemText(grouping).toLower().replace(u' ', u'-')
                               : QStringLiteral("rows"));
    const QString file = ChooseExportFile(this, suggested);
    if (file.isEmpty()) return;
    std::ostringstream text;
    WriteExport(text, TExportFormat::Csv, FModel->Rows());
    const std::string bytes = text.str();
    WriteFileAtomically(QFile::encodeName(file).toStdString(),
                        std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                        kPrivateFileMode, "export file");
  });
}

void TFTotal::ComputePeriod() {
  const TPeriodInput in{RadioButton1->isChecked(), CBTime->currentIndex(), ToDate(DTP1->date()),
                        ToDate(DTP2->date())};
  const TPeriodResult r = zul::ComputePeriod(in, ToDate(QDate::currentDate()));
  FPeriod = r.Period;
  DTP1->setDate(ToQDate(r.Picker1));
  DTP2->setDate(ToQDate(r.Picker2));
}

TTrafficLog* TFTotal::CurrentLog() const {
  return FLog;
}

bool TFTotal::RunQuery() {
  const std::optional<std::string> sql = GroupingQueryText();
  if (!sql) return false;
  const TTrafficLog* log = CurrentLog();
  // A closed log is no news for the user: the old rows stay.
  if (log == nullptr || !log->IsOpen()) return false;
  FPendingQuery = *sql;
  FPendingStamp = log->LastWriteTime();
  FTicket = FReader->Request(log->FilePath(), *sql);
  return true;
}

void TFTotal::ShowTotals() {
  long double up = 0;
  long double dn = 0;
  for (const TLogRecord& r : FModel->Rows()) {
    up += r.Up;
    dn += r.Dn;
  }
  const std::string point = QLocale().decimalPoint().toStdString();
  LDn->setText(QString::fromStdString(FormatKB(dn, point)));
  LUp->setText(QString::fromStdString(FormatKB(up, point)));
  LSum->setText(QString::fromStdString(FormatKB(up + dn, point)));
}

void TFTotal::PlaceTotals() {
  const QHeaderView* header = LVMeter->header();
  const QWidget* viewport = LVMeter->viewport();
  // The list's own text margin, so the totals line up with the amounts above them.
  const int margin =
      LVMeter->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, LVMeter) + 1;
  const int y = LVMeter->geometry().bottom() + 4;
  const int h = LDn->sizeHint().height();
  auto edges = [&](int column) {
    const int left = viewport->mapTo(this, QPoint(header->sectionViewportPosition(column), 0)).x();
    return std::pair{left, left + header->sectionSize(column)};
  };
  const int w = TotalWidth(LDn);
  Label2->setGeometry(edges(TMeterModel::colPeriod).first + margin, y, w, h);
  QLabel* const totals[] = {LDn, LUp, LSum};
  for (int i = 0; i < 3; ++i) {
    const int right = edges(TMeterModel::colDownload + i).second;
    totals[i]->setGeometry(right - margin - w, y, w, h);
  }
}

}  // namespace zul
