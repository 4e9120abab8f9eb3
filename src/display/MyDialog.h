// The message dialog of the threshold notifications: small, non-modal and always on top. Messages
// that come while one is on screen wait, without duplicates, and follow one per press of "确定".
// Created hidden at start-up; lives until exit. Main thread only.
#pragma once

#include <QDialog>
#include <QFont>
#include <QString>
#include <QStringList>

class QLabel;
class QPushButton;

namespace zul {

class TFMyDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TFMyDialog(QWidget* parent = nullptr);
  ~TFMyDialog() override;

  // Returns at once. While the dialog is on screen the message waits unless it already does.
  void ShowWarning(const QString& text);
  // One item: its kind letter ('I' information, 'W' warning) and then the message.
  void ShowItem(const QString& item);
  // Shows the next waiting item, or hides the dialog when none waits.
  void BOKClick();

  // Items still waiting, oldest first.
  const QStringList& Queue() const { return FQueue; }

  QLabel* Label1;
  QLabel* Image1;  // warning picture
  QLabel* Image2;  // information picture
  QPushButton* BOK;

 private:
  QStringList FQueue;
};

// "宋体" at 13 pixels where it is installed, otherwise an installed font that has the Chinese
// characters of the dialog, so that "确定" never shows as boxes.
QFont MyDialogFont();

extern TFMyDialog* FMyDialog;

}  // namespace zul
