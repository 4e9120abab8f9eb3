// The options dialog's logic: the start of the traffic machinery, the controls filled from the
// settings record, checked and stored back, and the handlers behind the controls.
#include "settings/config.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>
#include <array>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "capture/Notify.h"
#include "capture/Watch.h"
#include "display/Scale.h"
#include "display/WindowSet.h"
#include "display/vcls.h"
#include "history/Sampler.h"
#include "platform/Autostart.h"
#include "platform/ErrorReport.h"
#include "platform/Log.h"
#include "settings/CfgF.h"
#include "settings/ConfigWidgets.h"
#include "settings/Options.h"
#include "settings/PlanPage.h"

namespace zul {

TFConfig* FConfig = nullptr;

namespace {

constexpr const char* kSaveKey = "config.save";
constexpr const char* kSoundKey = "config.sound";
constexpr const char* kAdminText = "You must run this program with administrative privileges!";
constexpr int kCustomConnection = 15;

// A list's selection from a stored index; a value past the items selects none.
void SelectIndex(QComboBox* box, uint16_t value) {
  box->setCurrentIndex(value < box->count() ? static_cast<int>(value) : -1);
}

}  // namespace

TConfigActions DefaultActions(QWidget* owner) {
  TConfigActions a;
  a.SetTopmost = [](QWidget* window, bool on) { SetTopmost(window, on); };
  a.SetAllCaptions = [](bool show) { SetAllCaptions(show); };
  a.SetAllTransparency = [](bool on, uint16_t percent) { SetAllTransparency(on, percent); };
  a.RepaintAll = [] { RepaintAll(); };
  a.StartAllWatchers = [] { StartAllWatchers(); };
  a.MonitorOneAdapter = [](int32_t index) { MonitorOneAdapter(index); };
  a.UpdateFullScale = [] { UpdateFullScale(); };
  a.ArmNotification = [] { ArmNotification(); };
  a.SaveCfg = [] { SaveCfg(); };
  a.PlaySoundFile = [](const QString& file) {
    if (FVCLS == nullptr) throw std::runtime_error("No sound player is available.");
    FVCLS->PlaySoundFile(file);
  };
  a.Message = [owner](QMessageBox::Icon icon, const QString& text) {
    QMessageBox box(icon, owner->windowTitle(), text, QMessageBox::Ok, owner);
    box.exec();
  };
  a.PickColor = [owner](const QColor& initial) -> std::optional<QColor> {
    const QColor c = QColorDialog::getColor(initial, owner);
    if (!c.isValid()) return std::nullopt;
    return c;
  };
  a.PickFile = [owner](const QString& current) {
    return QFileDialog::getOpenFileName(owner, QString(), QFileInfo(current).absolutePath());
  };
  return a;
}

TFConfig::~TFConfig() {
  if (FConfig == this) FConfig = nullptr;
}

void TFConfig::FormCreate() {
  InitCapture();
  ResetTotals();
  Actions.ArmNotification();
  CBInterfaces->clear();
  for (const std::string& name : AdapterList)
    CBInterfaces->addItem(QString::fromLocal8Bit(name.c_str()));
  // Main thread: a watcher was appended after the kernel reported a new device.
  connect(&AdapterEvents(), &TAdapterEvents::AdapterListChanged, this,
          [this] { Guarded("config.adapters", [this] { TakeNewAdapters(); }); });
  if (!Cfg.AllInterfaces) Actions.MonitorOneAdapter(static_cast<int32_t>(Cfg.InterfaceIndex));
  Actions.UpdateFullScale();
}

void TFConfig::TakeNewAdapters() {
  QLineEdit* edit = CBInterfaces->lineEdit();
  const int selected = CBInterfaces->currentIndex();
  const QString selectedText = selected >= 0 ? CBInterfaces->itemText(selected) : QString();
  const QString typed = edit->text();
  const int cursor = edit->cursorPosition();
  // The list follows the watchers: adapters come, go, and say why they are left out under all.
  const int n = static_cast<int>(AdapterList.size());
  while (CBInterfaces->count() > n) CBInterfaces->removeItem(CBInterfaces->count() - 1);
  for (int k = 0; k < n; ++k) {
    const QString text = QString::fromLocal8Bit(AdapterList[static_cast<std::size_t>(k)].c_str());
    if (k < CBInterfaces->count()) {
      if (CBInterfaces->itemText(k) != text) CBInterfaces->setItemText(k, text);
    } else {
      CBInterfaces->addItem(text);
    }
  }
  // A list that was empty selects its first item by itself. The selection stays with its adapter
  // (found by the text before any reason), unless none was selected and the typed name has just
  // come: typing it selects it too.
  int keep = selected < n ? selected : -1;
  if (!selectedText.isEmpty()) {
    const QString name = selectedText.section(QStringLiteral(" (not counted"), 0, 0);
    for (int k = 0; k < n; ++k)
      if (CBInterfaces->itemText(k).section(QStringLiteral(" (not counted"), 0, 0) == name)
        keep = k;
  }
  if (keep < 0 && !typed.isEmpty()) keep = CBInterfaces->findText(typed, Qt::MatchFixedString);
  if (CBInterfaces->currentIndex() != keep) CBInterfaces->setCurrentIndex(keep);
  if (edit->text() != typed) {
    edit->setText(typed);
    edit->setCursorPosition(cursor);
  }
}

void TFConfig::ShowOptions() {
  // A hidden dialog is filled by its show event; an open one keeps what the user has typed.
  show();
  raise();
  activateWindow();
}

void TFConfig::showEvent(QShowEvent* event) {
  // Only our own show() refills the controls, not the window system giving the window back.
  if (!event->spontaneous()) {
    Guarded("config.show", [this] {
      GetRun();
      LoadFromCfg();
    });
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect area = screen->availableGeometry();
      move(area.center() - QPoint(width() / 2, height() / 2));
    }
  }
  QDialog::showEvent(event);
}

void TFConfig::LoadFromCfg() {
  CBOntop->setChecked(Cfg.OnTop);
  CBCaption->setChecked(Cfg.ShowCaption);
  CBMinimized->setChecked(Cfg.StartMinimized);
  CBAverage->setChecked(Cfg.ShowAverage);
  CBTransparent->setChecked(Cfg.Transparent);
  TBVisible->setEnabled(Cfg.Transparent);
  TBVisible->setValue(Cfg.VisiblePercent);

  const std::array<QRadioButton*, 3> modes = {RBGraphic, RBNumeric, RBGraphNum};
  if (Cfg.DisplayMode < modes.size()) modes[Cfg.DisplayMode]->setChecked(true);
  const std::array<QRadioButton*, 2> units = {RBkBs, RBkbps};
  if (Cfg.RateUnit < units.size()) units[Cfg.RateUnit]->setChecked(true);

  (Cfg.AllInterfaces ? RBAllInterfaces : RBspecinterface)->setChecked(true);
  CBInterfaces->setEnabled(!Cfg.AllInterfaces);
  SelectIndex(CBInterfaces, Cfg.InterfaceIndex);

  CBGridLines->setChecked(Cfg.GridLines);
  CBMaxValue->setChecked(Cfg.ShowMaxValue);
  CBVerticaltime->setEnabled(Cfg.GridLines);
  SelectIndex(CBVerticaltime, Cfg.GridPeriod);

  PDownload->SetValue(Cfg.ColorDownload);
  PUpload->SetValue(Cfg.ColorUpload);
  PBoth->SetValue(Cfg.ColorBoth);
  PIdle->SetValue(Cfg.ColorIdle);

  SelectIndex(CBConnection, Cfg.Connection);
  ECstConn->setEnabled(Cfg.Connection == kCustomConnection);
  ECstConnPlus->setEnabled(Cfg.Connection == kCustomConnection);
  ECstConn->setText(QString::number(static_cast<uint32_t>(Cfg.CustomKbps)));
  ECstConnPlus->setText(QString::number(Cfg.CustomPlus));

  CBENotify->setChecked(Cfg.NotifyEnabled);
  EnableNotify(Cfg.NotifyEnabled);
  SelectIndex(CBLessthan, Cfg.NotifyCondition);
  SelectIndex(CBBytes, Cfg.NotifyUnit);
  SelectIndex(CBWere, Cfg.NotifyTarget);
  SelectIndex(CBSeconds, Cfg.NotifyTimeUnit);
  ENum->setText(QString::number(Cfg.NotifyAmount));
  ELastNum->setText(QString::number(Cfg.NotifyTime));

  CBPlay->setChecked(Cfg.PlaySound);
  if (Cfg.NotifyEnabled) EnableSound(Cfg.PlaySound);
  EWaveName->setText(QString::fromLocal8Bit(Cfg.SoundFile.c_str()));
  CBDisplaymsg->setChecked(Cfg.DisplayMessage);

  const std::array<QRadioButton*, 4> views = {RBWANLAN, RBWAN, RBLAN, RBInternet};
  if (Cfg.TrayView < views.size()) views[Cfg.TrayView]->setChecked(true);
  PlanPage->Load();
}

void TFConfig::Warn(const char* text) {
  Actions.Message(QMessageBox::Warning, Text(text));
}

bool TFConfig::CheckCfg() {
  if (RBspecinterface->isChecked() && CBInterfaces->currentIndex() < 0) {
    Warn("Please select correct interface!");
    return false;
  }
  if (CBVerticaltime->currentIndex() < 0) {
    Warn("Please select correct vertical grid line period!");
    return false;
  }
  if (CBConnection->currentIndex() < 0) {
    Warn("Please select correct connection type!");
    return false;
  }
  // Each number must fit the field it is stored in: the percentage and the time are 16 bits
  // wide, the amount is unsigned. Zero and negative speeds and times get their own messages.
  const std::optional<int32_t> kbps = IntegerOf(ECstConn->text().toStdU16String());
  const std::optional<int32_t> plus = IntegerOf(ECstConnPlus->text().toStdU16String());
  const std::optional<int32_t> amount = IntegerOf(ENum->text().toStdU16String());
  const std::optional<int32_t> time = IntegerOf(ELastNum->text().toStdU16String());
  constexpr int32_t kMax16 = std::numeric_limits<uint16_t>::max();
  if (!kbps || !plus || *plus < 0 || *plus > kMax16 || !amount || *amount < 0 || !time ||
      *time > kMax16) {
    Warn("Invalid number!");
    return false;
  }
  if (*kbps <= 0) {
    Warn("Custom connection must be larger than zero!");
    return false;
  }
  if (*time <= 0) {
    Warn("Notification time must be larger than zero!");
    return false;
  }
  if (CBLessthan->currentIndex() < 0) {
    Warn("Please select correct notification condition!");
    return false;
  }
  if (CBBytes->currentIndex() < 0) {
    Warn("Please select correct traffic unit!");
    return false;
  }
  if (CBWere->currentIndex() < 0 || CBSeconds->currentIndex() < 0) {
    Warn("Please select correct notification target!");
    return false;
  }
  if (const QString plan = PlanPage->Problem(); !plan.isEmpty()) {
    Actions.Message(QMessageBox::Warning, plan);
    return false;
  }
  return true;
}

bool TFConfig::SaveToCfg() {
  // The dialog's operations behind the rules of the record.
  struct TEffects final : TOptionEffects {
    explicit TEffects(TConfigActions& a) : A(a) {}
    void SetTopmost(bool on) override { A.SetTopmost(nullptr, on); }
    void SetAllCaptions(bool show) override { A.SetAllCaptions(show); }
    void SetAllTransparency(bool on, uint16_t percent) override {
      A.SetAllTransparency(on, percent);
    }
    void StartAllWatchers() override { A.StartAllWatchers(); }
    void MonitorOneAdapter(int32_t index) override { A.MonitorOneAdapter(index); }
    void UpdateFullScale() override { A.UpdateFullScale(); }
    void ArmNotification() override { A.ArmNotification(); }
    void RepaintAll() override { A.RepaintAll(); }
    TConfigActions& A;
  } effects(Actions);

  TOptionsInput in;
  in.OnTop = CBOntop->isChecked();
  in.ShowCaption = CBCaption->isChecked();
  in.StartMinimized = CBMinimized->isChecked();
  in.ShowAverage = CBAverage->isChecked();
  in.Transparent = CBTransparent->isChecked();
  in.VisiblePercent = TBVisible->value();
  in.DisplayMode = RBGraphic->isChecked() ? 0 : RBNumeric->isChecked() ? 1 : 2;
  in.RateUnit = RBkbps->isChecked() ? 1 : 0;
  in.AllInterfaces = RBAllInterfaces->isChecked();
  in.Adapter = CBInterfaces->currentIndex();
  in.GridLines = CBGridLines->isChecked();
  in.ShowMaxValue = CBMaxValue->isChecked();
  in.GridPeriod = CBVerticaltime->currentIndex();
  in.ColorDownload = PDownload->Value();
  in.ColorUpload = PUpload->Value();
  in.ColorBoth = PBoth->Value();
  in.ColorIdle = PIdle->Value();
  in.Connection = CBConnection->currentIndex();
  in.CustomKbps = ECstConn->text().toStdU16String();
  in.CustomPlus = ECstConnPlus->text().toStdU16String();
  in.NotifyEnabled = CBENotify->isChecked();
  in.NotifyCondition = CBLessthan->currentIndex();
  in.NotifyAmount = ENum->text().toStdU16String();
  in.NotifyUnit = CBBytes->currentIndex();
  in.NotifyTarget = CBWere->currentIndex();
  in.NotifyTime = ELastNum->text().toStdU16String();
  in.NotifyTimeUnit = CBSeconds->currentIndex();
  in.PlaySound = CBPlay->isChecked();
  if (const QString wave = EWaveName->text(); wave != QString::fromLocal8Bit(Cfg.SoundFile.c_str()))
    in.SoundFile = wave.toLocal8Bit().toStdString();
  in.DisplayMessage = CBDisplaymsg->isChecked();
  in.TrayView = RBWAN->isChecked() ? 1 : RBLAN->isChecked() ? 2 : RBInternet->isChecked() ? 3 : 0;
  return ApplyOptions(in, Cfg, effects);
}

void TFConfig::SetupRun(bool on) {
  try {
    SetupAutostart(on, AutostartFile(), on ? ExecutablePath() : std::string());
  } catch (const std::exception& e) {
    LogLine(e.what());
    Actions.Message(QMessageBox::Information, Text(kAdminText));
  }
}

void TFConfig::GetRun() {
  try {
    if (const std::optional<bool> ours = CheckAutostart(AutostartFile(), ExecutablePath()))
      CBRun->setChecked(*ours);
  } catch (const std::exception&) {
    // An entry that cannot be read leaves the box as it was.
  }
}

void TFConfig::EnableNotify(bool on) {
  for (QWidget* w : std::initializer_list<QWidget*>{LWhen, CBLessthan, ENum, CBBytes, LWere, CBWere,
                                                    LInALast, ELastNum, CBSeconds, CBPlay,
                                                    EWaveName, CBDisplaymsg, SBOpen, SBSound})
    w->setEnabled(on);
}

void TFConfig::EnableSound(bool on) {
  SBOpen->setEnabled(on);
  SBSound->setEnabled(on);
  EWaveName->setEnabled(on);
}

void TFConfig::BBOKClick() {
  Guarded("config.ok", [this] {
    if (!CheckCfg()) return;
    // The plan lives in zul.ini: a plan that cannot be saved keeps the dialog open, with nothing
    // else changed.
    if (const QString failed = PlanPage->Apply(); !failed.isEmpty()) {
      Actions.Message(QMessageBox::Warning, failed);
      return;
    }
    SetupRun(CBRun->isChecked());
    const bool changed = SaveToCfg();
    if (changed || FSavePending) {
      // Every OK that fails to save says so, not only the first.
      ClearError(kSaveKey);
      try {
        Actions.SaveCfg();
        FSavePending = false;
      } catch (const std::exception& e) {
        // What was applied stays applied; the dialog stays open for another try.
        FSavePending = true;
        ReportError(kSaveKey, e.what());
        return;
      }
    }
    hide();
  });
}

void TFConfig::BBCancelClick() {
  hide();
}

void TFConfig::CBTransparentClick() {
  TBVisible->setEnabled(CBTransparent->isChecked());
}

void TFConfig::CBGridLinesClick() {
  CBVerticaltime->setEnabled(CBGridLines->isChecked());
}

void TFConfig::PickSwatch(TSwatch* swatch) {
  Guarded("config.color", [this, swatch] {
    const std::optional<QColor> c = Actions.PickColor(FLastColor);
    if (!c) return;
    FLastColor = *c;
    swatch->SetValue(BgrOf(*c));
  });
}

void TFConfig::PDownloadClick() {
  PickSwatch(PDownload);
}
void TFConfig::PUploadClick() {
  PickSwatch(PUpload);
}
void TFConfig::PBothClick() {
  PickSwatch(PBoth);
}
void TFConfig::PIdleClick() {
  PickSwatch(PIdle);
}

void TFConfig::CBENotifyClick() {
  EnableNotify(CBENotify->isChecked());
}

void TFConfig::CBPlayClick() {
  if (CBENotify->isChecked()) EnableSound(CBPlay->isChecked());
}

void TFConfig::SBOpenClick() {
  Guarded("config.open", [this] {
    const QString file = Actions.PickFile(EWaveName->text());
    if (!file.isEmpty()) EWaveName->setText(file);
  });
}

void TFConfig::SBSoundClick() {
  // Each press that fails says why.
  ClearError(kSoundKey);
  Guarded(kSoundKey, [this] { Actions.PlaySoundFile(EWaveName->text()); });
}

void TFConfig::RBAllInterfacesClick() {
  CBInterfaces->setEnabled(RBspecinterface->isChecked());
}

void TFConfig::CBConnectionChange() {
  const bool custom = CBConnection->currentIndex() == kCustomConnection;
  ECstConn->setEnabled(custom);
  ECstConnPlus->setEnabled(custom);
}

}  // namespace zul
