#pragma once

struct obs_module;
typedef struct obs_module obs_module_t;

namespace velmora {

// The handle OBS gives the module at load; null outside OBS (unit tests).
obs_module_t *module_handle();
void set_module_handle(obs_module_t *module);

} // namespace velmora
