#include "platform/program.h"

#include <windows.h>

#include <shellapi.h>

namespace velmora::platform {

HeldFile::~HeldFile()
{
    release();
}

bool HeldFile::hold(const std::u16string &path, std::uint64_t)
{
    release();
    // Shared for reading only: while the handle is open nobody can change, replace or delete
    // the file, so the held file itself is what gets checked and started.
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(path.c_str()), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    handle_ = file;
    original_path_ = path;
    readable_path_ = path;
    return true;
}

void HeldFile::release()
{
    if (handle_)
        CloseHandle(handle_);
    handle_ = nullptr;
    readable_path_.clear();
    original_path_.clear();
}

unsigned long start_program(const HeldFile &program, const std::u16string &parameters)
{
    if (program.original_path().empty())
        return ERROR_INVALID_HANDLE;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = L"open";
    info.lpFile = reinterpret_cast<const wchar_t *>(program.original_path().c_str());
    info.lpParameters = reinterpret_cast<const wchar_t *>(parameters.c_str());
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) {
        // 0 means started to the caller: a failure that set no error code must not read as one.
        unsigned long error = GetLastError();
        return error ? error : ERROR_GEN_FAILURE;
    }
    return 0;
}

} // namespace velmora::platform
