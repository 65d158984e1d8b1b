#pragma once
#include <cstdint>
#include <string>

#include "platform/platform.h"
int create_window_states();  // 0 = success
void init_window_bitmap(int window, const std::string& title);
int create_game_window(int window, int width, int height, const std::string& title);
void game_wnd_proc(const ui_event& event);
void set_main_window_close_mode(uint8_t mode);
int repaint_window_without_device(int window);  // returns quit_flag
bool main_window_resizable();
void remove_main_window_thick_frame();
