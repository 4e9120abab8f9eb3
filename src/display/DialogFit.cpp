#include "display/DialogFit.h"

#include <QDate>
#include <QDateEdit>
#include <QEvent>
#include <QLayout>
#include <QLocale>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <algorithm>

namespace zul {

namespace {

// Fits the dialog again when its font or style changes; lives as the dialog's child.
class TRefit : public QObject {
 public:
  TRefit(QWidget* dialog, QSize least) : QObject(dialog), FDialog(dialog), FLeast(least) {
    dialog->installEventFilter(this);
  }
  void Fit() {
    if (FDialog == nullptr) return;
    FDialog->setFixedSize(FittedSize(FDialog, FLeast));
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (watched == FDialog && (e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange))
      // After the children have taken the new font: the layout's need is known then.
      QTimer::singleShot(0, this, [this] { Fit(); });
    return false;
  }

 private:
  QPointer<QWidget> FDialog;
  QSize FLeast;
};

}  // namespace

QSize FittedSize(const QWidget* dialog, QSize least) {
  QLayout* layout = dialog->layout();
  if (layout == nullptr) return least.expandedTo(dialog->minimumSizeHint());
  layout->activate();
  QSize size = least.expandedTo(layout->totalMinimumSize());
  // Wrapped notes need more rows in a narrow dialog than their minimum says.
  if (layout->hasHeightForWidth())
    size.setHeight(std::max(size.height(), layout->totalHeightForWidth(size.width())));
  return size;
}

void FitDialog(QWidget* dialog, QSize least) {
  auto* refit = new TRefit(dialog, least);
  refit->Fit();
}

QDateEdit* MakeDateEdit(QWidget* parent, const QString& tip) {
  const QString longDate = QLocale().dateFormat(QLocale::LongFormat);
  auto* picker = new QDateEdit(QDate::currentDate(), parent);
  picker->setDisplayFormat(longDate);
  picker->setCalendarPopup(true);
  picker->setEnabled(false);
  picker->setToolTip(tip);
  // Room for the longest day and month names, the calendar button included.
  const QString longest = QLocale().toString(QDate(2026, 9, 30), longDate);
  picker->setMinimumWidth(picker->fontMetrics().horizontalAdvance(longest) + 48);
  return picker;
}

}  // namespace zul
