#include "support/reported_errors.h"

#include <mutex>

#include "core/error_report.h"

namespace {
std::mutex recorded_mutex;
std::vector<int> recorded_codes;
std::vector<std::string> recorded_texts;

void record(int code, const std::string& text) {
  std::lock_guard<std::mutex> g(recorded_mutex);
  recorded_codes.push_back(code);
  recorded_texts.push_back(text);
}
}  // namespace

reported_errors::reported_errors() {
  clear();
  error_report_listener = record;
}

reported_errors::~reported_errors() { error_report_listener = nullptr; }

std::vector<int> reported_errors::codes() const {
  std::lock_guard<std::mutex> g(recorded_mutex);
  return recorded_codes;
}

std::vector<std::string> reported_errors::texts() const {
  std::lock_guard<std::mutex> g(recorded_mutex);
  return recorded_texts;
}

void reported_errors::clear() {
  std::lock_guard<std::mutex> g(recorded_mutex);
  recorded_codes.clear();
  recorded_texts.clear();
}
