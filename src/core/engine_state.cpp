#include "core/engine_state.h"

std::atomic<uint8_t> quit_flag{0};
std::atomic<uint8_t> restart_flag{0};
std::atomic<uint8_t> quit_by_error{0};
std::recursive_mutex engine_lock;
