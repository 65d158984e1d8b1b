// Script command 2: the one command that changes the pixels of layer
// pictures. Which operation a call runs is decided by which selector
// parameter it carries, tested in a fixed order; the first present one runs.
#pragma once

// 0 to go on with the next instruction, -1 to end the task's turn (every
// failure, most after an error report with quit set).
int cmd_cg_process();
