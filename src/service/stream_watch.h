#pragma once

#include <functional>
#include <string>

namespace velmora {

// Follows OBS's streaming output from each STREAMING_STARTING on, through the output's own
// signals: whether OBS is still connecting, the reconnect attempt, when the stream went live, and
// why it stopped. Main thread unless said.

// From start-up until OBS's EXIT event; shut-down lets go of the output.
void stream_watch_init();
void stream_watch_shutdown();

// Runs start (which asks OBS to start streaming) and tells the docks when OBS refused before it
// even said it was starting. Main thread.
void watch_start_request(const std::function<void()> &start);
// OBS asked its output to start and the stream is neither live nor over: OBS says "Connecting".
bool stream_connecting();
bool stream_reconnecting();
// The attempt OBS is on while it reconnects; 0 when it is not reconnecting.
int reconnect_attempt();
// Seconds since the stream went live; 0 when it is not live.
long long live_seconds();

// Why the stream stopped, in the dock's words, naming the server where that helps: the output's
// own error text, or a sentence for its stop code; empty when it stopped cleanly.
std::string stream_last_error();
// The same once the streaming output's stop signal has been seen (bounded wait); on
// STREAMING_STOPPED only.
std::string stream_stop_error();
// The dock's words for an output stop code; server is named in them when not empty.
std::string stop_code_text(long long code, const std::string &server);

} // namespace velmora
