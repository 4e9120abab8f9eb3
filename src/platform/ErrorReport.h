// The application's standard error report: an error that leaves a user-interface handler is shown
// to the user and the program goes on. A failure that repeats under the same key (a full disk at
// every write) is shown once, until a success under that key clears it.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace zul {

// Where reports go: a message box in the program, a recorder in tests. Main thread only.
using TErrorSink = std::function<void(const std::string& text)>;
void SetErrorSink(TErrorSink sink);

// Shows `text` unless a report under `key` is still standing. Also written to standard error.
void ReportError(std::string_view key, const std::string& text);
void ClearError(std::string_view key);

// Never silenced, for what is about to be lost (the exit's last word about traffic it could not
// save): written to standard error every time and shown even while a report under `key` stands.
void ReportAlways(std::string_view key, const std::string& text);

// Runs a handler body; an exception that leaves it is reported under `key`, a clean run clears
// the key. Returns whether the body completed.
template <class F>
bool Guarded(std::string_view key, F&& body) {
  try {
    body();
    ClearError(key);
    return true;
  } catch (const std::exception& e) {
    ReportError(key, e.what());
  } catch (...) {
    ReportError(key, "Unknown error");
  }
  return false;
}

}  // namespace zul
