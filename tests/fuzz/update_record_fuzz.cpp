// The update check's answer as the service (or anyone between) might send it: the record reader,
// the checks on what it says, and the URL splitter and version reader it leads to.
#include "update/https_get.h"
#include "update/update_record.h"
#include "update/versions.h"

#include <util/base.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void discard_log(int, const char *, va_list, void *) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    base_set_log_handler(discard_log, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    velmora::UpdateRecord record;
    if (velmora::read_update_record(text, record)) {
        velmora::record_is_installable(record);
        velmora::is_version(record.version);
        velmora::compare_versions(record.version, "1.0.1");
        velmora::UrlParts parts;
        velmora::split_url(record.download_url, parts);
    }
    velmora::UrlParts parts;
    velmora::split_url(text, parts);
    velmora::compare_versions(text, text.substr(size / 2));
    return 0;
}
