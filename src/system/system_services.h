// Start-up wiring of the system services: the window-event filter of the
// player's boxes and the script's write to the file-list count.
#pragma once

void install_system_services();
