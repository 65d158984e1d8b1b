#pragma once
void install_key_state_handlers();
void poll_input();
void sample_input_for_frame();
int count_joysticks();
