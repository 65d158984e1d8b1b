#include "core/engine_state.h"

#include <chrono>
#include <thread>

#include "platform/platform.h"

std::atomic<uint8_t> quit_flag{0};
std::atomic<uint8_t> restart_flag{0};
std::atomic<uint8_t> stop_threads_signal{0};
std::atomic<uint8_t> quit_by_error{0};
engine_mutex engine_lock;

bool serve_ui_while_waiting() {
  if (!platform_installed()) return false;
  Ui* ui = platform().ui;
  return ui && ui->serve_requests();
}

void engine_mutex::lock() {
  if (mutex_.try_lock()) return;
  if (!serve_ui_while_waiting()) {
    mutex_.lock();
    return;
  }
  while (!mutex_.try_lock()) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    serve_ui_while_waiting();
  }
}
