#include "system/debug_log.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "core/engine_state.h"
#include "core/sjis.h"
#include "platform/platform.h"

debug_log_record debug_log;

namespace {

const std::string& warning_text() {
  static const std::string t = utf8_to_sjis(
      "log が 10MB を超えました。\n\nこのまま続けていくと動作が遅くなっていく可能性があります。\n\n"
      "_ROUTE.TXT を削除していただくか、\n別の場所に待避させてください。");
  return t;
}

const char ruler[] = "//----------------------------------------------------------------------------\n";

}  // namespace

// Relative to the game folder, which the host-file service starts from.
const char* debug_log_path() { return "debuglog.txt"; }

void append_debug_log(std::string_view text) {
  std::lock_guard<engine_mutex> lock(engine_lock);
  HostFiles* files = platform().files;
  if (debug_log.first_line) files->remove_file(debug_log_path());
  uint64_t size = 0;
  if (files->kind(debug_log_path(), &size) != host_entry_kind::file) size = 0;
  std::string out;
  if (size > debug_log_warning_size - 1) out += warning_text();
  if (debug_log.first_line) {
    local_time t = platform().clock->local_now();
    char line[96];
    std::snprintf(line, sizeof line, "//\x81\xa1%02d/%02d/%02d time=%02d:%02d:%02d\n", t.year % 100, t.month, t.day,
                  t.hour, t.minute, t.second);
    out += ruler;
    out += line;
    out += ruler;
  }
  out.append(text);
  out += '\n';
  // One append: a line is never split by another writer. A log that cannot
  // be written leaves the header due for the next line.
  if (files->append_file(debug_log_path(), out.data(), out.size())) debug_log.first_line = 0;
}

void delete_debug_log() {
  std::lock_guard<engine_mutex> lock(engine_lock);
  platform().files->remove_file(debug_log_path());
}
