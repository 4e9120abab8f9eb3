#include "display/About.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QUrl>
#include <QVBoxLayout>

#include "display/vcls.h"

namespace zul {

TFAbout* FAbout = nullptr;

namespace {

// A link to a local file of the documentation, opened in the desktop's browser.
QLabel* FileLink(QWidget* parent, const QString& file, const QString& text) {
  auto* label = new QLabel(parent);
  label->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                     .arg(QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded), text));
  label->setTextFormat(Qt::RichText);
  label->setTextInteractionFlags(Qt::TextBrowserInteraction);
  label->setOpenExternalLinks(true);
  return label;
}

}  // namespace

TFAbout::~TFAbout() {
  if (FAbout == this) FAbout = nullptr;
}

TFAbout::TFAbout(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FAbout"));
  setWindowTitle(QStringLiteral("About ZUL"));
  auto* layout = new QVBoxLayout(this);
  auto* name = new QLabel(QStringLiteral("<b>ZUL</b> network bandwidth monitor"), this);
  auto* version = new QLabel(QStringLiteral("Version " ZUL_VERSION), this);
  auto* maker = new QLabel(QStringLiteral("Halvane"), this);
  QList<QLabel*> lines = {name, version, maker};
  // Only what this copy of the program has: a link never leads nowhere.
  if (const QString guide = DocFile(QString::fromUtf8(kUserGuide)); !guide.isEmpty())
    lines << (GuideLink = FileLink(this, guide, QStringLiteral("User guide")));
  if (const QString licence = DocFile(QStringLiteral("LICENSE")); !licence.isEmpty())
    lines << (LicenceLink = FileLink(this, licence, QStringLiteral("Licence")));
  for (QLabel* label : lines) {
    label->setAlignment(Qt::AlignHCenter);
    layout->addWidget(label);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::hide);
  layout->addWidget(buttons);
}

}  // namespace zul
