#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace velmora::platform {

// A stop request that also wakes the transfer waiting on the network, from any thread, so a
// transfer never holds its thread for longer than it takes to notice.
class StopSignal {
  public:
    void raise();
    void clear();
    bool raised() const;

    // While a transfer runs it leaves here how to wake it.
    void attach(std::function<void()> wake);
    void detach();

  private:
    std::atomic<bool> raised_{false};
    std::mutex mutex_;
    std::function<void()> wake_;
};

struct HttpsTarget {
    bool secure = true;
    std::u16string host;
    std::uint16_t port = 443;
    std::u16string path; // with its query, beginning with "/"
};

struct HttpsRequest {
    HttpsTarget target;
    std::u16string user_agent;
    std::u16string headers; // one block, each line ended by CR LF
};

// Receives the answer: its status and announced length once, then the body in chunks.
class HttpsReader {
  public:
    virtual ~HttpsReader() = default;
    // status is 0 when the answer carried none; content_length is the header's text, empty when
    // there was none.
    virtual void on_answer(int status, const std::string &content_length) = 0;
    // False ends the transfer with reader_ended.
    virtual bool on_chunk(const char *bytes, std::size_t length) = 0;
};

enum class HttpsOutcome {
    complete,
    no_network,    // no session could be opened
    no_connection, // the target could not be addressed
    no_answer,     // sending or receiving the answer's headers failed
    dropped,       // the body ended early
    stopped,       // the stop signal was raised
    reader_ended,  // the reader refused a chunk
};

// One GET: TLS with certificate checks when the target is secure, redirects followed but never
// from https to http; name resolution and connecting give up after 10 s and 15 s (15 s for both
// together here) and a transfer that moves nothing for 30 s ends. Runs on the calling thread
// until done or stopped.
HttpsOutcome https_fetch(const HttpsRequest &request, StopSignal &stop, HttpsReader &reader);

} // namespace velmora::platform
