#pragma once

#include <string>

struct obs_data;
typedef struct obs_data obs_data_t;
struct obs_service;
typedef struct obs_service obs_service_t;

namespace velmora {

// Points OBS at the Velmora ingest, remembering the user's own service the first time. Changes
// nothing when that service cannot be remembered safely.
void use_velmora_service(const std::string &mode, const std::string &url, const std::string &key);
// Puts the remembered service back, but only over the service the switch installed, in the
// profile it was installed in.
void restore_previous_service();
void start_streaming();
void stop_streaming();

// True for a custom RTMP or WHIP service carrying our marker setting.
bool service_is_velmora(obs_service_t *service);
bool current_service_is_velmora();
// Words for the remembered service, empty when there is none.
std::string describe_previous_service();
std::string describe_service_record(obs_data_t *record);
// Writes the two backup files; false when a write failed.
bool save_service_backup(obs_data_t *record);

} // namespace velmora
