// Started by the platform tests. With VELMORA_TEST_ARGUMENTS_FILE set it writes the arguments it
// was given there, one per line in UTF-8; with "change <file>" it tries to change the file and
// answers with what it could do: 1 write, 2 delete, 4 rename.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const wchar_t *text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    return out;
}

int report_arguments(const wchar_t *file, int count, wchar_t **arguments)
{
    std::string lines;
    for (int i = 1; i < count; ++i)
        lines += utf8(arguments[i]) + "\n";
    FILE *out = _wfopen(file, L"wb");
    if (!out)
        return 100;
    std::fwrite(lines.data(), 1, lines.size(), out);
    std::fclose(out);
    // Made once the report is closed: the test reads the report only after it.
    FILE *done = _wfopen((std::wstring(file) + L".done").c_str(), L"wb");
    if (!done)
        return 102;
    std::fclose(done);
    return 0;
}

int try_to_change(const std::wstring &file)
{
    int could = 0;
    HANDLE writer =
        CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (writer != INVALID_HANDLE_VALUE) {
        could |= 1;
        CloseHandle(writer);
    }
    std::wstring moved = file + L".moved";
    if (MoveFileW(file.c_str(), moved.c_str())) {
        could |= 4;
        MoveFileW(moved.c_str(), file.c_str());
    }
    if (DeleteFileW(file.c_str()))
        could |= 2;
    return could;
}

} // namespace

int wmain(int count, wchar_t **arguments)
{
    if (const wchar_t *file = _wgetenv(L"VELMORA_TEST_ARGUMENTS_FILE"))
        return report_arguments(file, count, arguments);
    if (count == 3 && std::wstring(arguments[1]) == L"change")
        return try_to_change(arguments[2]);
    return 200;
}
