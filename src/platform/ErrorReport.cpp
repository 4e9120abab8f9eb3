#include "platform/ErrorReport.h"

#include <cstdio>
#include <set>
#include <utility>

#include "platform/Log.h"

namespace zul {
namespace {

TErrorSink& Sink() {
  static TErrorSink sink;
  return sink;
}

// Keys whose failure the user has seen and that has not cleared since.
std::set<std::string, std::less<>>& Standing() {
  static std::set<std::string, std::less<>> keys;
  return keys;
}

}  // namespace

void SetErrorSink(TErrorSink sink) {
  Sink() = std::move(sink);
}

void ReportError(std::string_view key, const std::string& text) {
  auto& standing = Standing();
  if (standing.find(key) != standing.end()) return;
  standing.emplace(key);
  LogLine(text);
  if (Sink()) Sink()(text);
}

void ReportAlways(std::string_view key, const std::string& text) {
  Standing().emplace(key);
  LogLine(text);
  std::fflush(stderr);
  if (Sink()) Sink()(text);
}

void ClearError(std::string_view key) {
  auto& standing = Standing();
  if (auto it = standing.find(key); it != standing.end()) standing.erase(it);
}

}  // namespace zul
