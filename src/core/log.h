#pragma once

#include <util/base.h>

// Every line of the module goes to OBS's log with the same prefix, so users can grep for it.
#define VELMORA_LOG(level, format, ...) blog(level, "[velmora] " format, ##__VA_ARGS__)
