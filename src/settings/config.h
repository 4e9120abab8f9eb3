// The options dialog "Bandwidth Monitor Options": the one editor of the settings record and of the
// start with the desktop session. Created hidden at start-up; its creation starts the traffic
// machinery. Modeless; main thread only.
#pragma once

#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>
#include <cstdint>
#include <functional>
#include <optional>

namespace zul {

class TPlanPage;

// A colour swatch that the user clicks to change. Keeps the stored 0x00BBGGRR value as it is, so
// that a colour nobody changed is never counted as a change.
class TSwatch : public QFrame {
 public:
  explicit TSwatch(QWidget* parent);
  uint32_t Value() const { return FValue; }
  void SetValue(uint32_t value);
  QColor Color() const;
  std::function<void()> OnClick;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  uint32_t FValue = 0;
};

// What the dialog does to the rest of the program. The defaults are the program's own
// operations; tests put recorders in their place.
struct TConfigActions {
  std::function<void(QWidget* window, bool on)> SetTopmost;
  std::function<void(bool show)> SetAllCaptions;
  std::function<void(bool on, uint16_t percent)> SetAllTransparency;
  std::function<void()> RepaintAll;
  std::function<void()> StartAllWatchers;
  std::function<void(int32_t index)> MonitorOneAdapter;
  std::function<void()> UpdateFullScale;
  std::function<void()> ArmNotification;
  std::function<void()> SaveCfg;
  // Throws std::runtime_error with a text for the user when the file cannot be played.
  std::function<void(const QString& file)> PlaySoundFile;
  // A message box with one OK button; the dialog stays open behind it.
  std::function<void(QMessageBox::Icon icon, const QString& text)> Message;
  // The colour dialog, opened with `initial`; nullopt when the user cancels.
  std::function<std::optional<QColor>(const QColor& initial)> PickColor;
  // The open-file dialog, no filter, in the folder of `current`; the full path, or empty when
  // the user cancels.
  std::function<QString(const QString& current)> PickFile;
};

class TFConfig : public QDialog {
  Q_OBJECT
 public:
  explicit TFConfig(QWidget* parent = nullptr);
  ~TFConfig() override;

  // Start-up: capture on every adapter, fresh totals, the notification window, the adapter
  // list, then the one adapter and the graph scale the settings ask for.
  void FormCreate();
  // The tray menu's "&Options": the controls from Cfg and the autostart entry, then the dialog
  // in front. A plain show() fills the controls the same way.
  void ShowOptions();
  // Appends to CBInterfaces the adapters of AdapterList it lacks, keeping the selection and the
  // text typed into it; runs whenever the watchers change AdapterList (TAdapterEvents).
  void TakeNewAdapters();

  void LoadFromCfg();
  // Validates the controls; shows the first problem found and returns false.
  bool CheckCfg();
  // Controls to Cfg, each change applied to the running program; true when anything changed.
  bool SaveToCfg();
  void SetupRun(bool on);
  void GetRun();
  void EnableNotify(bool on);
  void EnableSound(bool on);

  void BBOKClick();
  void BBCancelClick();
  void CBTransparentClick();
  void CBGridLinesClick();
  void PDownloadClick();
  void PUploadClick();
  void PBothClick();
  void PIdleClick();
  void CBENotifyClick();
  void CBPlayClick();
  void SBOpenClick();
  void SBSoundClick();
  void RBAllInterfacesClick();
  void CBConnectionChange();

  TConfigActions Actions;

  QTabWidget* PageControl = nullptr;
  QPushButton* BBOK = nullptr;
  QPushButton* BBCancel = nullptr;

  // "General"
  QCheckBox* CBOntop = nullptr;
  QCheckBox* CBCaption = nullptr;
  QCheckBox* CBMinimized = nullptr;
  QCheckBox* CBAverage = nullptr;
  QCheckBox* CBTransparent = nullptr;
  QSlider* TBVisible = nullptr;
  QRadioButton* RBGraphic = nullptr;
  QRadioButton* RBNumeric = nullptr;
  QRadioButton* RBGraphNum = nullptr;
  QRadioButton* RBkBs = nullptr;
  QRadioButton* RBkbps = nullptr;
  QCheckBox* CBRun = nullptr;

  // "Network Interface"
  QRadioButton* RBAllInterfaces = nullptr;
  QRadioButton* RBspecinterface = nullptr;
  QComboBox* CBInterfaces = nullptr;

  // "Graph"
  QCheckBox* CBGridLines = nullptr;
  QComboBox* CBVerticaltime = nullptr;
  QCheckBox* CBMaxValue = nullptr;
  TSwatch* PDownload = nullptr;
  TSwatch* PUpload = nullptr;
  TSwatch* PBoth = nullptr;
  TSwatch* PIdle = nullptr;
  QComboBox* CBConnection = nullptr;
  QLineEdit* ECstConn = nullptr;
  QLineEdit* ECstConnPlus = nullptr;

  // "Notifications"
  QCheckBox* CBENotify = nullptr;
  QLabel* LWhen = nullptr;
  QComboBox* CBLessthan = nullptr;
  QLineEdit* ENum = nullptr;
  QComboBox* CBBytes = nullptr;
  QLabel* LWere = nullptr;
  QComboBox* CBWere = nullptr;
  QLabel* LInALast = nullptr;
  QLineEdit* ELastNum = nullptr;
  QComboBox* CBSeconds = nullptr;
  QCheckBox* CBPlay = nullptr;
  QLineEdit* EWaveName = nullptr;
  QToolButton* SBOpen = nullptr;
  QToolButton* SBSound = nullptr;
  QCheckBox* CBDisplaymsg = nullptr;

  // "Systray"
  QRadioButton* RBWANLAN = nullptr;
  QRadioButton* RBWAN = nullptr;
  QRadioButton* RBLAN = nullptr;
  QRadioButton* RBInternet = nullptr;

  // "Data plan" (PlanPage.h)
  TPlanPage* PlanPage = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BuildGeneral();
  void BuildInterface();
  void BuildGraph();
  void BuildNotifications();
  void BuildSystray();
  void PickSwatch(TSwatch* swatch);
  void Warn(const char* text);

  // The colour the colour dialog opens with: the one last chosen in it.
  QColor FLastColor = Qt::black;
  // A save that failed; the next OK writes the file even if nothing changes in between.
  bool FSavePending = false;
};

extern TFConfig* FConfig;

}  // namespace zul
