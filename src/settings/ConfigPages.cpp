// The options dialog's pages: the controls, their texts and layout, and the wiring of their
// signals to the dialog's handlers.
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <utility>

#include "display/DialogFit.h"
#include "settings/ConfigWidgets.h"
#include "settings/PlanPage.h"
#include "settings/config.h"

namespace zul {

namespace {

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

template <class T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
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

  PageControl = Named(new QTabWidget(this), "PageControl");
  // All five tabs in a row, as a page control shows them; a wide font narrows them instead.
  PageControl->setUsesScrollButtons(false);
  BuildGeneral();
  BuildInterface();
  BuildGraph();
  BuildNotifications();
  BuildSystray();
  PlanPage = new TPlanPage;
  PageControl->addTab(PlanPage, QStringLiteral("Data plan"));
  // Six tabs do not fit the fixed width whole: they give way by eliding, the title as a tip.
  PageControl->setElideMode(Qt::ElideRight);
  for (int i = 0; i < PageControl->count(); ++i)
    PageControl->setTabToolTip(i, PageControl->tabText(i));

  BBOK = Named(new QPushButton(QStringLiteral("OK"), this), "BBOK");
  BBCancel = Named(new QPushButton(QStringLiteral("Cancel"), this), "BBCancel");
  BBOK->setDefault(true);
  BBOK->setAutoDefault(true);
  connect(BBOK, &QPushButton::clicked, this, [this] { BBOKClick(); });
  connect(BBCancel, &QPushButton::clicked, this, [this] { BBCancelClick(); });

  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(0, 0, 4, 0);
  buttons->addStretch();
  buttons->addWidget(BBOK);
  buttons->addWidget(BBCancel);
  auto* v = new QVBoxLayout(this);
  // The page control reaches the dialog's sides, as at the designed size its five tabs need all
  // of its width.
  v->setContentsMargins(0, 4, 0, 6);
  v->setSpacing(6);
  v->addWidget(PageControl, 1);
  v->addLayout(buttons);
  // The designed size at the default font; a larger font, style or scale widens it so that all
  // five tabs and every page's controls keep their room.
  FitDialog(this, QSize(440, 331));
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
  // Room for ten and five digits whatever the font.
  const int digit = ECstConn->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  ECstConn->setMaximumWidth(std::max(80, 10 * digit + 12));
  ECstConnPlus->setMaximumWidth(std::max(50, 5 * digit + 12));
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

}  // namespace zul
