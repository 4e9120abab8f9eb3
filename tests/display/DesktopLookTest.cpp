// The dialogs and the graph on the desktops people use: larger fonts and scales (CTest runs this
// at the scale factors 1, 1.5 and 2) leave no control of a dialog short of the room it asks for,
// and a dark theme darkens what is not a colour setting.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QSlider>
#include <QTabBar>
#include <QTreeView>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "capture/Traffic.h"
#include "display/About.h"
#include "display/AppsWindow.h"
#include "display/FigureDraw.h"
#include "display/MyDialog.h"
#include "history/Period.h"
#include "history/total.h"
#include "settings/CfgF.h"
#include "settings/config.h"

namespace zul {
namespace {

void Settle() {
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

std::string Describe(const QWidget* w) {
  std::string text = w->metaObject()->className();
  if (!w->objectName().isEmpty()) text += " " + w->objectName().toStdString();
  if (const auto* b = qobject_cast<const QAbstractButton*>(w))
    text += " \"" + b->text().toStdString() + "\"";
  if (const auto* l = qobject_cast<const QLabel*>(w))
    text += " \"" + l->text().toStdString() + "\"";
  return text;
}

// The room a control asks for, or an empty size for what is not a control of its own.
QSize Need(const QWidget* w) {
  const QWidget* parent = w->parentWidget();
  if (const auto* label = qobject_cast<const QLabel*>(w)) {
    if (label->text().isEmpty() && label->pixmap().isNull()) return {};
    if (!label->wordWrap()) return label->sizeHint();
    return {label->minimumSizeHint().width(), label->heightForWidth(label->width())};
  }
  // The parts of a list, a date field or a tab bar are sized by their owner.
  if (qobject_cast<const QComboBox*>(parent) || qobject_cast<const QAbstractSpinBox*>(parent) ||
      qobject_cast<const QTabBar*>(parent))
    return {};
  // A push button's text with a little room; the style's least button size is no need of it.
  if (const auto* button = qobject_cast<const QPushButton*>(w)) {
    const QFontMetrics fm(button->font());
    return {fm.horizontalAdvance(button->text()) + 8, fm.height() + 2};
  }
  if (qobject_cast<const QAbstractButton*>(w)) return w->sizeHint();
  if (qobject_cast<const QComboBox*>(w) || qobject_cast<const QLineEdit*>(w) ||
      qobject_cast<const QSlider*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
      qobject_cast<const QGroupBox*>(w))
    return w->minimumSizeHint();
  return {};
}

// Every control of `dialog` on screen now that is smaller than it asks for, or reaches out of
// its parent; each tab of a tab bar narrower than its text.
std::vector<std::string> Clipped(const QWidget* dialog) {
  std::vector<std::string> out;
  for (const QWidget* w : dialog->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(dialog)) continue;
    const QSize need = Need(w);
    if (need.isValid() && (need.width() > w->width() || need.height() > w->height()))
      out.push_back(Describe(w) + " needs " + std::to_string(need.width()) + "x" +
                    std::to_string(need.height()) + ", has " + std::to_string(w->width()) + "x" +
                    std::to_string(w->height()));
    if (need.isValid() && !w->parentWidget()->rect().contains(w->geometry()))
      out.push_back(Describe(w) + " reaches out of its parent");
    if (const auto* bar = qobject_cast<const QTabBar*>(w))
      for (int i = 0; i < bar->count(); ++i) {
        const QRect tab = bar->tabRect(i);
        if (tab.width() <= bar->fontMetrics().horizontalAdvance(bar->tabText(i)) ||
            tab.right() > bar->width())
          out.push_back("tab \"" + bar->tabText(i).toStdString() + "\" is cut");
      }
  }
  return out;
}

class DialogFit : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    Saved = QApplication::font();
    SetDefaultCfg(Cfg, "");
    QFont font = Saved;
    const std::string which = GetParam();
    if (which == "14pt") font.setPointSizeF(14);
    if (which == "double") font.setPointSizeF(Saved.pointSizeF() * 2);
    QApplication::setFont(font);
  }
  void TearDown() override { QApplication::setFont(Saved); }

  // Shown, then checked in each state `pages` puts it in.
  static void Check(QWidget* dialog, QSize least, int pages = 1,
                    const std::function<void(int)>& page = nullptr) {
    dialog->show();
    Settle();
    EXPECT_GE(dialog->width(), least.width()) << Describe(dialog);
    EXPECT_GE(dialog->height(), least.height()) << Describe(dialog);
    for (int i = 0; i < pages; ++i) {
      if (page) page(i);
      Settle();
      for (const std::string& problem : Clipped(dialog))
        ADD_FAILURE() << Describe(dialog) << ", state " << i << ": " << problem;
    }
    dialog->hide();
  }

  QFont Saved;
};

TEST_P(DialogFit, NoControlOfAnyDialogIsShortOfItsRoom) {
  TFConfig options;
  Check(&options, QSize(440, 331), options.PageControl->count(),
        [&](int i) { options.PageControl->setCurrentIndex(i); });

  TFTotal statistics;
  // The widest totals and dates there are.
  for (QLabel* total : {statistics.LDn, statistics.LUp, statistics.LSum})
    total->setText(QStringLiteral("1023.9 MB"));
  statistics.RadioButton2->setChecked(true);
  Check(&statistics, QSize(643, 426));
  statistics.show();
  Settle();
  const QHeaderView* header = statistics.LVMeter->header();
  EXPECT_LE(header->length(), statistics.LVMeter->viewport()->width())
      << "the four columns side by side";

  TFMyDialog message;
  message.ShowWarning(
      QStringLiteral("Downloaded (Internet & LAN) more than 10 MB in a last 5 minutes"));
  Settle();
  EXPECT_GE(message.height(), 89);
  EXPECT_GE(QFontInfo(message.BOK->font()).pixelSize(),
            std::max(13, QFontInfo(QApplication::font()).pixelSize()))
      << "its font grows with the desktop's";
  Check(&message, QSize(218, 89));
  EXPECT_GE(message.BOK->y(), message.Label1->geometry().bottom()) << "the button under the text";

  TFAbout about;
  Check(&about, QSize(0, 0));

  TFApps apps;
  apps.CBRange->setCurrentIndex(apCustom);
  apps.CBRangeChange();
  Check(&apps, QSize(0, 0));
  apps.show();
  Settle();
  EXPECT_LE(apps.LVApps->header()->length(), apps.LVApps->viewport()->width())
      << "every column side by side";
}

INSTANTIATE_TEST_SUITE_P(Fonts, DialogFit, ::testing::Values("default", "14pt", "double"),
                         [](const auto& p) { return std::string(p.param); });

// A dark theme: light text on dark fields wherever no colour setting says otherwise.
class DarkTheme : public ::testing::Test {
 protected:
  void SetUp() override {
    Saved = QApplication::palette();
    QPalette dark = Saved;
    for (auto [role, color] : {std::pair{QPalette::Window, QColor(53, 53, 53)},
                               {QPalette::WindowText, QColor(230, 230, 230)},
                               {QPalette::Base, QColor(30, 30, 30)},
                               {QPalette::AlternateBase, QColor(45, 45, 45)},
                               {QPalette::Text, QColor(235, 235, 235)},
                               {QPalette::Button, QColor(53, 53, 53)},
                               {QPalette::ButtonText, QColor(230, 230, 230)}})
      dark.setColor(role, color);
    QApplication::setPalette(dark);
    SetDefaultCfg(Cfg, "");
  }
  void TearDown() override { QApplication::setPalette(Saved); }

  static int Count(const QImage& image, QRect r, const std::function<bool(QColor)>& test) {
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
      for (int x = r.left(); x <= r.right(); ++x) n += test(QColor(image.pixel(x, y))) ? 1 : 0;
    return n;
  }

  QPalette Saved;
};

TEST_F(DarkTheme, TheReadoutAndTheScaleLabelAreLightOnDark) {
  TTraffic traffic;
  Cfg.DisplayMode = 2;
  Cfg.ShowMaxValue = true;
  TGraph graph(Cfg, traffic);
  graph.SetClientSize(QSize(217, 111));
  graph.FormPaint();
  const QImage& shot = graph.Surface();
  const QRect readout(2, graph.FNumTop + 1, 213, 111 - graph.FNumTop - 3);
  auto light = [](QColor c) { return c.lightness() > 180; };
  EXPECT_EQ(QColor(shot.pixel(4, graph.FNumTop + 2)), QColor(30, 30, 30)) << "the field";
  EXPECT_GT(Count(shot, readout, light), 10) << "light text";
  EXPECT_EQ(Count(shot, readout, [](QColor c) { return c == Qt::white; }), 0) << "no white field";
  const QRect label(0, 0, graph.FLeftMargin - 1, graph.FNumTop - 1);
  EXPECT_GT(Count(shot, label, light), 5) << "the scale label's text";
  EXPECT_GT(Count(shot, label, [](QColor c) { return c == QColor(53, 53, 53); }),
            label.width() * label.height() / 2)
      << "on the window's colour";
}

TEST_F(DarkTheme, StatisticsRowsAreDarkWithLightTextAndEvenRowsTintedBlue) {
  TFTotal w;
  auto* model = static_cast<TMeterModel*>(w.LVMeter->model());
  std::vector<TLogRecord> rows;
  for (int d = 1; d <= 4; ++d)
    rows.push_back({TDate{std::chrono::year(2026), std::chrono::month(12), std::chrono::day(d)},
                    lgDaily * 16, 0, 1000.0 * d, 2000.0 * d});
  model->SetRows(rows);
  w.show();
  Settle();
  const QImage shot = w.LVMeter->viewport()->grab().toImage();
  const qreal dpr = shot.devicePixelRatio();
  for (int row = 0; row < 2; ++row) {
    const QRect r = w.LVMeter->visualRect(model->index(row, TMeterModel::colPeriod));
    const QRect cell(r.topLeft() * dpr, r.size() * dpr);
    const QColor back(shot.pixel(cell.right() - 3, cell.center().y()));
    if (row == 0)
      EXPECT_EQ(back, QColor(26, 26, 57)) << "a blue tint of the dark base";
    else
      EXPECT_EQ(back, QColor(30, 30, 30)) << "the dark base";
    EXPECT_GT(Count(shot, cell, [](QColor c) { return c.lightness() > 180; }), 10)
        << "light text, row " << row;
  }
  EXPECT_EQ(model->data(model->index(0, 0), Qt::ForegroundRole).value<QBrush>().color(),
            QColor(235, 235, 235));
  EXPECT_EQ(w.LDn->palette().color(QPalette::WindowText), QColor(230, 230, 230)) << "totals";
}

}  // namespace
}  // namespace zul
