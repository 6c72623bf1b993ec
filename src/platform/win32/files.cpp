#include "platform/files.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

namespace velmora::platform {

namespace {

const wchar_t *wide(const std::u16string &text)
{
    return reinterpret_cast<const wchar_t *>(text.c_str());
}

std::u16string from_wide(const wchar_t *text)
{
    return reinterpret_cast<const char16_t *>(text);
}

} // namespace

std::u16string local_app_data_folder()
{
    PWSTR folder = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) {
        CoTaskMemFree(folder);
        return {};
    }
    std::u16string path = from_wide(folder);
    CoTaskMemFree(folder);
    return path;
}

void create_folders(const std::u16string &path)
{
    SHCreateDirectoryExW(nullptr, wide(path), nullptr);
}

bool list_folder(const std::u16string &path, std::vector<std::u16string> &names)
{
    WIN32_FIND_DATAW entry;
    HANDLE listing = FindFirstFileW(wide(path + u"\\*"), &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return false;
    do
        names.push_back(from_wide(entry.cFileName));
    while (FindNextFileW(listing, &entry));
    FindClose(listing);
    return true;
}

bool delete_file(const std::u16string &path)
{
    return DeleteFileW(wide(path)) != 0;
}

bool rename_file(const std::u16string &from, const std::u16string &to)
{
    return MoveFileW(wide(from), wide(to)) != 0;
}

std::u16string executable_path()
{
    wchar_t buffer[520] = {};
    DWORD length = GetModuleFileNameW(nullptr, buffer, 520);
    // 520 means the path was cut.
    if (length == 0 || length >= 520)
        return {};
    return std::u16string(reinterpret_cast<const char16_t *>(buffer), length);
}

File::~File()
{
    close();
}

File::File(File &&other) noexcept : handle_(other.handle_)
{
    other.handle_ = nullptr;
}

File &File::operator=(File &&other) noexcept
{
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

namespace {

void *usable(HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

} // namespace

File File::create_for_writing(const std::u16string &path)
{
    File file;
    file.handle_ = usable(
        CreateFileW(wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file;
}

File File::open_for_reading(const std::u16string &path)
{
    File file;
    file.handle_ = usable(CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    return file;
}

bool File::valid() const
{
    return handle_ != nullptr;
}

long File::read(void *buffer, unsigned long length)
{
    DWORD got = 0;
    if (!handle_ || !ReadFile(handle_, buffer, length, &got, nullptr))
        return -1;
    return static_cast<long>(got);
}

long File::write(const void *buffer, unsigned long length)
{
    DWORD put = 0;
    if (!handle_ || !WriteFile(handle_, buffer, length, &put, nullptr))
        return -1;
    return static_cast<long>(put);
}

void File::close()
{
    if (handle_)
        CloseHandle(handle_);
    handle_ = nullptr;
}

} // namespace velmora::platform
