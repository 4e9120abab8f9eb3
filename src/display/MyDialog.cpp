#include "display/MyDialog.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QtMath>
#include <algorithm>
#include <cmath>

#include "capture/NotifyEvents.h"
#include "platform/ErrorReport.h"

namespace zul {

TFMyDialog* FMyDialog = nullptr;

namespace {

constexpr int kDesignWidth = 310;
constexpr int kDesignHeight = 89;
constexpr int kMinClientWidth = 218;
constexpr int kLabelMargin = 20;  // between the text's right end and the dialog's edge
constexpr int kPictureSize = 41;
constexpr int kFontPixels = 13;
constexpr QSize kButtonSize(75, 23);
constexpr int kButtonTop = 56;
constexpr int kButtonBelow = 10;  // between the button and the dialog's lower edge
constexpr int kTextToButton = 8;
constexpr int kButtonPadding = 12;  // either side of the button's text

bool HasButtonText(const QFont& font) {
  const QFontMetrics metrics(font);
  return metrics.inFontUcs4(U'确') && metrics.inFontUcs4(U'定');
}

QPixmap StopSign() {
  QPixmap pixmap(kPictureSize, kPictureSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QPointF centre(kPictureSize / 2.0, kPictureSize / 2.0);
  auto octagon = [&](double radius) {
    QPolygonF shape;
    for (int k = 0; k < 8; ++k) {
      const double a = qDegreesToRadians(22.5 + 45.0 * k);
      shape << centre + QPointF(radius * std::cos(a), radius * std::sin(a));
    }
    return shape;
  };
  p.setPen(QPen(QColor(0x60, 0, 0), 1));
  p.setBrush(Qt::white);
  p.drawPolygon(octagon(20.0));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xD0, 0x10, 0x10));
  p.drawPolygon(octagon(17.5));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(9.0, 17.0, 23.0, 7.0));
  return pixmap;
}

QPixmap SmilingFace() {
  QPixmap pixmap(kPictureSize, kPictureSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x80, 0x60, 0), 1.5));
  p.setBrush(QColor(0xFF, 0xE0, 0x20));
  p.drawEllipse(QRectF(1.5, 1.5, 38.0, 38.0));
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::black);
  p.drawEllipse(QRectF(12.0, 11.0, 5.0, 7.0));
  p.drawEllipse(QRectF(24.0, 11.0, 5.0, 7.0));
  p.setPen(QPen(Qt::black, 2.5, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  // The lower half of an ellipse: angles in sixteenths of a degree, counter-clockwise from 3
  // o'clock.
  p.drawArc(QRectF(10.0, 12.0, 21.0, 18.0), 200 * 16, 140 * 16);
  return pixmap;
}

QLabel* MakePicture(QWidget* parent, const QString& name, const QPixmap& pixmap) {
  auto* picture = new QLabel(parent);
  picture->setObjectName(name);
  picture->setGeometry(16, 16, kPictureSize, kPictureSize);
  picture->setPixmap(pixmap);
  return picture;
}

}  // namespace

QFont MyDialogFont() {
  // 13 pixels at the desktop's usual font; a larger desktop font makes it larger too.
  const int pixels = std::max(kFontPixels, QFontInfo(QGuiApplication::font()).pixelSize());
  QStringList candidates;
  const QStringList installed = QFontDatabase::families();
  for (const QString& family : {QStringLiteral("宋体"), QStringLiteral("SimSun")})
    if (installed.contains(family)) candidates << family;
  candidates << QFontDatabase::families(QFontDatabase::SimplifiedChinese);
  for (const QString& family : candidates) {
    QFont font(family);
    font.setPixelSize(pixels);
    if (HasButtonText(font)) return font;
  }
  // Nothing installed claims the characters; font matching may still find a fallback.
  QFont font(QStringLiteral("宋体"));
  font.setPixelSize(pixels);
  return font;
}

TFMyDialog::TFMyDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FMyDialog"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint);
  setModal(false);
  setFont(MyDialogFont());
  setFixedSize(kDesignWidth, kDesignHeight);

  Label1 = new QLabel(this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->move(72, 16);
  Image1 = MakePicture(this, QStringLiteral("Image1"), StopSign());
  Image2 = MakePicture(this, QStringLiteral("Image2"), SmilingFace());
  BOK = new QPushButton(QStringLiteral("确定"), this);
  BOK->setObjectName(QStringLiteral("BOK"));
  BOK->setGeometry(120, kButtonTop, kButtonSize.width(), kButtonSize.height());
  BOK->setDefault(true);
  connect(BOK, &QPushButton::clicked, this, &TFMyDialog::BOKClick);
  // Main thread: a notification window ended with the message due.
  connect(&NotifyEvents(), &TNotifyEvents::WarningDue, this,
          [this](const QString& text) { Guarded(kNotifyMessageKey, [&] { ShowWarning(text); }); });
}

TFMyDialog::~TFMyDialog() {
  if (FMyDialog == this) FMyDialog = nullptr;
}

void TFMyDialog::ShowWarning(const QString& text) {
  const QString item = QStringLiteral("W") + text;
  if (isVisible()) {
    if (!FQueue.contains(item)) FQueue.append(item);
    return;
  }
  // Messages left waiting by a close from the title bar follow this one, but not twice.
  FQueue.removeAll(item);
  ShowItem(item);
}

void TFMyDialog::BOKClick() {
  Guarded("message.ok", [this] {
    if (FQueue.isEmpty())
      hide();
    else
      ShowItem(FQueue.takeFirst());
  });
}

void TFMyDialog::ShowItem(const QString& item) {
  if (item.startsWith(QLatin1Char('I'))) {
    setWindowTitle(QStringLiteral("Information"));
    Image1->hide();
    Image2->show();
  } else if (item.startsWith(QLatin1Char('W'))) {
    setWindowTitle(QStringLiteral("Warning"));
    Image1->show();
    Image2->hide();
  }
  Label1->setText(item.mid(1));
  Label1->adjustSize();

  // The designed places at the usual font; a larger one moves the button below the text and
  // makes it as large as its text needs.
  const QFontMetrics metrics(BOK->font());
  const QSize button = kButtonSize.expandedTo(
      QSize(metrics.horizontalAdvance(BOK->text()) + 2 * kButtonPadding, metrics.height() + 8));
  const int buttonTop = std::max(kButtonTop, Label1->y() + Label1->height() + kTextToButton);
  const int clientWidth = std::max({Label1->x() + Label1->width() + kLabelMargin, kMinClientWidth,
                                    button.width() + 2 * kLabelMargin});
  const int clientHeight = std::max(kDesignHeight, buttonTop + button.height() + kButtonBelow);
  setFixedSize(clientWidth, clientHeight);
  BOK->setGeometry((clientWidth - button.width()) / 2, buttonTop, button.width(), button.height());

  const QScreen* display = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
  const QRect area = display != nullptr ? display->geometry() : QRect(0, 0, 0, 0);
  if (isVisible()) {
    move(area.x() + (area.width() - clientWidth) / 2, y());
  } else {
    // Coming up from hidden: centred on the screen with the frame included. A frame first
    // becomes known once the window is shown, so the place is set again after it.
    auto centre = [&] {
      const QSize outer = frameGeometry().size();
      move(area.x() + (area.width() - outer.width()) / 2,
           area.y() + (area.height() - outer.height()) / 2);
    };
    centre();
    show();
    centre();
  }
  raise();
  activateWindow();
}

}  // namespace zul
