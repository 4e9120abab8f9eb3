// The statistics window: totals of the traffic log per hour, day, week, month or year for one
// view and one period. Created hidden at start-up, shown from the tray menu, hidden when closed.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QDialog>
#include <QLocale>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/LogReader.h"
#include "history/Period.h"
#include "history/TrafficChart.h"
#include "history/TrafficLog.h"

class QComboBox;
class QDateEdit;
class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QRadioButton;
class QTreeView;
class QHBoxLayout;
class QVBoxLayout;

namespace zul {

// The rows of the last query. The list asks only for the rows it paints; their texts are made
// then, from the records kept as they came.
class TMeterModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum TColumn : int { colPeriod = 0, colDownload = 1, colUpload = 2, colSum = 3 };
  static constexpr int kColumnCount = 4;

  explicit TMeterModel(QObject* parent = nullptr);

  // Replaces the rows; the texts follow the locale in force at this moment. Rows with the same
  // keys as before only change their amounts, so the selection and the scrolling stay.
  void SetRows(std::vector<TLogRecord> rows);
  const std::vector<TLogRecord>& Rows() const { return FRows; }

  // The text of one cell.
  QString LVMeterData(int row, int column) const;
  // Row colours: light blue for even rows, white for odd ones; selected rows take the list's
  // highlight colours.
  static QColor LVMeterCustomDrawItem(int row);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  std::vector<TLogRecord> FRows;
  QLocale FLocale;
  QString FShortDate;  // the locale's short date format, with four-digit years
  std::string FDecimalPoint = ".";
};

class TFTotal : public QDialog {
  Q_OBJECT
 public:
  explicit TFTotal(QWidget* parent = nullptr);
  ~TFTotal() override;

  // From the tray menu: brings a visible window to the front; otherwise fills in the grouping
  // and the period when they are not chosen yet and shows the window, without a query.
  void ShowStatistics();

  // The one handler of a choice in any of the three lists and of "Start": the period, then the
  // query, which runs on the log reader's thread; the list and the totals change only when it
  // succeeds. While another program holds the log, LState says "log busy, retrying".
  void CBTargetChange();
  // Once a second while the window shows a list: the running hour, day, week, month and year
  // follow the counters, and the list is read again after the log was written.
  void RefreshTimer();
  void RadioButton1Click();
  void RadioButton2Click();
  // The list's context menu: the rows listed, to a CSV file the user picks (as --export csv
  // writes them).
  void NExportRowsClick();
  // Asks for the file to write; an empty answer cancels. Tests answer in place of the dialog.
  std::function<QString(QWidget* parent, const QString& suggested)> ChooseExportFile;

  // The log the queries read; the program's own when none is set.
  void SetLog(TTrafficLog* log) { FLog = log; }
  // What was counted and is not in the log yet (the running hour, the hours waiting to be
  // written); the program's sampler when none is set.
  std::function<std::vector<TPeriodWrite>()> Unlogged;
  // Whether a query has been asked for and not answered yet.
  bool QueryPending() const { return FTicket != 0; }
  // The select text of the last query that succeeded.
  const std::string& LastQuery() const { return FLastQuery; }
  const TPeriod& Period() const { return FPeriod; }
  TMeterModel* Model() const { return FModel; }

  QComboBox* CBTarget = nullptr;
  QComboBox* CBWays = nullptr;
  QRadioButton* RadioButton1 = nullptr;
  QComboBox* CBTime = nullptr;
  QRadioButton* RadioButton2 = nullptr;
  QDateEdit* DTP1 = nullptr;
  QLabel* Label1 = nullptr;
  QDateEdit* DTP2 = nullptr;
  QPushButton* BStart = nullptr;
  QPushButton* BApplications = nullptr;  // opens the Applications window
  QTreeView* LVMeter = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* LDn = nullptr;
  QLabel* LUp = nullptr;
  QLabel* LSum = nullptr;
  QLabel* LState = nullptr;  // "log busy, retrying" while the log is held elsewhere
  QMenu* PopupMenu1 = nullptr;
  QAction* NExportRows = nullptr;

  // ---- The data plan's bar, the chart and the "Billing periods" grouping (TotalPlan.cpp) ----
  QWidget* PPlanBar = nullptr;    // the plan's use from 0 to the cap; hidden without a plan
  QWidget* PChart = nullptr;      // the chart of the rows listed, in the list's place
  QPushButton* BChart = nullptr;  // checked: the chart shows instead of the list
  void BChartClick();
  // What the chart draws: the rows listed in the graph colours, and the plan's cap when the
  // view and the grouping are the plan's.
  TChartData ChartData() const;

 protected:
  void showEvent(QShowEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  void ComputePeriod();
  bool RunQuery();
  // On the main thread: an outcome of the log reader.
  void QueryDone(TLogReadResult result);
  // The rows read from the log with what was counted since, listed and totalled.
  void ShowRows();
  TTrafficLog* CurrentLog() const;
  void ShowTotals();
  void ApplyDefaults();
  void PlaceTotals();
  // TotalPlan.cpp: the controls, the select text of the grouping (billing periods read the days
  // of their cycles), the rows as listed, and the bar's and chart's repaint.
  void BuildPlanBlock(QVBoxLayout* layout, QHBoxLayout* lists);
  std::optional<std::string> GroupingQueryText() const;
  std::vector<TLogRecord> GroupedRows(std::vector<TLogRecord> rows) const;
  void UpdatePlanBlock();

  TMeterModel* FModel = nullptr;
  TTrafficLog* FLog = nullptr;
  TPeriod FPeriod;
  std::string FLastQuery;
  // The query under way, the log's last write when it was asked, and the rows of the last one
  // answered with that write's time.
  uint64_t FTicket = 0;
  std::string FPendingQuery;
  std::optional<std::chrono::system_clock::time_point> FPendingStamp;
  std::vector<TLogRecord> FLogRows;
  std::optional<std::chrono::system_clock::time_point> FRowsStamp;
  QTimer FRefresh;
  std::unique_ptr<TLogReader> FReader;
  bool FPlaced = false;
};

// Created hidden at start-up; lives until exit.
extern TFTotal* FTotal;

}  // namespace zul
