// How errors reach the operator: one report at a time through the front
// end's reporter (an error box, or a line on the console).
//
// Thread contract: ShowError runs on the main thread; ReportWorkerError runs
// on a worker and waits while its report is shown there.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace korimo {

// The front end's error report for errors shown to the operator (worker
// errors, failed operator actions). Runs on the main thread; the default
// writes one line to standard error.
using ErrorReporter = std::function<void(const std::string& message)>;
void SetErrorReporter(ErrorReporter reporter);
// Shows `message` through the installed reporter. Main thread.
void ShowError(const std::string& message);

// A worker's escaped error, shown on the main thread; the worker waits
// until the operator has seen it. Any client can make a worker fail (a
// Content-Length that is no number does), so while one report is up later
// ones are only counted, their workers go on, and the count is reported
// when the operator has closed the report.
void ReportWorkerError(std::exception_ptr error);
// Worker errors counted but not shown while another report was up; the
// count is shown (and reset) when that report closes.
int WorkerErrorsHeldBack();

}  // namespace korimo
