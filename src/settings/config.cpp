#include "settings/config.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QVBoxLayout>
#include <array>
#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "capture/Notify.h"
#include "capture/Sampler.h"
#include "capture/Watch.h"
#include "display/Scale.h"
#include "display/WindowSet.h"
#include "display/vcls.h"
#include "platform/Autostart.h"
#include "platform/ErrorReport.h"
#include "settings/CfgF.h"

namespace zul {

TFConfig* FConfig = nullptr;

namespace {

constexpr const char* kSaveKey = "config.save";
constexpr const char* kSoundKey = "config.sound";
constexpr const char* kAdminText = "You must run this program with administrative privileges!";
constexpr int kCustomConnection = 15;

constexpr std::array<const char*, 4> kGridPeriodItems = {"every 10 seconds", "every 20 seconds",
                                                         "every 30 seconds", "every minute"};
constexpr std::array<const char*, 16> kConnectionItems = {"Resize graph automatically",
                                                          "33.6 kbps (Modem)",
                                                          "53.3 kbps (Modem)",
                                                          "64 kbps (ISDN)",
                                                          "128 kbps (ISDN)",
                                                          "256 kbps (DSL)",
                                                          "384 kbps (DSL)",
                                                          "512 kbps (DSL)",
                                                          "768 kbps (DSL)",
                                                          "1024 kbps (DSL)",
                                                          "1.544 mbps (T1)",
                                                          "2.048 mbps (DSL)",
                                                          "10 mbps (LAN)",
                                                          "44.736 mbps (T3)",
                                                          "100 mbps (LAN)",
                                                          "Custom"};
constexpr std::array<const char*, 2> kConditionItems = {"less than", "more than"};
constexpr std::array<const char*, 4> kUnitItems = {"Bytes", "KB (kilobytes)", "MB (megabytes)",
                                                   "GB (gigabytes)"};
constexpr std::array<const char*, 13> kTargetItems = {
    "Downloaded (Internet & LAN)",
    "Uploaded (Internet & LAN)",
    "Both downloaded and uploaded (Internet & LAN)",
    "Downloaded (Internet)",
    "Uploaded (Internet)",
    "Both downloaded and uploaded (Internet)",
    "Downloaded (LAN)",
    "Uploaded (LAN)",
    "Both downloaded and uploaded (LAN)",
    "Downloaded (INTERNET(All PCs))",
    "Uploaded (INTERNET(All PCs))",
    "Both downloaded and uploaded (INTERNET(All PCs))",
    ""};
constexpr std::array<const char*, 4> kTimeUnitItems = {"seconds", "minutes", "hours", "days"};

QString Text(const char* s) {
  return QString::fromUtf8(s);
}

template <class T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QColor ColorOf(uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                static_cast<int>((bgr >> 16) & 0xFF));
}

uint32_t BgrOf(const QColor& c) {
  return static_cast<uint32_t>(c.red()) | static_cast<uint32_t>(c.green()) << 8 |
         static_cast<uint32_t>(c.blue()) << 16;
}

// A drop-down list whose text can be typed. What counts is the selected item: typing a text
// that is no item's selects none, typing an item's text selects that item.
template <std::size_t N>
QComboBox* MakeList(QWidget* parent, const char* name, const std::array<const char*, N>& items) {
  auto* box = Named(new QComboBox(parent), name);
  box->setEditable(true);
  box->setInsertPolicy(QComboBox::NoInsert);
  box->setCompleter(nullptr);
  // Sized by the layout, not by the longest item, so that every page fits the fixed dialog.
  box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  box->setMinimumContentsLength(6);
  for (const char* item : items) box->addItem(Text(item));
  QLineEdit* edit = box->lineEdit();
  QObject::connect(edit, &QLineEdit::textEdited, box, [box, edit](const QString& typed) {
    const int match = box->findText(typed, Qt::MatchFixedString);
    if (match == box->currentIndex()) return;
    const int cursor = edit->cursorPosition();
    box->setCurrentIndex(match);
    edit->setText(typed);
    edit->setCursorPosition(cursor);
  });
  return box;
}

// A list's selection from a stored index; a value past the items selects none.
void SelectIndex(QComboBox* box, uint16_t value) {
  box->setCurrentIndex(value < box->count() ? static_cast<int>(value) : -1);
}

// A selection as the 16-bit index fields store it: none (-1) becomes 65535.
uint16_t IndexField(int selection) {
  return static_cast<uint16_t>(selection);
}

// The text as a signed 32-bit integer: optional blanks, an optional sign, decimal digits.
std::optional<int32_t> IntegerOf(const QString& text) {
  const QString t = text.trimmed();
  int i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == u'-' || t[i] == u'+')) negative = t[i++] == u'-';
  if (i == t.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < u'0' || t[i] > u'9') return std::nullopt;
    value = value * 10 + (t[i].unicode() - u'0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(value);
}

QLabel* Heading(QWidget* page, const char* text) {
  auto* label = new QLabel(Text(text), page);
  QFont f = label->font();
  f.setBold(true);
  label->setFont(f);
  return label;
}

QLabel* Note(QWidget* parent, const char* text) {
  auto* label = new QLabel(Text(text), parent);
  label->setIndent(18);
  QFont f = label->font();
  f.setPointSizeF(f.pointSizeF() * 0.9);
  label->setFont(f);
  // A font wider than ours wraps the note instead of cutting it off at the page's edge.
  label->setWordWrap(true);
  return label;
}

QVBoxLayout* PageLayout(QWidget* page, const char* heading) {
  auto* v = new QVBoxLayout(page);
  v->setContentsMargins(4, 4, 4, 4);
  v->setSpacing(4);
  v->addWidget(Heading(page, heading));
  return v;
}

template <class Layout>
Layout* Tight(Layout* layout) {
  layout->setContentsMargins(4, 2, 4, 4);
  layout->setSpacing(2);
  return layout;
}

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

}  // namespace

// ---- TSwatch ----

TSwatch::TSwatch(QWidget* parent) : QFrame(parent) {
  setFixedSize(15, 15);
  setFrameShape(QFrame::Box);
  setCursor(Qt::PointingHandCursor);
}

void TSwatch::SetValue(uint32_t value) {
  if (FValue == value) return;
  FValue = value;
  update();
}

QColor TSwatch::Color() const {
  return ColorOf(FValue);
}

void TSwatch::paintEvent(QPaintEvent* event) {
  {
    QPainter p(this);
    p.fillRect(rect(), Color());
  }
  QFrame::paintEvent(event);
}

void TSwatch::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && OnClick)
    OnClick();
  QFrame::mouseReleaseEvent(event);
}

// ---- TFConfig ----

TFConfig::TFConfig(QWidget* parent) : QDialog(parent), Actions(DefaultActions(this)) {
  setObjectName(QStringLiteral("FConfig"));
  setWindowTitle(QStringLiteral("Bandwidth Monitor Options"));
  setFixedSize(440, 331);

  PageControl = Named(new QTabWidget(this), "PageControl");
  // All five tabs in a row, as a page control shows them; a wide font narrows them instead.
  PageControl->setUsesScrollButtons(false);
  BuildGeneral();
  BuildInterface();
  BuildGraph();
  BuildNotifications();
  BuildSystray();

  BBOK = Named(new QPushButton(QStringLiteral("OK"), this), "BBOK");
  BBCancel = Named(new QPushButton(QStringLiteral("Cancel"), this), "BBCancel");
  BBOK->setDefault(true);
  BBOK->setAutoDefault(true);
  connect(BBOK, &QPushButton::clicked, this, [this] { BBOKClick(); });
  connect(BBCancel, &QPushButton::clicked, this, [this] { BBCancelClick(); });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(BBOK);
  buttons->addWidget(BBCancel);
  auto* v = new QVBoxLayout(this);
  v->setContentsMargins(2, 4, 2, 6);
  v->setSpacing(6);
  v->addWidget(PageControl, 1);
  v->addLayout(buttons);
}

void TFConfig::BuildGeneral() {
  auto* page = new QWidget;
  auto* v = PageLayout(page, "General Options");
  auto* columns = new QHBoxLayout;
  columns->setSpacing(4);
  v->addLayout(columns, 1);

  auto* props = new QGroupBox(QStringLiteral("Windows properties"), page);
  auto* pv = Tight(new QVBoxLayout(props));
  CBOntop = Named(new QCheckBox(QStringLiteral("Always on top"), props), "CBOntop");
  CBCaption = Named(new QCheckBox(QStringLiteral("Show window caption"), props), "CBCaption");
  CBMinimized = Named(new QCheckBox(QStringLiteral("Start minimized"), props), "CBMinimized");
  CBAverage = Named(new QCheckBox(QStringLiteral("Display average values"), props), "CBAverage");
  CBTransparent =
      Named(new QCheckBox(QStringLiteral("Semi-transparent window  "), props), "CBTransparent");
  for (QCheckBox* c : {CBOntop, CBCaption, CBMinimized, CBAverage, CBTransparent}) pv->addWidget(c);
  pv->addWidget(Note(props, "(Windows 2000 or better)"));
  TBVisible = Named(new QSlider(Qt::Horizontal, props), "TBVisible");
  TBVisible->setRange(10, 90);
  TBVisible->setTickInterval(10);
  TBVisible->setSingleStep(10);
  TBVisible->setPageStep(10);
  TBVisible->setTickPosition(QSlider::TicksBelow);
  auto* track = new QHBoxLayout;
  track->setSpacing(4);
  track->addWidget(new QLabel(QStringLiteral("10%"), props));
  track->addWidget(TBVisible, 1);
  track->addWidget(new QLabel(QStringLiteral("90%"), props));
  pv->addLayout(track);
  auto* visible = new QLabel(QStringLiteral("Visible"), props);
  visible->setAlignment(Qt::AlignHCenter);
  pv->addWidget(visible);
  pv->addStretch();
  columns->addWidget(props, 1);

  auto* right = new QVBoxLayout;
  right->setSpacing(4);
  auto* mode = new QGroupBox(QStringLiteral("Display Mode"), page);
  auto* mv = Tight(new QVBoxLayout(mode));
  RBGraphic = Named(new QRadioButton(QStringLiteral("Graphical display"), mode), "RBGraphic");
  RBNumeric = Named(new QRadioButton(QStringLiteral("Numeric display"), mode), "RBNumeric");
  RBGraphNum =
      Named(new QRadioButton(QStringLiteral("Both graphical && numeric"), mode), "RBGraphNum");
  for (QRadioButton* r : {RBGraphic, RBNumeric, RBGraphNum}) mv->addWidget(r);
  right->addWidget(mode);
  auto* units = new QGroupBox(QStringLiteral("Display Units"), page);
  auto* uv = Tight(new QVBoxLayout(units));
  RBkBs = Named(new QRadioButton(QStringLiteral("Kilobytes per Second (kB/s)"), units), "RBkBs");
  RBkbps = Named(new QRadioButton(QStringLiteral("Kilobits per Second (kbps)"), units), "RBkbps");
  uv->addWidget(RBkBs);
  uv->addWidget(RBkbps);
  right->addWidget(units);
  right->addStretch();
  CBRun = Named(new QCheckBox(QStringLiteral("Load with windows"), page), "CBRun");
  right->addWidget(CBRun);
  columns->addLayout(right, 1);

  // The record's defaults until the first showing fills the groups.
  RBGraphNum->setChecked(true);
  RBkBs->setChecked(true);
  connect(CBTransparent, &QCheckBox::clicked, this, [this] { CBTransparentClick(); });
  PageControl->addTab(page, QStringLiteral("General"));
}

void TFConfig::BuildInterface() {
  auto* page = new QWidget;
  auto* v = PageLayout(page, "Network interface selection");
  RBAllInterfaces = Named(new QRadioButton(QStringLiteral("Monitor all network interfaces"), page),
                          "RBAllInterfaces");
  v->addWidget(RBAllInterfaces);
  v->addWidget(Note(page,
                    "Select this option  when you want to monitor all networrk interfaces\n"
                    "present on your computer."));
  v->addSpacing(6);
  RBspecinterface =
      Named(new QRadioButton(QStringLiteral("Select specific network interface"), page),
            "RBspecinterface");
  v->addWidget(RBspecinterface);
  v->addWidget(Note(page, "Select the network interface you want to monitor."));
  v->addSpacing(6);
  auto* row = new QHBoxLayout;
  row->setContentsMargins(20, 0, 0, 0);
  row->addWidget(new QLabel(QStringLiteral("Network interface:"), page));
  CBInterfaces = MakeList<0>(page, "CBInterfaces", {});
  row->addWidget(CBInterfaces, 1);
  v->addLayout(row);
  v->addStretch();

  RBAllInterfaces->setChecked(true);
  CBInterfaces->setEnabled(false);
  for (QRadioButton* r : {RBAllInterfaces, RBspecinterface})
    connect(r, &QRadioButton::clicked, this, [this] { RBAllInterfacesClick(); });
  PageControl->addTab(page, QStringLiteral("Network Interface"));
}

void TFConfig::BuildGraph() {
  auto* page = new QWidget;
  auto* v = PageLayout(page, "Graph options");
  auto* top = new QHBoxLayout;
  top->setSpacing(6);

  auto* grid = new QGroupBox(QStringLiteral("Grid and labels"), page);
  auto* gv = Tight(new QVBoxLayout(grid));
  CBGridLines =
      Named(new QCheckBox(QStringLiteral("Show Vertical grid lines"), grid), "CBGridLines");
  CBVerticaltime = MakeList(grid, "CBVerticaltime", kGridPeriodItems);
  CBMaxValue = Named(new QCheckBox(QStringLiteral("Show maximum graph value"), grid), "CBMaxValue");
  gv->addWidget(CBGridLines);
  gv->addWidget(CBVerticaltime);
  gv->addWidget(CBMaxValue);
  top->addWidget(grid, 3);

  auto* colors = new QGroupBox(QStringLiteral("Graph Colors"), page);
  auto* cg = new QGridLayout(colors);
  cg->setContentsMargins(4, 2, 4, 4);
  cg->setHorizontalSpacing(4);
  cg->setVerticalSpacing(4);
  const std::array<std::pair<TSwatch**, const char*>, 4> swatches = {{
      {&PDownload, "Download"},
      {&PUpload, "Upload"},
      {&PBoth, "Both"},
      {&PIdle, "Idle"},
  }};
  const std::array<const char*, 4> names = {"PDownload", "PUpload", "PBoth", "PIdle"};
  for (std::size_t k = 0; k < swatches.size(); ++k) {
    TSwatch* s = Named(new TSwatch(colors), names[k]);
    *swatches[k].first = s;
    const int row = static_cast<int>(k / 2);
    const int col = static_cast<int>(k % 2) * 2;
    cg->addWidget(s, row, col);
    cg->addWidget(new QLabel(Text(swatches[k].second), colors), row, col + 1);
  }
  PDownload->OnClick = [this] { PDownloadClick(); };
  PUpload->OnClick = [this] { PUploadClick(); };
  PBoth->OnClick = [this] { PBothClick(); };
  PIdle->OnClick = [this] { PIdleClick(); };
  top->addWidget(colors, 2);
  v->addLayout(top);

  auto* range = new QGroupBox(QStringLiteral("Graph range and scaling"), page);
  auto* rg = new QGridLayout(range);
  rg->setContentsMargins(4, 2, 4, 4);
  rg->setHorizontalSpacing(4);
  rg->setVerticalSpacing(4);
  rg->addWidget(new QLabel(QStringLiteral("Connection Type:"), range), 0, 0);
  CBConnection = MakeList(range, "CBConnection", kConnectionItems);
  rg->addWidget(CBConnection, 0, 1, 1, 4);
  rg->addWidget(new QLabel(QStringLiteral("Custom connection:"), range), 1, 0);
  ECstConn = Named(new QLineEdit(range), "ECstConn");
  ECstConnPlus = Named(new QLineEdit(range), "ECstConnPlus");
  ECstConn->setMaximumWidth(80);
  ECstConnPlus->setMaximumWidth(50);
  rg->addWidget(ECstConn, 1, 1);
  rg->addWidget(new QLabel(QStringLiteral("kbps    + "), range), 1, 2);
  rg->addWidget(ECstConnPlus, 1, 3);
  rg->addWidget(new QLabel(QStringLiteral("%"), range), 1, 4);
  rg->setColumnStretch(5, 1);
  v->addWidget(range);
  v->addStretch();

  connect(CBGridLines, &QCheckBox::clicked, this, [this] { CBGridLinesClick(); });
  connect(CBConnection, &QComboBox::currentIndexChanged, this, [this] { CBConnectionChange(); });
  PageControl->addTab(page, QStringLiteral("Graph"));
}

void TFConfig::BuildNotifications() {
  auto* page = new QWidget;
  auto* v = PageLayout(page, "Notifications");
  CBENotify = Named(new QCheckBox(QStringLiteral("Enable Notifications"), page), "CBENotify");
  v->addWidget(CBENotify);

  auto* cond = new QGroupBox(QStringLiteral("Notification conditions"), page);
  auto* cg = new QGridLayout(cond);
  cg->setContentsMargins(4, 2, 4, 4);
  cg->setHorizontalSpacing(4);
  cg->setVerticalSpacing(3);
  LWhen = Named(new QLabel(QStringLiteral("When"), cond), "LWhen");
  CBLessthan = MakeList(cond, "CBLessthan", kConditionItems);
  ENum = Named(new QLineEdit(cond), "ENum");
  CBBytes = MakeList(cond, "CBBytes", kUnitItems);
  LWere = Named(new QLabel(QStringLiteral("were"), cond), "LWere");
  CBWere = MakeList(cond, "CBWere", kTargetItems);
  LInALast = Named(new QLabel(QStringLiteral("in a last"), cond), "LInALast");
  ELastNum = Named(new QLineEdit(cond), "ELastNum");
  CBSeconds = MakeList(cond, "CBSeconds", kTimeUnitItems);
  cg->addWidget(LWhen, 0, 0);
  cg->addWidget(CBLessthan, 0, 1);
  cg->addWidget(ENum, 0, 2);
  cg->addWidget(CBBytes, 0, 3);
  cg->addWidget(LWere, 1, 0);
  cg->addWidget(CBWere, 1, 1, 1, 3);
  cg->addWidget(LInALast, 2, 0);
  cg->addWidget(ELastNum, 2, 2);
  cg->addWidget(CBSeconds, 2, 3);
  cg->setColumnStretch(1, 1);
  cg->setColumnStretch(3, 1);
  v->addWidget(cond);

  auto* action = new QGroupBox(QStringLiteral("Notification Action"), page);
  auto* av = Tight(new QVBoxLayout(action));
  CBPlay = Named(new QCheckBox(QStringLiteral("Play sound file:"), action), "CBPlay");
  CBDisplaymsg = Named(new QCheckBox(QStringLiteral("Display message"), action), "CBDisplaymsg");
  auto* checks = new QHBoxLayout;
  checks->addWidget(CBPlay);
  checks->addStretch();
  checks->addWidget(CBDisplaymsg);
  av->addLayout(checks);
  auto* file = new QHBoxLayout;
  file->setSpacing(2);
  EWaveName = Named(new QLineEdit(action), "EWaveName");
  SBOpen = Named(new QToolButton(action), "SBOpen");
  SBOpen->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  SBSound = Named(new QToolButton(action), "SBSound");
  SBSound->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
  file->addWidget(EWaveName, 1);
  file->addWidget(SBOpen);
  file->addWidget(SBSound);
  av->addLayout(file);
  v->addWidget(action);
  v->addStretch();

  connect(CBENotify, &QCheckBox::clicked, this, [this] { CBENotifyClick(); });
  connect(CBPlay, &QCheckBox::clicked, this, [this] { CBPlayClick(); });
  connect(SBOpen, &QToolButton::clicked, this, [this] { SBOpenClick(); });
  connect(SBSound, &QToolButton::clicked, this, [this] { SBSoundClick(); });
  PageControl->addTab(page, QStringLiteral("Notifications"));
}

void TFConfig::BuildSystray() {
  auto* page = new QWidget;
  auto* v = PageLayout(page, "Graph in systray indicate the traffic of");
  struct TChoice {
    QRadioButton** Button;
    const char* Name;
    const char* Caption;
    const char* Note;
  };
  const std::array<TChoice, 4> choices = {{
      {&RBWANLAN, "RBWANLAN", "Internet && LAN", "All traffic of this computer"},
      {&RBWAN, "RBWAN", "Internet", "Internet traffic of this computer"},
      {&RBLAN, "RBLAN", "LAN", "Traffic of this computer on the local network"},
      {&RBInternet, "RBInternet", "INTERNET (All PCs on the LAN)",
       "Internet traffic of all PCs on the LAN"},
  }};
  for (const TChoice& c : choices) {
    *c.Button = Named(new QRadioButton(Text(c.Caption), page), c.Name);
    v->addWidget(*c.Button);
    v->addWidget(Note(page, c.Note));
    connect(*c.Button, &QRadioButton::clicked, this, [this] { RBAllInterfacesClick(); });
  }
  v->addStretch();
  RBWANLAN->setChecked(true);
  PageControl->addTab(page, QStringLiteral("Systray"));
}

void TFConfig::FormCreate() {
  InitCapture();
  ResetTotals();
  Actions.ArmNotification();
  CBInterfaces->clear();
  for (const std::string& name : AdapterList)
    CBInterfaces->addItem(QString::fromLocal8Bit(name.c_str()));
  if (!Cfg.AllInterfaces) Actions.MonitorOneAdapter(static_cast<int32_t>(Cfg.InterfaceIndex));
  Actions.UpdateFullScale();
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
  const std::optional<int32_t> kbps = IntegerOf(ECstConn->text());
  const std::optional<int32_t> plus = IntegerOf(ECstConnPlus->text());
  const std::optional<int32_t> amount = IntegerOf(ENum->text());
  const std::optional<int32_t> time = IntegerOf(ELastNum->text());
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
  return true;
}

bool TFConfig::SaveToCfg() {
  bool changed = false;
  bool repaint = false;
  bool notify = false;
  bool scale = false;
  // Stores `value` into `field`; true when it was different.
  auto put = [](auto& field, auto value) {
    using T = std::remove_reference_t<decltype(field)>;
    const T v = static_cast<T>(value);
    if (field == v) return false;
    field = v;
    return true;
  };

  if (put(Cfg.OnTop, CBOntop->isChecked())) {
    Actions.SetTopmost(nullptr, Cfg.OnTop);
    changed = true;
  }
  if (put(Cfg.ShowCaption, CBCaption->isChecked())) {
    Actions.SetAllCaptions(Cfg.ShowCaption);
    changed = true;
  }
  changed |= put(Cfg.StartMinimized, CBMinimized->isChecked());
  changed |= put(Cfg.ShowAverage, CBAverage->isChecked());

  bool transparency = put(Cfg.Transparent, CBTransparent->isChecked());
  transparency |= put(Cfg.VisiblePercent, TBVisible->value());
  if (transparency) {
    Actions.SetAllTransparency(Cfg.Transparent, Cfg.VisiblePercent);
    changed = true;
  }

  const uint16_t mode = RBGraphic->isChecked() ? 0 : RBNumeric->isChecked() ? 1 : 2;
  if (put(Cfg.DisplayMode, mode)) repaint = changed = true;
  if (put(Cfg.RateUnit, RBkbps->isChecked() ? 1 : 0)) repaint = changed = true;

  const int adapter = CBInterfaces->currentIndex();
  if (put(Cfg.AllInterfaces, RBAllInterfaces->isChecked())) {
    if (Cfg.AllInterfaces)
      Actions.StartAllWatchers();
    else
      Actions.MonitorOneAdapter(adapter);
    changed = true;
  }
  // With every adapter monitored the list may select none (the remembered adapter is gone):
  // the remembered index is kept for when it comes back.
  if (adapter >= 0 && put(Cfg.InterfaceIndex, IndexField(adapter)) && !Cfg.AllInterfaces) {
    Actions.MonitorOneAdapter(adapter);
    changed = true;
  }

  if (put(Cfg.GridLines, CBGridLines->isChecked())) repaint = changed = true;
  if (put(Cfg.ShowMaxValue, CBMaxValue->isChecked())) repaint = changed = true;
  if (put(Cfg.GridPeriod, IndexField(CBVerticaltime->currentIndex()))) repaint = changed = true;
  if (put(Cfg.ColorDownload, PDownload->Value())) repaint = changed = true;
  if (put(Cfg.ColorUpload, PUpload->Value())) repaint = changed = true;
  if (put(Cfg.ColorBoth, PBoth->Value())) repaint = changed = true;
  if (put(Cfg.ColorIdle, PIdle->Value())) repaint = changed = true;

  if (put(Cfg.Connection, IndexField(CBConnection->currentIndex())))
    scale = repaint = changed = true;
  // The numbers count as changed when their text is not the stored value's own form, as typed.
  if (ECstConn->text() != QString::number(static_cast<uint32_t>(Cfg.CustomKbps))) {
    Cfg.CustomKbps = IntegerOf(ECstConn->text()).value_or(Cfg.CustomKbps);
    scale = repaint = changed = true;
  }
  if (ECstConnPlus->text() != QString::number(Cfg.CustomPlus)) {
    Cfg.CustomPlus = static_cast<uint16_t>(IntegerOf(ECstConnPlus->text()).value_or(0));
    scale = repaint = changed = true;
  }
  if (scale) Actions.UpdateFullScale();

  if (put(Cfg.NotifyEnabled, CBENotify->isChecked())) notify = changed = true;
  if (put(Cfg.NotifyCondition, IndexField(CBLessthan->currentIndex()))) notify = changed = true;
  const int64_t amount = IntegerOf(ENum->text()).value_or(0);
  if (amount != int64_t{Cfg.NotifyAmount}) {
    Cfg.NotifyAmount = static_cast<uint32_t>(amount);
    notify = changed = true;
  }
  if (put(Cfg.NotifyUnit, IndexField(CBBytes->currentIndex()))) notify = changed = true;
  if (put(Cfg.NotifyTarget, IndexField(CBWere->currentIndex()))) notify = changed = true;
  if (ELastNum->text() != QString::number(Cfg.NotifyTime)) {
    Cfg.NotifyTime = static_cast<uint16_t>(IntegerOf(ELastNum->text()).value_or(0));
    notify = changed = true;
  }
  if (put(Cfg.NotifyTimeUnit, IndexField(CBSeconds->currentIndex()))) notify = changed = true;
  if (notify) Actions.ArmNotification();

  changed |= put(Cfg.PlaySound, CBPlay->isChecked());
  const QString wave = EWaveName->text();
  if (wave != QString::fromLocal8Bit(Cfg.SoundFile.c_str())) {
    // The record holds 200 bytes; a cut never splits a character.
    QByteArray bytes = wave.toLocal8Bit();
    if (bytes.size() > static_cast<qsizetype>(kSoundFileMax)) {
      qsizetype cut = static_cast<qsizetype>(kSoundFileMax);
      while (cut > 0 && (static_cast<uint8_t>(bytes[cut]) & 0xC0) == 0x80) --cut;
      bytes.truncate(cut);
    }
    Cfg.SoundFile = bytes.toStdString();
    changed = true;
  }
  changed |= put(Cfg.DisplayMessage, CBDisplaymsg->isChecked());

  const uint16_t view = RBWAN->isChecked()        ? 1
                        : RBLAN->isChecked()      ? 2
                        : RBInternet->isChecked() ? 3
                                                  : 0;
  changed |= put(Cfg.TrayView, view);

  if (repaint) Actions.RepaintAll();
  return changed;
}

void TFConfig::SetupRun(bool on) {
  try {
    SetupAutostart(on, AutostartFile(), on ? ExecutablePath() : std::string());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zul: %s\n", e.what());
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
