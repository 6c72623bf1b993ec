#include "bridge/vendor.h"

#include "bridge/events.h"
#include "bridge/task_queue.h"
#include "core/guard.h"
#include "core/log.h"
#include "core/profile_scope.h"
#include "server/obs_websocket_api.h"

#include <obs.hpp>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

namespace velmora {

namespace {

using namespace std::chrono_literals;

// Far longer than OBS's main thread takes to get to a task; short enough that a stalled OBS holds
// obs-websocket's threads only briefly.
constexpr auto main_thread_limit = 3s;
constexpr auto drain_limit = 1s;

VendorSetup setup;
// Held shared while an event goes out, so none is under way once the vendor is let go.
std::shared_mutex emit_lock;
std::atomic<void *> vendor{nullptr};
std::atomic<bool> answering{false};
std::atomic<int> answers_under_way{0};

// The last text of each event sent only on change, secrets left out; compared and sent under the
// lock, so the events go out in the order of their texts.
std::mutex last_sent_lock;
std::map<std::string, std::string, std::less<>> last_sent;

// The type of a member; OBS_DATA_NULL when it is missing.
obs_data_type member_type(obs_data_t *object, const char *name)
{
    obs_data_item_t *item = obs_data_item_byname(object, name);
    if (!item)
        return OBS_DATA_NULL;
    obs_data_type type = obs_data_item_gettype(item);
    obs_data_item_release(&item);
    return type;
}

std::string field_problem(obs_data_t *request, std::span<const VendorField> fields)
{
    for (const VendorField &field : fields) {
        std::string name = std::string("\"") + field.name + "\"";
        obs_data_type type = member_type(request, field.name);
        if (type == OBS_DATA_NULL) {
            if (field.required)
                return name + " is missing.";
            continue;
        }
        switch (field.type) {
        case FieldType::text:
            if (type != OBS_DATA_STRING)
                return name + " must be a string.";
            break;
        case FieldType::flag:
            if (type != OBS_DATA_BOOLEAN)
                return name + " must be true or false.";
            break;
        case FieldType::object:
            if (type != OBS_DATA_OBJECT)
                return name + " must be an object.";
            break;
        }
    }
    return {};
}

VendorAnswer answer_on_main_thread(const VendorRequest &request, obs_data_t *data)
{
    auto answer = std::make_shared<VendorAnswer>(refusal("Velmora couldn't do that. Try again."));
    UiWait wait = run_ui_task_and_wait(
        [answer, run = request.run, held = OBSData(data)] {
            // OBS may have begun to close while the task waited in the queue.
            *answer = answering ? run(held) : refusal("OBS is closing.");
        },
        main_thread_limit);
    switch (wait) {
    case UiWait::done:
        return *answer;
    case UiWait::busy:
        return refusal("Velmora is busy with other requests. Try again.");
    case UiWait::timed_out:
        return refusal("OBS didn't answer in time, and nothing changed. Try again.");
    case UiWait::wrong_thread:
        return refusal("Velmora's requests can't run in a per-frame request batch.");
    case UiWait::closing:
        break;
    }
    return refusal("OBS is closing.");
}

VendorAnswer answer_request(const VendorRequest &request, obs_data_t *given)
{
    if (!answering)
        return refusal("OBS is closing.");
    // obs-websocket passes no object for a request sent without requestData.
    OBSDataAutoRelease empty = given ? nullptr : obs_data_create();
    obs_data_t *data = given ? given : empty.Get();
    std::string problem = field_problem(data, request.fields);
    if (!problem.empty())
        return refusal(problem);
    if (request.thread == ActionThread::connection)
        return request.run(data);
    return answer_on_main_thread(request, data);
}

void write_answer(const VendorAnswer &answer, obs_data_t *response)
{
    obs_data_set_bool(response, "ok", answer.ok);
    obs_data_set_string(response, "message", answer.message.c_str());
    obs_data_set_string(response, "confirm", answer.confirm.c_str());
    if (answer.state.empty())
        return;
    OBSDataAutoRelease state = obs_data_create_from_json(answer.state.c_str());
    if (!state)
        return;
    obs_data_erase(state, "event");
    drop_secrets(state);
    obs_data_set_obj(response, "state", state);
}

// Called by obs-websocket on one of its threads, possibly after OBS began to close.
void on_request(obs_data_t *request, obs_data_t *response, void *row)
{
    ++answers_under_way;
    const auto &asked = *static_cast<const VendorRequest *>(row);
    VendorAnswer answer = refusal("Velmora couldn't do that. Try again.");
    run_guarded("Answering an obs-websocket request", [&] { answer = answer_request(asked, request); });
    if (response)
        run_guarded("Writing an obs-websocket answer", [&] { write_answer(answer, response); });
    --answers_under_way;
}

// The bridge's events that obs-websocket's clients get too; any thread.
void mirror_event(const std::string &text)
{
    constexpr std::string_view head = "{\"event\":\"";
    if (!text.starts_with(head))
        return;
    std::string_view name(text);
    name = name.substr(head.size(), name.find('"', head.size()) - head.size());
    const VendorEvent *event = nullptr;
    for (const VendorEvent &row : setup.events)
        if (row.bridge_event == name)
            event = &row;
    if (!event)
        return;
    ProfileScope profile("velmora_vendor_event");
    OBSDataAutoRelease data = obs_data_create_from_json(text.c_str());
    if (!data)
        return;
    obs_data_erase(data, "event");
    drop_secrets(data);
    std::shared_lock hold(emit_lock);
    void *to = vendor.load();
    if (!to)
        return;
    if (!event->only_changes) {
        emit_vendor_event(to, event->name, data);
        return;
    }
    const char *json = obs_data_get_json(data);
    std::lock_guard lock(last_sent_lock);
    std::string &last = last_sent[event->name];
    if (!json || last == json)
        return;
    last = json;
    emit_vendor_event(to, event->name, data);
}

} // namespace

VendorAnswer refusal(std::string message)
{
    VendorAnswer answer;
    answer.ok = false;
    answer.message = std::move(message);
    return answer;
}

void drop_secrets(obs_data_t *object)
{
    for (std::string_view secret : setup.secrets)
        obs_data_erase(object, std::string(secret).c_str());
}

void vendor_init(const VendorSetup &given)
{
    setup = given;
    VendorRegistration registration = register_websocket_vendor("velmora");
    if (!registration.websocket_there) {
        VELMORA_LOG(LOG_INFO, "obs-websocket is not there; stream decks and scripts cannot reach Velmora");
        return;
    }
    if (!registration.vendor) {
        VELMORA_LOG(
            LOG_INFO,
            "obs-websocket refused the vendor \"velmora\"; stream decks and scripts cannot reach Velmora");
        return;
    }
    answering = true;
    int added = 0;
    for (const VendorRequest &request : setup.requests) {
        // The row outlives the registration: the table is the module's, for the process's life.
        if (add_vendor_request(registration.vendor, request.name, on_request,
                               const_cast<VendorRequest *>(&request)))
            ++added;
        else
            VELMORA_LOG(LOG_WARNING, "obs-websocket refused the request %s", request.name);
    }
    vendor = registration.vendor;
    set_event_mirror(mirror_event);
    VELMORA_LOG(LOG_INFO, "obs-websocket clients reach Velmora as vendor \"velmora\" (%d requests)", added);
}

void vendor_exit()
{
    answering = false;
    set_event_mirror(nullptr);
    void *registered = nullptr;
    {
        // Waits out an event being sent on another thread: a copy in memory, never a peer.
        std::unique_lock hold(emit_lock);
        registered = vendor.exchange(nullptr);
    }
    if (!registered)
        return;
    for (const VendorRequest &request : setup.requests)
        remove_vendor_request(registered, request.name);
    VELMORA_LOG(LOG_INFO, "Velmora's obs-websocket requests are unregistered");
}

void vendor_shutdown()
{
    // Without an EXIT, obs-websocket may have unloaded already: its requests are left, refused.
    answering = false;
    set_event_mirror(nullptr);
    {
        std::unique_lock hold(emit_lock);
        vendor = nullptr;
    }
    // Answers under way end quickly now: none waits for the main thread once OBS closes.
    for (auto end = std::chrono::steady_clock::now() + drain_limit;
         answers_under_way > 0 && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(5ms);
}

} // namespace velmora
