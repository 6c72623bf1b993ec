#include "update/update_check.h"

#include "core/build_constants.h"
#include "core/log.h"
#include "core/module_info.h"
#include "platform/files.h"
#include "platform/text.h"
#include "update/https_get.h"
#include "update/update_record.h"
#include "update/installer_handoff.h"
#include "update/update_state.h"
#include "update/verification.h"
#include "update/versions.h"

namespace velmora {

namespace {

constexpr std::uint64_t largest_check_answer = 1048576;

std::string download_elsewhere(const char *opening)
{
    return std::string(opening) + " Download it from " + constants::site_host + " instead.";
}

// Reports download progress once per tens step: 10, 20, ... 100.
class ProgressReporter {
  public:
    explicit ProgressReporter(std::uint64_t size) : size_(size) {}

    void operator()(std::uint64_t done, std::uint64_t total)
    {
        std::uint64_t whole = total != 0 ? total : size_;
        std::int32_t percent = whole != 0 ? static_cast<std::int32_t>(done * 100 / whole) : 0;
        // An announced length that is too small would report more than 100.
        if (percent < 0)
            percent = 0;
        if (percent > 100)
            percent = 100;
        if (percent / 10 == last_ / 10)
            return;
        last_ = percent;
        {
            std::lock_guard lock(update_lock());
            update_state().progress = percent;
        }
        broadcast_update();
    }

  private:
    std::uint64_t size_;
    std::int32_t last_ = -1;
};

// Steps 17 to 19: the installer at path must be the file of the record, signed by us.
void verify_and_finish(const UpdateRecord &record, const std::u16string &path)
{
    const char *version = record.version.c_str();
    std::uint64_t bytes = 0;
    std::string digest = sha256_file(path, &bytes);
    if (digest != record.checksum || bytes != record.size) {
        platform::delete_file(path);
        VELMORA_LOG(LOG_WARNING, "Update %s refused: the download does not match its record", version);
        set_update_phase("failed", "The update didn't download cleanly. We'll try again later.");
        return;
    }
    std::string reason;
    if (!check_installer_signature(path, reason)) {
        platform::delete_file(path);
        VELMORA_LOG(LOG_WARNING, "Update %s refused: %s", version, reason.c_str());
        set_update_phase("failed", "The update isn't signed by Velmora, so we didn't keep it.");
        return;
    }
    {
        std::lock_guard lock(update_lock());
        update_state().installer_path = path;
        update_state().progress = 100;
    }
    VELMORA_LOG(LOG_INFO, "Update %s downloaded and verified; it installs when OBS closes", version);
    set_update_phase("ready", "");
}

// Steps 14 to 16; false when the phase was already set to the outcome.
bool download(const UpdateRecord &record, const std::u16string &path)
{
    set_update_phase("downloading", "");
    std::u16string partial = path + u".part";
    platform::File file = platform::File::create_for_writing(partial);
    if (!file.valid()) {
        set_update_phase("failed", download_elsewhere("We couldn't save the update."));
        return false;
    }
    int status = 0;
    std::uint64_t received = 0;
    std::string error;
    ProgressReporter progress(record.size);
    bool complete = https_get(record.download_url, nullptr, &file, record.size, status, received,
                              std::ref(progress), error);
    file.close();
    if (!complete || status != 200 || received != record.size) {
        platform::delete_file(partial);
        VELMORA_LOG(LOG_WARNING, "Update %s download failed (%d, %s)", record.version.c_str(), status,
                    error.c_str());
        set_update_phase("idle", "");
        return false;
    }
    platform::delete_file(path);
    if (!platform::rename_file(partial, path)) {
        platform::delete_file(partial);
        set_update_phase("failed", download_elsewhere("We couldn't save the update."));
        return false;
    }
    return true;
}

} // namespace

void run_check()
{
    // A newer version already named stays named through later checks, quietly, unless one answers
    // otherwise: a network hiccup must not take the notice away.
    bool named = false;
    {
        std::lock_guard lock(update_lock());
        const std::string &phase = update_state().phase;
        if (phase == "ready" || phase == "downloading")
            return;
        named = phase == "available";
    }
    // Said, not hidden: a check the streamer asked for must not end in silence.
    auto inconclusive = [named] {
        if (!named)
            set_update_phase("idle", "Couldn't reach the update server. We'll try again later.");
    };
    if (!named)
        set_update_phase("checking", "");

    std::string body, error;
    int status = 0;
    std::uint64_t received = 0;
    std::string url =
        update_origin() +
        "/api/v1/version/check?app=velmora-obs-plugin&platform=WINDOWS&currentVersion=" + module_version;
    if (!https_get(url, &body, nullptr, largest_check_answer, status, received, nullptr, error)) {
        inconclusive();
        return;
    }
    if (status == 404) {
        set_update_phase("current", "");
        return;
    }
    UpdateRecord record;
    if (status != 200 || !read_update_record(body, record)) {
        inconclusive();
        return;
    }
    if (!is_version(record.version) || compare_versions(record.version, module_version) <= 0) {
        set_update_phase("current", "");
        return;
    }
    if (constants::update_notice_only) {
        {
            std::lock_guard lock(update_lock());
            UpdateState &state = update_state();
            state.version = record.version;
            state.notes = record.notes;
            state.required = record.required;
        }
        if (!named)
            VELMORA_LOG(LOG_INFO, "Velmora %s is available; this package updates through the package manager",
                        record.version.c_str());
        set_update_phase("available", "");
        return;
    }
    if (!record_is_installable(record)) {
        VELMORA_LOG(LOG_WARNING, "Update %s refused: its record is not one we install from",
                    record.version.c_str());
        set_update_phase("failed", download_elsewhere("The update didn't look right, so we skipped it."));
        return;
    }
    {
        std::lock_guard lock(update_lock());
        UpdateState &state = update_state();
        state.version = record.version;
        state.notes = record.notes;
        state.required = record.required;
        state.checksum = record.checksum;
        state.size = record.size;
        state.progress = 0;
    }

    std::u16string folder = updates_folder();
    if (folder.empty()) {
        set_update_phase("failed", download_elsewhere("There's no room to save the update."));
        return;
    }
    clean_updates_folder(folder);
    std::u16string path = folder + platform::path_separator + u"Velmora-for-OBS-" +
                          platform::utf8_to_utf16(record.version) + u"-Setup.exe";
    if (sha256_file(path, nullptr) != record.checksum && !download(record, path))
        return;
    verify_and_finish(record, path);
}

} // namespace velmora
