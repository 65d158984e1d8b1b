#include "core/info_log.h"

#include <cstdio>

#include "core/engine_state.h"
#include "core/sjis.h"
#include "platform/platform.h"

info_log_state_record info_log_state;
void (*info_log_listener)(const char* tag, const std::string& entry) = nullptr;

namespace {
bool tag_written(const char* tag) {
  if (!tag || !*tag) return true;
  std::string_view t(tag);
  return t == "ERR" || t == "ACT";
}
}  // namespace

std::string info_log_header(const local_time& t) {
  static const std::string mark = utf8_to_sjis("■");
  const std::string dashes = "//" + std::string(76, '-') + "\n";
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%02d/%02d/%02d time=%02d:%02d:%02d\n", t.year % 100, t.month, t.day, t.hour,
                t.minute, t.second);
  return dashes + "//" + mark + stamp + dashes;
}

void write_info_log_args(const char* tag, std::string_view format, const std::vector<report_arg>& args) {
  if (!tag_written(tag) || !platform_installed() || !platform().files) return;
  std::lock_guard<engine_mutex> lock(engine_lock);
  std::string entry = format_checked(format, args);
  if (entry.size() > info_log_entry_limit) entry.resize(info_log_entry_limit);
  std::string text;
  if (info_log_state.header_due) {
    Clock* clock = platform().clock;
    text = info_log_header(clock ? clock->local_now() : local_time{});
  }
  text += entry;
  text += '\n';
  if (info_log_listener) info_log_listener(tag, entry);
  // A log that cannot be written is skipped; the header then waits for the next entry.
  if (platform().files->append_file("info.txt", text.data(), text.size())) info_log_state.header_due = 0;
}
