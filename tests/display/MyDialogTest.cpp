// The message dialog on the offscreen platform: its queue, its size and place, its pictures and
// the Chinese caption of its button.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <cstdlib>
#include <vector>

#include "display/MyDialog.h"

namespace zul {
namespace {

enum TAction { Show, Press, Close };

struct TStep {
  TAction Action;
  const char* Text;  // the warning shown
  bool Visible;
  const char* Label;  // the message on screen after the step
  int Waiting;
};

QRect ScreenArea() {
  return QGuiApplication::primaryScreen()->geometry();
}

QImage Glyph(const QFont& font, char32_t ch) {
  QImage image(32, 32, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setFont(font);
  p.setPen(Qt::black);
  p.drawText(QRect(0, 0, 32, 32), Qt::AlignCenter, QString::fromUcs4(&ch, 1));
  return image;
}

int Ink(const QImage& image) {
  int dark = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (qGray(image.pixel(x, y)) < 128) ++dark;
  return dark;
}

TEST(MyDialog, WaitingMessagesComeOnePerPressWithoutDuplicates) {
  struct TScript {
    const char* Name;
    std::vector<TStep> Steps;
  };
  const TScript scripts[] = {
      {"three arrive while a fourth shows",
       {{Show, "fourth", true, "fourth", 0},
        {Show, "one", true, "fourth", 1},
        {Show, "two", true, "fourth", 2},
        {Show, "three", true, "fourth", 3},
        {Press, "", true, "one", 2},
        {Press, "", true, "two", 1},
        {Press, "", true, "three", 0},
        {Press, "", false, "three", 0}}},
      {"a repeated warning waits once",
       {{Show, "first", true, "first", 0},
        {Show, "again", true, "first", 1},
        {Show, "again", true, "first", 1},
        {Show, "again", true, "first", 1},
        {Show, "again", true, "first", 1},
        {Show, "again", true, "first", 1},
        {Press, "", true, "again", 0},
        {Press, "", false, "again", 0}}},
      {"the message on screen may follow itself",
       {{Show, "same", true, "same", 0},
        {Show, "same", true, "same", 1},
        {Show, "Same", true, "same", 2},
        {Press, "", true, "same", 1},
        {Press, "", true, "Same", 0},
        {Press, "", false, "Same", 0}}},
      {"a close from the title bar keeps what waits",
       {{Show, "shown", true, "shown", 0},
        {Show, "left", true, "shown", 1},
        {Show, "new", true, "shown", 2},
        {Close, "", false, "shown", 2},
        {Show, "new", true, "new", 1},
        {Press, "", true, "left", 0},
        {Press, "", false, "left", 0}}},
  };
  for (const TScript& script : scripts) {
    SCOPED_TRACE(script.Name);
    TFMyDialog d;
    for (std::size_t i = 0; i < script.Steps.size(); ++i) {
      const TStep& step = script.Steps[i];
      SCOPED_TRACE(testing::Message() << "step " << i);
      switch (step.Action) {
        case Show:
          d.ShowWarning(QString::fromUtf8(step.Text));
          break;
        case Press:
          d.BOK->click();
          break;
        case Close:
          d.close();
          break;
      }
      EXPECT_EQ(d.isVisible(), step.Visible);
      EXPECT_EQ(d.Label1->text().toStdString(), step.Label);
      EXPECT_EQ(d.Queue().size(), step.Waiting);
      EXPECT_EQ(d.windowTitle(), QStringLiteral("Warning"));
    }
  }
}

TEST(MyDialog, TheWidthFollowsTheTextAndTheDialogStaysCentred) {
  const QRect screen = ScreenArea();
  struct TRow {
    const char* Name;
    QString Text;
    bool Long;
  };
  const TRow rows[] = {
      {"two letters", QStringLiteral("ab"), false},
      {"the threshold text", QStringLiteral("The data transfer has exceeded the threshold vale."),
       true},
      {"a longer one",
       QStringLiteral("The data transfer rate has dropped below the threshold vale. ").repeated(2),
       true},
  };
  for (bool alreadyVisible : {false, true}) {
    for (const TRow& r : rows) {
      SCOPED_TRACE(testing::Message() << r.Name << (alreadyVisible ? ", while visible" : ""));
      TFMyDialog d;
      if (alreadyVisible) {
        d.ShowWarning(QStringLiteral("x"));
        d.ShowWarning(r.Text);
        d.BOK->click();
      } else {
        d.ShowWarning(r.Text);
      }
      ASSERT_TRUE(d.isVisible());
      ASSERT_EQ(d.Label1->text(), r.Text);

      // The label holds its whole text on one line, from 72.
      EXPECT_EQ(d.Label1->pos(), QPoint(72, 16));
      EXPECT_GE(d.Label1->width(), QFontMetrics(d.Label1->font()).horizontalAdvance(r.Text));
      const int want = r.Long ? 72 + d.Label1->width() + 20 : 218;
      if (r.Long) {
        EXPECT_GT(want, 218);
      }
      EXPECT_EQ(d.width(), want);
      EXPECT_EQ(d.height(), 89);
      EXPECT_EQ(d.BOK->geometry(), QRect((want - 75) / 2, 56, 75, 23));
      if (!r.Long) {
        EXPECT_EQ(d.BOK->x(), 71);
      }
      if (alreadyVisible) {
        EXPECT_EQ(d.x(), screen.x() + (screen.width() - want) / 2);
      } else {
        const QRect outer = d.frameGeometry();
        EXPECT_LE(std::abs(outer.center().x() - screen.center().x()), 1);
        EXPECT_LE(std::abs(outer.center().y() - screen.center().y()), 1);
      }
    }
  }
}

TEST(MyDialog, StaysOnTopWithoutBlockingAndShowsThePictureOfItsKind) {
  TFMyDialog d;
  EXPECT_TRUE(d.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_FALSE(d.isModal());
  d.ShowWarning(QStringLiteral("x"));
  EXPECT_EQ(QGuiApplication::modalWindow(), nullptr);

  struct TRow {
    QString Item;
    QString Title;
    bool Warning;  // which picture shows
    QString Label;
  };
  const TRow rows[] = {
      {QStringLiteral("Iall fine"), QStringLiteral("Information"), false,
       QStringLiteral("all fine")},
      {QStringLiteral("Wtoo much"), QStringLiteral("Warning"), true, QStringLiteral("too much")},
      {QStringLiteral("Xneither"), QStringLiteral("Warning"), true, QStringLiteral("neither")},
      {QStringLiteral("Iback"), QStringLiteral("Information"), false, QStringLiteral("back")},
      {QString(), QStringLiteral("Information"), false, QString()},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Item.toStdString());
    d.ShowItem(r.Item);
    EXPECT_EQ(d.windowTitle(), r.Title);
    EXPECT_EQ(d.Image1->isVisible(), r.Warning);
    EXPECT_EQ(d.Image2->isVisible(), !r.Warning);
    EXPECT_EQ(d.Label1->text(), r.Label);
  }

  // Both pictures share one place; the stop sign is red, the face yellow.
  EXPECT_EQ(d.Image1->geometry(), QRect(16, 16, 41, 41));
  EXPECT_EQ(d.Image2->geometry(), QRect(16, 16, 41, 41));
  const QImage stop = d.Image1->pixmap().toImage();
  const QImage face = d.Image2->pixmap().toImage();
  const QColor red = stop.pixelColor(20, 8);
  EXPECT_GT(red.red(), 150);
  EXPECT_LT(red.green(), 80);
  const QColor yellow = face.pixelColor(8, 20);
  EXPECT_GT(yellow.red(), 200);
  EXPECT_GT(yellow.green(), 180);
  EXPECT_LT(yellow.blue(), 100);
  EXPECT_EQ(stop.pixelColor(0, 0).alpha(), 0);
}

TEST(MyDialog, TheButtonCaptionRendersAsTwoChineseCharacters) {
  TFMyDialog d;
  EXPECT_EQ(d.BOK->text(), QStringLiteral("确定"));
  const QFont font = d.BOK->font();
  EXPECT_EQ(font.pixelSize(), 13);
  EXPECT_TRUE(QFontMetrics(font).inFontUcs4(U'确'));
  EXPECT_TRUE(QFontMetrics(font).inFontUcs4(U'定'));

  // A missing glyph draws the same box for both characters.
  const QImage first = Glyph(font, U'确');
  const QImage second = Glyph(font, U'定');
  EXPECT_GT(Ink(first), 10);
  EXPECT_GT(Ink(second), 10);
  EXPECT_NE(first, second);

  // And the button itself draws its caption.
  const QImage button = d.BOK->grab().toImage();
  QPushButton empty;
  empty.setGeometry(d.BOK->geometry());
  const QImage plain = empty.grab().toImage();
  EXPECT_GT(Ink(button), Ink(plain));
}

}  // namespace
}  // namespace zul
