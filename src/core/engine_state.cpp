#include "core/engine_state.h"

std::atomic<uint8_t> quit_flag{0};
std::atomic<uint8_t> restart_flag{0};
std::recursive_mutex engine_lock;
std::atomic<uint8_t> stop_threads_signal{0};
