// The Applications window: which application used the network over the days chosen, Internet
// and LAN apart, with the last second's rate beside. Made hidden at start-up; the tray menu and
// the statistics window open it through ShowApplications.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QHash>
#include <QIcon>
#include <QString>
#include <QTimer>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "capture/AppUsage.h"
#include "display/AppRows.h"
#include "history/TrafficLog.h"

class QComboBox;
class QDateEdit;
class QLabel;
class QTreeView;

namespace zul {

// Where the window's figures come from. Called on the main thread, while the window is open:
// Totals every few seconds, LastSecond every second, so both answer from memory.
class TAppsData {
 public:
  virtual ~TAppsData() = default;
  // Sums per application over the days from `from` to `to`, the running hour included; one row
  // per application, "Other users" and "System" among them.
  virtual TAppDeltas Totals(TDate from, TDate to) const = 0;
  // Each application's bytes of the last second.
  virtual TAppDeltas LastSecond() const = 0;
  // Empty while applications are counted; else why not, and how to enable it.
  virtual std::string Unavailable() const = 0;
  // The display name and the icon (a theme icon's name or a file's path) from the application's
  // desktop entry; both empty when it has none.
  virtual std::pair<std::string, std::string> Describe(const std::string& app) const = 0;
};

// The rows listed. Texts are made when the list paints them; the order is the model's.
class TAppsModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit TAppsModel(QObject* parent = nullptr);

  // Replaces the rows, sorted as the list is. The same applications keep their rows (and the
  // list its selection); a new order moves them.
  void SetRows(std::vector<TAppRow> rows);
  // The last second's bytes per application, into the rows there are.
  void SetLive(const TAppDeltas& lastSecond);
  const std::vector<TAppRow>& Rows() const { return FRows; }

  // The text of one cell.
  QString CellText(int row, int column) const;
  // The icon of a row: the theme's or the file's, a generic one where neither is there.
  QIcon RowIcon(int row) const;
  // The icon of an application that has none of its own.
  void SetGenericIcon(const QIcon& icon) { FGeneric = icon; }

  int SortColumn() const { return FSortColumn; }
  bool SortDescending() const { return FDescending; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 private:
  // Puts FRows in the list's order; the selection follows its rows.
  void Reorder();

  std::vector<TAppRow> FRows;
  int FSortColumn = acTotal;
  bool FDescending = true;
  std::string FDecimalPoint = ".";
  QIcon FGeneric;
  mutable QHash<QString, QIcon> FIcons;  // by theme name or path: looked up once
};

class TFApps : public QDialog {
  Q_OBJECT
 public:
  explicit TFApps(QWidget* parent = nullptr);
  ~TFApps() override;

  // The source of the figures; none shows no rows. Not owned: it outlives the window.
  void SetData(const TAppsData* source);

  // Brings a visible window to the front, or shows it with its rows read at once.
  void ShowApplications();

  // A choice in the period list, or a date changed in the custom range: the rows again.
  void CBRangeChange();
  // Every few seconds while open: the rows of the days chosen, and whether counting runs.
  void RefreshTimer();
  // Every second while open: the "Now" column.
  void LiveTimer();

  // The days the rows are of.
  const TDateRange& Range() const { return FRange; }
  TAppsModel* Model() const { return FModel; }
  // Running only while the window is shown: a closed window wakes nobody.
  bool TimersActive() const { return FRefresh.isActive() || FLive.isActive(); }

  QComboBox* CBRange = nullptr;
  QDateEdit* DTP1 = nullptr;
  QLabel* Label1 = nullptr;
  QDateEdit* DTP2 = nullptr;
  QLabel* LUnavailable = nullptr;  // why applications are not counted, selectable
  QTreeView* LVApps = nullptr;

 protected:
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;

 private:
  void ComputeRange();
  // The name and icon of an application, asked of the data once per showing of the window.
  std::pair<std::string, std::string> Describe(const std::string& app);

  const TAppsData* FData = nullptr;
  TAppsModel* FModel = nullptr;
  TDateRange FRange;
  std::map<std::string, std::pair<std::string, std::string>> FDescribed;
  QTimer FRefresh;
  QTimer FLive;
};

// Made hidden at start-up, once the figures' source is there; lives until exit.
extern TFApps* FApps;

// The one way in, from the tray menu and from the statistics window: shows FApps, when made.
void ShowApplications();

}  // namespace zul
