#pragma once

#include "service/service_record.h"

#include <string>

struct obs_data;
typedef struct obs_data obs_data_t;

namespace velmora {

// What became of an action the streamer asked for, in the dock's words: done, refused with the
// reason, or waiting for the streamer's yes to the question in confirm.
struct ServiceResult {
    bool ok = true;
    std::string message;
    std::string confirm;
};

// Points OBS at the Velmora ingest, remembering the user's own service the first time. Changes
// nothing when that service cannot be remembered safely; a service the dock did not install goes
// only when replace says the streamer agreed.
ServiceResult use_velmora_service(const std::string &mode, const std::string &url, const std::string &key,
                                  bool replace);
// Puts the remembered service back in the profile it came from; over a service the dock did not
// install only when replace says the streamer agreed.
ServiceResult restore_previous_service(bool replace);

bool service_type_available(const char *type);
ServiceKind current_service_kind();
bool current_service_is_velmora();
// "Velmora" when the service is ours, else the words for it; empty when OBS has none.
std::string describe_current_service();
// The Velmora ingest OBS streams to; empty when the service is not ours.
struct VelmoraIngest {
    std::string mode;
    std::string server;
    std::string key;
};
VelmoraIngest current_velmora_ingest();
// Notes the ingest of a marked service in a record written before ingests were noted.
void adopt_installed_ingest();
// Words for the remembered service, empty when there is none.
std::string describe_previous_service();
// Writes the two backup files; false when a write failed.
bool save_service_backup(obs_data_t *record);

} // namespace velmora
