#include "resources/command_table.h"

command_table_record command_table;
command_handler command_handler_table[command_slot_count] = {};
