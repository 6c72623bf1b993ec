#include "core/module_handle.h"

#include <atomic>

namespace velmora {

namespace {
std::atomic<obs_module_t *> current_module{nullptr};
}

obs_module_t *module_handle()
{
    return current_module.load();
}

void set_module_handle(obs_module_t *module)
{
    current_module.store(module);
}

} // namespace velmora
