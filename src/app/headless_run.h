// Starting the real engine on a game folder under the headless backend and
// reading back what the compositor drew: shared by the game harness of the
// tests and by `kxtool run`.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/headless/headless_platform.h"

// Installs a headless platform on `game_folder` (virtual clock at
// `start_time_ms`, libraries searched in `library_folder` when not empty) and
// runs the player's start-up as the entry point does. The platform stays
// installed as long as `platform` lives. 0 when the game is running; nonzero
// when start-up ended. `gpu` picks the GPU backends the run may use;
// `prepare`, when given, sets up the fake machine (its desktop, displays,
// arguments, memory...) before start-up asks it anything.
int start_headless_game(std::unique_ptr<HeadlessPlatform>& platform, const std::string& game_folder,
                        uint32_t start_time_ms, const std::string& library_folder,
                        gpu_choice gpu = gpu_choice::software,
                        const std::function<void(HeadlessPlatform&)>& prepare = {});

// The main window's composited frame: window 0's root layer picture as the
// compositor left it (B, G, R, A rows of width * 4 bytes), with the player's
// own boxes and the movie picture the headless Ui shows over the main window
// drawn in. False when there is no such picture.
bool composited_main_frame(int& width, int& height, std::vector<uint8_t>& bgra);
// Draws the headless Ui's overlay of window 0 (client coordinates) over a
// frame of the main window's logical size.
void draw_headless_overlay(int width, int height, std::vector<uint8_t>& bgra);
