#pragma once

#include "util/base.h"
#include "util/bmem.h"

struct obs_module;
typedef struct obs_module obs_module_t;

#ifdef __cplusplus
extern "C" {
#endif

// Finds no data files: the tests give the server its web folder themselves.
char *obs_find_module_file(obs_module_t *module, const char *file);

#ifdef __cplusplus
}
#endif
