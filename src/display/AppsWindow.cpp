#include "display/AppsWindow.h"

#include <QComboBox>
#include <QDate>
#include <QDateEdit>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QImageReader>
#include <QLabel>
#include <QLocale>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QStyle>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>

#include "display/DialogFit.h"
#include "history/Period.h"
#include "platform/ErrorReport.h"

namespace zul {

TFApps* FApps = nullptr;

namespace {

// The rows follow the counters at this pace; the "Now" column every second.
constexpr int kRowsRefreshMs = 5000;
constexpr int kLiveRefreshMs = 1000;
constexpr int kNameWidth = 200;
constexpr int kAmountWidth = 96;
constexpr int kCellPadding = 16;
// An icon file larger than this is no icon: it is not read.
constexpr qint64 kMaxIconFile = 4 * 1024 * 1024;

TDate ToDate(QDate d) {
  return TDate{std::chrono::year(d.year()), std::chrono::month(static_cast<unsigned>(d.month())),
               std::chrono::day(static_cast<unsigned>(d.day()))};
}

QDate ToQDate(TDate d) {
  return QDate(static_cast<int>(d.year()), static_cast<int>(static_cast<unsigned>(d.month())),
               static_cast<int>(static_cast<unsigned>(d.day())));
}

QString Bytes(long double bytes, const std::string& point) {
  return QString::fromStdString(FormatKB(bytes / 1024, point));
}

std::vector<std::string> Keys(const std::vector<TAppRow>& rows) {
  std::vector<std::string> keys;
  keys.reserve(rows.size());
  for (const TAppRow& r : rows) keys.push_back(r.App);
  return keys;
}

}  // namespace

TAppsModel::TAppsModel(QObject* parent) : QAbstractTableModel(parent) {}

void TAppsModel::SetRows(std::vector<TAppRow> rows) {
  std::vector<std::string> now = Keys(FRows);
  std::vector<std::string> next = Keys(rows);
  std::sort(now.begin(), now.end());
  std::sort(next.begin(), next.end());
  if (now != next || FRows.empty()) {
    // Applications came or went: the list starts over.
    beginResetModel();
    FRows = std::move(rows);
    SortAppRows(FRows, FSortColumn, FDescending);
    FDecimalPoint = QLocale().decimalPoint().toStdString();
    endResetModel();
    return;
  }
  std::map<std::string, TAppRow*> byApp;
  for (TAppRow& r : rows) byApp[r.App] = &r;
  for (TAppRow& r : FRows) r = std::move(*byApp[r.App]);
  Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, kAppsColumnCount - 1));
  Reorder();
}

void TAppsModel::SetLive(const TAppDeltas& lastSecond) {
  if (FRows.empty()) return;
  std::map<std::string, TAppBytes> byApp;
  for (const TAppDelta& d : lastSecond) byApp[d.App] += d.Bytes;
  for (TAppRow& r : FRows) {
    const auto it = byApp.find(r.App);
    r.Now = it != byApp.end() ? it->second : TAppBytes{};
  }
  Q_EMIT dataChanged(index(0, acNow), index(rowCount() - 1, acNow));
  if (FSortColumn == acNow) Reorder();
}

void TAppsModel::Reorder() {
  std::vector<TAppRow> sorted = FRows;
  SortAppRows(sorted, FSortColumn, FDescending);
  const std::vector<std::string> before = Keys(FRows);
  if (Keys(sorted) == before) return;
  Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  FRows = std::move(sorted);
  std::map<std::string, int> rowOf;
  for (int i = 0; i < rowCount(); ++i) rowOf[FRows[static_cast<std::size_t>(i)].App] = i;
  const QModelIndexList from = persistentIndexList();
  QModelIndexList to;
  to.reserve(from.size());
  for (const QModelIndex& i : from)
    to.push_back(index(rowOf[before[static_cast<std::size_t>(i.row())]], i.column()));
  changePersistentIndexList(from, to);
  Q_EMIT layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

QString TAppsModel::CellText(int row, int column) const {
  if (row < 0 || static_cast<std::size_t>(row) >= FRows.size()) return {};
  const TAppRow& r = FRows[static_cast<std::size_t>(row)];
  switch (column) {
    case acName:
      return QString::fromStdString(r.Name);
    case acInternetDown:
      return Bytes(static_cast<long double>(r.Bytes.InternetDown), FDecimalPoint);
    case acInternetUp:
      return Bytes(static_cast<long double>(r.Bytes.InternetUp), FDecimalPoint);
    case acLanDown:
      return Bytes(static_cast<long double>(r.Bytes.LanDown), FDecimalPoint);
    case acLanUp:
      return Bytes(static_cast<long double>(r.Bytes.LanUp), FDecimalPoint);
    case acTotal:
      return Bytes(r.Total(), FDecimalPoint);
    case acShare:
      return QString::number(r.Share, 'f', 1).replace(u'.', QString::fromStdString(FDecimalPoint)) +
             u'%';
    case acNow:
      return Bytes(r.NowTotal(), FDecimalPoint) + QStringLiteral("/s");
    default:
      return {};
  }
}

QIcon TAppsModel::RowIcon(int row) const {
  if (row < 0 || static_cast<std::size_t>(row) >= FRows.size()) return {};
  const QString spec = QString::fromStdString(FRows[static_cast<std::size_t>(row)].Icon);
  if (spec.isEmpty()) return FGeneric;
  auto it = FIcons.find(spec);
  if (it == FIcons.end()) {
    QIcon icon;
    // A desktop entry names either an icon of the theme or a file by its full path.
    if (spec.startsWith(u'/')) {
      const QFileInfo file(spec);
      // A file that is no picture would leave the row without any icon.
      if (file.isFile() && file.size() <= kMaxIconFile && QImageReader(spec).canRead())
        icon = QIcon(spec);
    } else {
      icon = QIcon::fromTheme(spec);
    }
    it = FIcons.insert(spec, icon);
  }
  return it->isNull() ? FGeneric : *it;
}

int TAppsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TAppsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kAppsColumnCount;
}

QVariant TAppsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const int row = index.row();
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
      return CellText(row, column);
    case Qt::DecorationRole:
      return column == acName ? QVariant(RowIcon(row)) : QVariant();
    case Qt::TextAlignmentRole:
      return static_cast<int>((column == acName ? Qt::AlignLeft : Qt::AlignRight) |
                              Qt::AlignVCenter);
    case Qt::ToolTipRole: {
      if (static_cast<std::size_t>(row) >= FRows.size()) return {};
      const TAppRow& r = FRows[static_cast<std::size_t>(row)];
      // The identity the export and the metrics use, where the name differs from it.
      if (column == acName && r.Name != r.App) return QString::fromStdString(r.App);
      if (column == acNow)
        return QStringLiteral("Download %1/s, upload %2/s")
            .arg(Bytes(static_cast<long double>(r.Now.Down()), FDecimalPoint),
                 Bytes(static_cast<long double>(r.Now.Up()), FDecimalPoint));
      return {};
    }
    default:
      return {};
  }
}

QVariant TAppsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kAppsColumnCount) return {};
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromUtf8(kAppsColumnNames[static_cast<std::size_t>(section)]);
    case Qt::TextAlignmentRole:
      return static_cast<int>((section == acName ? Qt::AlignLeft : Qt::AlignRight) |
                              Qt::AlignVCenter);
    case Qt::InitialSortOrderRole:
      // The largest amounts first: what the user looks for.
      return static_cast<int>(section == acName ? Qt::AscendingOrder : Qt::DescendingOrder);
    default:
      return {};
  }
}

void TAppsModel::sort(int column, Qt::SortOrder order) {
  if (column < 0 || column >= kAppsColumnCount) return;
  FSortColumn = column;
  FDescending = order == Qt::DescendingOrder;
  Reorder();
}

TFApps::TFApps(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FApps"));
  setWindowTitle(QStringLiteral("Applications"));

  CBRange = new QComboBox(this);
  for (const char* item : kAppsPresetNames) CBRange->addItem(QString::fromUtf8(item));
  CBRange->setCurrentIndex(apToday);
  CBRange->setToolTip(QStringLiteral("Select the time"));

  DTP1 = MakeDateEdit(this, QStringLiteral("Start time"));
  DTP2 = MakeDateEdit(this, QStringLiteral("Stop time"));
  Label1 = new QLabel(QStringLiteral("_"), this);

  LUnavailable = new QLabel(this);
  LUnavailable->setObjectName(QStringLiteral("LUnavailable"));
  LUnavailable->setWordWrap(true);
  // The command that enables counting is there to be copied.
  LUnavailable->setTextFormat(Qt::PlainText);
  LUnavailable->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  LUnavailable->hide();

  FModel = new TAppsModel(this);
  FModel->SetGenericIcon(QIcon::fromTheme(QStringLiteral("application-x-executable"),
                                          style()->standardIcon(QStyle::SP_FileIcon)));
  LVApps = new QTreeView(this);
  LVApps->setModel(FModel);
  LVApps->setRootIsDecorated(false);
  LVApps->setItemsExpandable(false);
  LVApps->setUniformRowHeights(true);
  LVApps->setAllColumnsShowFocus(true);
  LVApps->setSelectionBehavior(QAbstractItemView::SelectRows);
  LVApps->setSelectionMode(QAbstractItemView::SingleSelection);
  LVApps->setEditTriggers(QAbstractItemView::NoEditTriggers);
  LVApps->header()->setStretchLastSection(false);
  LVApps->header()->setSectionsMovable(false);
  LVApps->setSortingEnabled(true);
  LVApps->sortByColumn(acTotal, Qt::DescendingOrder);

  // Widths at the designed sizes, wider where the font needs it: the widest amount, the header
  // with its sort arrow, a name beside its icon.
  const QFontMetrics cells(LVApps->font());
  const QFontMetrics heads(LVApps->header()->font());
  const int arrow = LVApps->style()->pixelMetric(QStyle::PM_HeaderMarkSize) + kCellPadding;
  const int icon = LVApps->style()->pixelMetric(QStyle::PM_SmallIconSize);
  int listWidth = 0;
  for (int c = 0; c < kAppsColumnCount; ++c) {
    const QString head = QString::fromUtf8(kAppsColumnNames[static_cast<std::size_t>(c)]);
    const QString widest = c == acName    ? QStringLiteral("Other users")
                           : c == acShare ? QStringLiteral("100.0%")
                           : c == acNow   ? QStringLiteral("1023.9 KB/s")
                                          : QStringLiteral("1023.9 MB");
    const int least = c == acName ? kNameWidth : c == acShare ? 0 : kAmountWidth;
    const int width =
        std::max({least, cells.horizontalAdvance(widest) + kCellPadding + (c == acName ? icon : 0),
                  heads.horizontalAdvance(head) + arrow});
    LVApps->header()->resizeSection(c, width);
    listWidth += width;
  }

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 8, 8, 8);
  auto* range = new QHBoxLayout;
  range->addWidget(CBRange);
  range->addWidget(DTP1);
  range->addWidget(Label1);
  range->addWidget(DTP2);
  range->addStretch(1);
  layout->addLayout(range);
  layout->addWidget(LUnavailable);
  layout->addWidget(LVApps, 1);
  // Every column side by side, with the list's frame and scroll bar; the window may grow.
  listWidth += 2 * LVApps->frameWidth() + LVApps->style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
               layout->contentsMargins().left() + layout->contentsMargins().right();
  resize(FittedSize(this, QSize(listWidth, 400)));

  // Choices are the user's (activated), and the pickers count only in the custom range.
  connect(CBRange, &QComboBox::activated, this, [this](int) { CBRangeChange(); });
  for (QDateEdit* picker : {DTP1, DTP2})
    connect(picker, &QDateEdit::dateChanged, this, [this] {
      if (CBRange->currentIndex() == apCustom) CBRangeChange();
    });
  FRefresh.setInterval(kRowsRefreshMs);
  connect(&FRefresh, &QTimer::timeout, this, [this] { RefreshTimer(); });
  FLive.setInterval(kLiveRefreshMs);
  connect(&FLive, &QTimer::timeout, this, [this] { LiveTimer(); });
  ComputeRange();
}

TFApps::~TFApps() {
  if (FApps == this) FApps = nullptr;
}

void TFApps::SetData(const TAppsData* source) {
  FData = source;
  FDescribed.clear();
  if (isVisible()) RefreshTimer();
}

void TFApps::ShowApplications() {
  if (isVisible()) {
    if (isMinimized()) showNormal();
  } else {
    show();  // the rows come with showEvent
  }
  raise();
  activateWindow();
}

void TFApps::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  // A desktop entry installed while the window was closed names its application now.
  if (!e->spontaneous()) FDescribed.clear();
  RefreshTimer();
  FRefresh.start();
  FLive.start();
}

void TFApps::hideEvent(QHideEvent* e) {
  FRefresh.stop();
  FLive.stop();
  QDialog::hideEvent(e);
}

void TFApps::CBRangeChange() {
  RefreshTimer();
}

void TFApps::ComputeRange() {
  const int preset = CBRange->currentIndex();
  const bool custom = preset == apCustom;
  DTP1->setEnabled(custom);
  DTP2->setEnabled(custom);
  // A preset follows the calendar: "Today" moves on at midnight.
  FRange =
      AppsRange(preset, ToDate(QDate::currentDate()), ToDate(DTP1->date()), ToDate(DTP2->date()));
  const QSignalBlocker block1(DTP1);
  const QSignalBlocker block2(DTP2);
  DTP1->setDate(ToQDate(FRange.From));
  DTP2->setDate(ToQDate(FRange.To));
}

void TFApps::RefreshTimer() {
  Guarded("apps.refresh", [this] {
    ComputeRange();
    if (FData == nullptr) {
      LUnavailable->hide();
      FModel->SetRows({});
      return;
    }
    const QString reason = QString::fromStdString(FData->Unavailable());
    if (reason != LUnavailable->text()) LUnavailable->setText(reason);
    LUnavailable->setVisible(!reason.isEmpty());
    FModel->SetRows(BuildAppRows(FData->Totals(FRange.From, FRange.To), FData->LastSecond(),
                                 [this](const std::string& app) { return Describe(app); }));
  });
}

void TFApps::LiveTimer() {
  Guarded("apps.live", [this] {
    if (FData != nullptr) FModel->SetLive(FData->LastSecond());
  });
}

std::pair<std::string, std::string> TFApps::Describe(const std::string& app) {
  const auto it = FDescribed.find(app);
  if (it != FDescribed.end()) return it->second;
  return FDescribed[app] = FData->Describe(app);
}

void ShowApplications() {
  if (FApps != nullptr) FApps->ShowApplications();
}

}  // namespace zul
