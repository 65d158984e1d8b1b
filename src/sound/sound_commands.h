// The sound commands: 76 makes, loads, configures, plays, fades, stops and
// pauses a named sound or group; 77 deletes a sound or a group with everything
// below it; 78 reads a sound's state or parameters into a variable. They only
// post requests to the sound thread and wait where the queue says so.
#pragma once
#include <cstdint>

struct object_node;

constexpr int sound_set_command = 76;
constexpr int sound_delete_command = 77;
constexpr int sound_query_command = 78;

int cmd_sound_set();
int cmd_sound_delete();
int cmd_sound_query();

// Deletes one node: unload request, wait until it is idle, then detach it and
// free its name and child index under engine_lock. The node and its record
// stay allocated (requests may still name them) until destroy_sound_tree.
void delete_sound_node(object_node* node);
