#pragma once

// What OBS's streaming service is to the dock, judged against the record of the streamer's own
// service that a switch keeps until it is put back.
#include <string>

struct obs_data;
typedef struct obs_data obs_data_t;
struct obs_service;
typedef struct obs_service obs_service_t;

namespace velmora {

enum class ServiceKind {
    none,     // OBS has no streaming service
    velmora,  // the one a switch installed
    recorded, // the streamer's own service that the record holds
    other,    // neither: the streamer's, or one another tool set
};

// "none", "velmora", "recorded" or "other": the state's "serviceState".
const char *service_kind_name(ServiceKind kind);

// Ours when it carries the marker setting, or when it still points at the ingest the switch
// installed: OBS's settings page saves only the fields it knows, so an edit there drops the marker.
bool service_is_velmora(obs_service_t *service, obs_data_t *record);
ServiceKind classify_service(obs_service_t *service, obs_data_t *record);

// The ingest a switch installed, kept in the record: {"type", "server"}.
void set_installed_ingest(obs_data_t *record, const char *type, const std::string &server);
bool has_installed_ingest(obs_data_t *record);

// Words for a service or a record: the platform's name, "your custom server", "your WHIP server"
// or "your old service"; empty for none.
std::string describe_service(obs_service_t *service);
std::string describe_service_record(obs_data_t *record);

} // namespace velmora
