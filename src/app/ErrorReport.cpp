#include "app/ErrorReport.h"

#include <atomic>
#include <cstdio>

#include "base/SysUtils.h"
#include "net/Thread.h"

namespace korimo {
namespace {

ErrorReporter& Reporter() {
  static ErrorReporter r;
  return r;
}

// One worker error on the operator's screen at a time (see
// ReportWorkerError).
std::atomic<bool> ReportUp{false};
std::atomic<int> ReportsHeldBack{0};

const std::string& MoreErrorsText() {
  static const std::string k = Sjis("件のエラーが続けて起こりました (表示は省略しました)");
  return k;
}

}  // namespace

void SetErrorReporter(ErrorReporter reporter) { Reporter() = std::move(reporter); }

void ShowError(const std::string& message) {
  if (Reporter()) {
    Reporter()(message);
  } else {
    std::string line = ErrorReportText(message) + "\n";
    fwrite(line.data(), 1, line.size(), stderr);
    fflush(stderr);
  }
}

int WorkerErrorsHeldBack() { return ReportsHeldBack.load(); }

void ReportWorkerError(std::exception_ptr error) {
  if (ReportUp.exchange(true)) {
    ReportsHeldBack.fetch_add(1);
    return;
  }
  std::string text = ErrorMessage(error);
  for (;;) {
    try {
      RunOnMainThread([&text] { ShowError(text); });
    } catch (...) {
      // Nobody to show it to.
    }
    int more = ReportsHeldBack.exchange(0);
    if (more == 0) {
      ReportUp.store(false);
      // An error counted just before the store would wait for the next
      // report: take it over now unless another worker already did.
      if (ReportsHeldBack.load() == 0 || ReportUp.exchange(true)) return;
      more = ReportsHeldBack.exchange(0);
      if (more == 0) {
        ReportUp.store(false);
        return;
      }
    }
    text = std::to_string(more) + " " + MoreErrorsText();
  }
}

}  // namespace korimo
