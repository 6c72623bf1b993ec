#include "platform/files.h"

#include "platform/text.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::platform {

namespace {

std::string native(const std::u16string &path)
{
    return utf16_to_utf8(path);
}

} // namespace

std::u16string local_app_data_folder()
{
    const char *data_home = std::getenv("XDG_DATA_HOME");
    // Only an absolute XDG_DATA_HOME counts; a relative one is to be ignored.
    if (data_home && data_home[0] == '/')
        return utf8_to_utf16(data_home);
    const char *home = std::getenv("HOME");
    if (!home || home[0] != '/')
        return {};
    return utf8_to_utf16(std::string(home) + "/.local/share");
}

void create_folders(const std::u16string &path)
{
    std::string folder = native(path);
    for (std::size_t at = 1; at <= folder.size(); ++at) {
        if (at == folder.size() || folder[at] == '/')
            ::mkdir(folder.substr(0, at).c_str(), 0700);
    }
}

bool list_folder(const std::u16string &path, std::vector<std::u16string> &names)
{
    DIR *folder = ::opendir(native(path).c_str());
    if (!folder)
        return false;
    while (dirent *entry = ::readdir(folder))
        names.push_back(utf8_to_utf16(entry->d_name));
    ::closedir(folder);
    return true;
}

bool delete_file(const std::u16string &path)
{
    return ::unlink(native(path).c_str()) == 0;
}

bool rename_file(const std::u16string &from, const std::u16string &to)
{
    // Refuses an existing target, as MoveFile does.
    return ::renameat2(AT_FDCWD, native(from).c_str(), AT_FDCWD, native(to).c_str(), RENAME_NOREPLACE) == 0;
}

std::u16string executable_path()
{
    char buffer[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof buffer))
        return {};
    return utf8_to_utf16(std::string_view(buffer, static_cast<std::size_t>(length)));
}

File::~File()
{
    close();
}

File::File(File &&other) noexcept : descriptor_(other.descriptor_)
{
    other.descriptor_ = -1;
}

File &File::operator=(File &&other) noexcept
{
    if (this != &other) {
        close();
        descriptor_ = other.descriptor_;
        other.descriptor_ = -1;
    }
    return *this;
}

File File::create_for_writing(const std::u16string &path)
{
    // Removing the old file first means a link planted at the name is replaced, not followed.
    std::string name = native(path);
    ::unlink(name.c_str());
    File file;
    file.descriptor_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    return file;
}

File File::open_for_reading(const std::u16string &path)
{
    File file;
    file.descriptor_ = ::open(native(path).c_str(), O_RDONLY | O_CLOEXEC);
    return file;
}

bool File::valid() const
{
    return descriptor_ >= 0;
}

long File::read(void *buffer, unsigned long length)
{
    for (;;) {
        ssize_t got = ::read(descriptor_, buffer, length);
        if (got >= 0 || errno != EINTR)
            return got < 0 ? -1 : static_cast<long>(got);
    }
}

long File::write(const void *buffer, unsigned long length)
{
    // Like WriteFile on a disk file: keep going until all is written or the system refuses.
    const char *bytes = static_cast<const char *>(buffer);
    unsigned long written = 0;
    while (written < length) {
        ssize_t put = ::write(descriptor_, bytes + written, length - written);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return written > 0 ? static_cast<long>(written) : -1;
        if (put == 0)
            break;
        written += static_cast<unsigned long>(put);
    }
    return static_cast<long>(written);
}

void File::close()
{
    if (descriptor_ >= 0)
        ::close(descriptor_);
    descriptor_ = -1;
}

} // namespace velmora::platform
