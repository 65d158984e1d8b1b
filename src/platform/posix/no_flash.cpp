#include "platform/posix/no_flash.h"

std::unique_ptr<FlashMovie> NoFlashBackend::open_movie(const std::string&, int, int, int, int) { return nullptr; }
