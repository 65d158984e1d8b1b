// Fuzz targets run the engine's error paths millions of times: reports and
// message boxes must not print a line per input. A platform with only a
// silent Ui takes them (the dialog and every box answer at once); nothing
// else of the platform is installed, so the code under test behaves as in
// the tools.
#pragma once
#include "core/error_report.h"
#include "platform/platform.h"

class quiet_ui final : public Ui {
 public:
  bool create_window(int, const window_desc&) override { return false; }
  void destroy_window(int) override {}
  bool window_exists(int) const override { return false; }
  void show_window(int, bool) override {}
  void set_window_title(int, const std::string&) override {}
  void raise_window(int) override {}
  void present(int, const uint8_t*, int, int, int, int, int) override {}
  bool poll_event(ui_event&) override { return false; }
  void post_event(const ui_event&) override {}
  int message_box(const std::string&, const std::string&, uint32_t) override { return id_ok; }
  int error_dialog(const std::string&, const std::string&, bool) override { return 0; }
};

// Call at the top of every input: installs the silent Ui once and keeps the
// once-per-run dialog rule from mattering.
inline void quiet_reports() {
  static quiet_ui ui;
  static Platform services;
  static const bool installed = (services.ui = &ui, install_platform(&services), true);
  (void)installed;
  error_dialog_shown = 1;
}
