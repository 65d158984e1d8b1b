#include "core/engine_config.h"

engine_config_record engine_config;
