#pragma once

// Ends a module timer from OBS's main thread.
#include <QTimer>

namespace velmora {

// Stops the timer and deletes it once control is back in the event loop: OBS 29 runs its EXIT from
// inside its SIGINT handler, which may have interrupted the timer's own tick.
inline void end_timer(QTimer *&timer)
{
    if (!timer)
        return;
    timer->stop();
    timer->deleteLater();
    timer = nullptr;
}

} // namespace velmora
