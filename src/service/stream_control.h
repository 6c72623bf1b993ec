#pragma once

#include "service/service_switch.h"

namespace velmora {

// Starts or stops OBS's stream as OBS's own button does: when OBS's settings say to confirm,
// only with the streamer's yes (confirmed), and otherwise the result asks OBS's question. Main
// thread.
ServiceResult start_streaming(bool confirmed);
ServiceResult stop_streaming(bool confirmed);
// OBS asks before starting (start) or stopping a stream.
bool obs_confirms_stream(bool start);

} // namespace velmora
