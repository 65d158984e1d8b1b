// Start-up fills the system values scripts read (engine_facts): the machine,
// the folders, the command line, the screen, the trees' current paths and
// the user's engine settings.
#pragma once

// Once the folders, the settings and the write test are known (start-up step
// 12), and again whenever the desktop mode changes.
void publish_engine_values();
