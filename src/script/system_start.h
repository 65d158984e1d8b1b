// System start: loads the compiled files in their order and points the SYSTEM
// task at the label SYSTEM_START, whose first instruction runs in the first
// frame tick.
#pragma once

// 0, or nonzero after a report (start-up then ends).
int system_start();
