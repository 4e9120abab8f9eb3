#include "display/vcls.h"

#include "display/Figure.h"
#include "platform/ErrorReport.h"
#include "vartype.h"

namespace zul {

TFVCLS* FVCLS = nullptr;

namespace {
constexpr const char* kLogOpenKey = "log-open";
constexpr const char* kLogWriteKey = "log-write";
}  // namespace

TFVCLS::TFVCLS(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FVCLS"));
  FSampler = std::make_unique<TSampler>(Traffic, TLog, LocalNow);
  FSampler->OnError = [](const std::string& text) { ReportError(kLogWriteKey, text); };
  Sampler = FSampler.get();

  // A log that cannot be opened is reported; the timer runs anyway and the graphs go on.
  Guarded(kLogOpenKey, [this] { TLog.Open(DataDir + "db/"); });
  if (std::string notice = TLog.TakeNotice(); !notice.empty()) ReportError("log-notice", notice);

  Timer1.setInterval(1000);
  connect(&Timer1, &QTimer::timeout, this, &TFVCLS::Timer1Timer);
  Timer1.start();
}

TFVCLS::~TFVCLS() {
  if (Sampler == FSampler.get()) Sampler = nullptr;
  if (FVCLS == this) FVCLS = nullptr;
}

void TFVCLS::Timer1Timer() {
  Guarded("sample-tick", [this] {
    // A log that failed to open (locked by a dying instance, a folder not there yet) gets
    // another chance once there is something to write; the sampler keeps what it could not.
    if (!TLog.IsOpen() && FSampler->PendingWrites() > 0 && Traffic.MinuteTick == 59) {
      if (Guarded(kLogOpenKey, [this] { TLog.Open(DataDir + "db/"); })) {
        if (std::string notice = TLog.TakeNotice(); !notice.empty())
          ReportError("log-notice", notice);
      }
    }
    FSampler->SampleTick();
    if (FSampler->PendingWrites() == 0) ClearError(kLogWriteKey);
  });
}

void TFVCLS::SetTrayHint(const QString& hint) {
  FTrayHint = hint;
}

void TFVCLS::SetTrayLevel(uint32_t barHeight, uint32_t graphHeight) {
  FTrayHeight = graphHeight > 0 ? graphHeight : 1;
  FTrayBar = barHeight < FTrayHeight ? barHeight : FTrayHeight;
}

void TFVCLS::Quit1Click() {
  Quitting = true;
  Timer1.stop();
  if (Figures[0]) Figures[0]->close();
}

}  // namespace zul
