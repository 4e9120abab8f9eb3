#include "platform/ErrorReport.h"

#include <cstdio>
#include <set>
#include <utility>

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
  std::fprintf(stderr, "zul: %s\n", text.c_str());
  if (Sink()) Sink()(text);
}

void ReportAlways(std::string_view key, const std::string& text) {
  Standing().emplace(key);
  std::fprintf(stderr, "zul: %s\n", text.c_str());
  std::fflush(stderr);
  if (Sink()) Sink()(text);
}

void ClearError(std::string_view key) {
  auto& standing = Standing();
  if (auto it = standing.find(key); it != standing.end()) standing.erase(it);
}

}  // namespace zul
