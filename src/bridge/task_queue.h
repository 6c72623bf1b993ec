#pragma once

#include <functional>

namespace velmora {

using Task = std::function<void()>;

// Hands work to OBS's main thread without waiting for it. The task must own copies of
// everything it uses.
void queue_ui_task(Task task);

} // namespace velmora
