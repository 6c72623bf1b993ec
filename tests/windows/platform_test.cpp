// The Win32 platform layer under Wine: Winsock, wake signals, files and share modes,
// and ShellExecuteExW, each against what the callers rely on.
#include "platform/files.h"
#include "platform/program.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "update/verification.h"

#include "../integration/test_sockets.h"
#include "../unit/test_folder.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

using namespace velmora;
using namespace std::chrono_literals;
using platform::utf16_to_utf8;
using platform::utf8_to_utf16;

namespace {

std::u16string folder_of_this_program()
{
    std::u16string path = platform::executable_path();
    return path.substr(0, path.find_last_of(u'\\'));
}

// Runs the child program with a command line and returns its exit code.
DWORD run_child(const std::u16string &parameters)
{
    std::u16string program = folder_of_this_program() + u"\\velmora_test_child.exe";
    std::u16string line = u"\"" + program + u"\" " + parameters;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(reinterpret_cast<const wchar_t *>(program.c_str()),
                        reinterpret_cast<wchar_t *>(line.data()), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return 1000;
    WaitForSingleObject(process.hProcess, 30000);
    DWORD code = 1001;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

} // namespace

TEST(Win32Sockets, TheListenerHoldsItsAddressExclusively)
{
    ASSERT_TRUE(platform::start_networking());
    platform::socket_t listener = platform::open_tcp_socket();
    ASSERT_NE(listener, platform::invalid_socket);
    platform::set_exclusive_address_use(listener);
    std::uint16_t port = static_cast<std::uint16_t>(41000 + test_process_id() % 2000);
    ASSERT_TRUE(platform::bind_loopback(listener, port));
    ASSERT_TRUE(platform::start_listening(listener, 8));
    int exclusive = 0, length = sizeof exclusive;
    getsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char *>(&exclusive), &length);
    EXPECT_EQ(exclusive, 1);

    // An installer we start must not inherit the port or a connection.
    test_socket_t client = open_test_socket();
    sockaddr_in address = loopback_address(port);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    platform::wait_socket(listener, true, false, {}, 5000);
    platform::socket_t accepted = platform::invalid_socket;
    std::uint32_t peer = 0;
    ASSERT_EQ(platform::accept_connection(listener, accepted, peer), platform::AcceptResult::accepted);
    for (platform::socket_t socket : {listener, accepted}) {
        DWORD flags = HANDLE_FLAG_INHERIT;
        EXPECT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(socket), &flags));
        EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    }
    close_test_socket(client);
    platform::release_socket(accepted);
    platform::release_socket(listener);
    platform::stop_networking();
}

TEST(Win32Sockets, WakeSignalsStayRaisedUntilLoweredAndWakeAWaitFromAnotherThread)
{
    // Made before networking starts, as the server's stop signal is.
    platform::WakeSignal signal;
    ASSERT_TRUE(signal.valid());
    EXPECT_FALSE(platform::wait_signal(signal, 0));
    signal.raise();
    signal.raise();
    EXPECT_TRUE(platform::wait_signal(signal, 0));
    EXPECT_TRUE(platform::wait_signal(signal, 0)) << "a wait does not lower it";
    signal.lower();
    EXPECT_FALSE(platform::wait_signal(signal, 0));

    // A wait on many sockets that never become ready, woken from another thread.
    platform::start_networking();
    std::vector<platform::socket_t> sockets;
    std::vector<platform::SocketWait> waits;
    std::vector<test_socket_t> peers;
    platform::socket_t listener = platform::open_tcp_socket();
    std::uint16_t port = static_cast<std::uint16_t>(43000 + test_process_id() % 2000);
    ASSERT_TRUE(platform::bind_loopback(listener, port) && platform::start_listening(listener, 200));
    for (int i = 0; i < 100; ++i) {
        peers.push_back(open_test_socket());
        sockaddr_in address = loopback_address(port);
        ASSERT_EQ(::connect(peers.back(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        platform::socket_t accepted;
        std::uint32_t peer;
        platform::wait_socket(listener, true, false, {}, 5000);
        ASSERT_EQ(platform::accept_connection(listener, accepted, peer), platform::AcceptResult::accepted);
        waits.push_back({accepted, true, false});
    }
    auto started = std::chrono::steady_clock::now();
    std::thread waker([&] {
        std::this_thread::sleep_for(200ms);
        signal.raise();
    });
    EXPECT_EQ(platform::wait_sockets(waits, {&signal}, 10000), platform::ready_woken);
    auto took = std::chrono::steady_clock::now() - started;
    waker.join();
    EXPECT_GT(took, 150ms);
    EXPECT_LT(took, 3s);
    for (auto &wait : waits)
        EXPECT_EQ(wait.readiness, platform::ready_none);

    // One peer speaks: only its socket is ready.
    signal.lower();
    ::send(peers[57], "x", 1, 0);
    EXPECT_EQ(platform::wait_sockets(waits, {&signal}, 5000), platform::ready_none);
    for (std::size_t i = 0; i < waits.size(); ++i)
        EXPECT_EQ(waits[i].readiness, i == 57 ? platform::ready_read : platform::ready_none) << i;

    for (auto &wait : waits)
        platform::release_socket(wait.socket);
    for (test_socket_t peer : peers)
        close_test_socket(peer);
    platform::release_socket(listener);
    platform::stop_networking();
}

TEST(Win32Files, FoldersListingRenamingAndExclusiveWriting)
{
    std::u16string app_data = platform::local_app_data_folder();
    EXPECT_NE(app_data.find(u"\\"), std::u16string::npos) << utf16_to_utf8(app_data);
    std::u16string program = platform::executable_path();
    EXPECT_NE(program.find(u"velmora_platform_tests.exe"), std::u16string::npos) << utf16_to_utf8(program);

    TestFolder folder;
    std::u16string base = utf8_to_utf16(folder.file("")) + u"Velmora for OBS \u00e9\\updates";
    platform::create_folders(base);
    platform::create_folders(base); // an existing folder is fine
    std::u16string file = base + u"\\a.part";
    {
        platform::File writing = platform::File::create_for_writing(file);
        ASSERT_TRUE(writing.valid());
        EXPECT_EQ(writing.write("12345", 5), 5);
        EXPECT_FALSE(platform::File::open_for_reading(file).valid()) << "no sharing while it is written";
    }
    platform::File reading = platform::File::open_for_reading(file);
    ASSERT_TRUE(reading.valid());
    char got[8];
    EXPECT_EQ(reading.read(got, sizeof got), 5);
    EXPECT_EQ(reading.read(got, sizeof got), 0);
    reading.close();
    EXPECT_TRUE(platform::File::create_for_writing(file).valid()) << "an old file is replaced";

    std::vector<std::u16string> names;
    ASSERT_TRUE(platform::list_folder(base, names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::u16string>{u".", u"..", u"a.part"}));
    EXPECT_FALSE(platform::list_folder(base + u"\\none", names));

    platform::File::create_for_writing(base + u"\\b.exe");
    EXPECT_FALSE(platform::rename_file(file, base + u"\\b.exe")) << "the target exists";
    EXPECT_TRUE(platform::delete_file(base + u"\\b.exe"));
    EXPECT_TRUE(platform::rename_file(file, base + u"\\b.exe"));
    EXPECT_FALSE(platform::delete_file(file));
}

TEST(Win32Programs, AHeldInstallerCannotBeChangedByAnotherProcess)
{
    TestFolder folder;
    folder.write("Velmora-for-OBS-1.2.0-Setup.exe", "MZ installer");
    std::u16string path = utf8_to_utf16(folder.file("Velmora-for-OBS-1.2.0-Setup.exe"));
    std::u16string argument = u"change \"" + path + u"\"";
    {
        platform::HeldFile held;
        ASSERT_TRUE(held.hold(path, 100));
        EXPECT_EQ(held.readable_path(), path);
        EXPECT_EQ(run_child(argument), 0u) << "1 write, 2 delete, 4 rename";
    }
    EXPECT_EQ(run_child(argument), 7u) << "released, the file is anyone's again";
}

// What the child reports for a parameter string, as lines.
std::vector<std::string> arguments_seen(const std::u16string &parameters)
{
    TestFolder folder;
    std::string report = folder.file("arguments.txt");
    _wputenv_s(L"VELMORA_TEST_ARGUMENTS_FILE",
               reinterpret_cast<const wchar_t *>(utf8_to_utf16(report).c_str()));
    platform::HeldFile program;
    EXPECT_TRUE(program.hold(folder_of_this_program() + u"\\velmora_test_child.exe", 1 << 30));
    EXPECT_EQ(platform::start_program(program, parameters), 0u);
    program.release();
    _wputenv_s(L"VELMORA_TEST_ARGUMENTS_FILE", L"");
    for (int i = 0; i < 500 && !folder.exists("arguments.txt.done"); ++i)
        std::this_thread::sleep_for(20ms);
    std::vector<std::string> seen;
    std::ifstream lines(report, std::ios::binary);
    for (std::string line; std::getline(lines, line);)
        seen.push_back(line);
    return seen;
}

TEST(Win32Programs, TheStartedProgramSeesExactlyTheArguments)
{
    const std::pair<std::u16string, std::vector<std::string>> cases[] = {
        {u"/SILENT /SUPPRESSMSGBOXES /NORESTART /SP- /VELMORAUPDATE /LOG=\"C:\\Users\\J\u00f6rg "
         u"\u65e5\u672c\\AppData\\"
         u"Local\\Velmora for OBS\\updates\\install-1.2.0.log\" /RESTARTOBS=\"C:\\Program "
         u"Files\\obs-studio\\bin\\"
         u"64bit\\obs64.exe\"",
         {"/SILENT", "/SUPPRESSMSGBOXES", "/NORESTART", "/SP-", "/VELMORAUPDATE",
          "/LOG=C:\\Users\\J\xc3\xb6rg \xe6\x97\xa5\xe6\x9c\xac\\AppData\\Local\\Velmora for "
          "OBS\\updates\\install-1.2.0.log",
          "/RESTARTOBS=C:\\Program Files\\obs-studio\\bin\\64bit\\obs64.exe"}},
        {u"  a\t b  ", {"a", "b"}},
        {u"\"\" x", {"", "x"}},
        {u"a\\\\b \\\\\"c d\" \\\"e", {"a\\\\b", "\\c d", "\"e"}},
        {u"a\\\\\\\"b \"x\"\"y\"", {"a\\\"b", "x\"y"}},
        {u"\"unterminated quote", {"unterminated quote"}},
    };
    for (const auto &[parameters, expected] : cases) {
        std::string line = utf16_to_utf8(parameters);
        SCOPED_TRACE(line);
        EXPECT_EQ(arguments_seen(parameters), expected);
        EXPECT_EQ(platform::split_command_line(line), expected) << "our reading of a command line";
    }

    // A file that is no program: the system's own error number comes back.
    TestFolder folder;
    folder.write("broken.exe", "MZ but nothing more");
    platform::HeldFile broken;
    ASSERT_TRUE(broken.hold(utf8_to_utf16(folder.file("broken.exe")), 100));
    unsigned long error = platform::start_program(broken, u"/SILENT");
    EXPECT_NE(error, 0u);
    EXPECT_NE(error, static_cast<unsigned long>(ERROR_INVALID_HANDLE)) << "ShellExecuteExW was not called";
    platform::HeldFile missing;
    EXPECT_FALSE(missing.hold(utf8_to_utf16(folder.file("none.exe")), 100));
}

TEST(Win32Threads, StackSizeJoinAndABoundedJoin)
{
    std::atomic<bool> ran{false};
    {
        platform::Thread thread;
        ASSERT_TRUE(thread.start(
            [&] {
                volatile char deep[400 * 1024]; // within the 512 KiB a connection thread gets
                deep[sizeof deep - 1] = 1;
                ran = deep[sizeof deep - 1] == 1;
            },
            512 * 1024));
        thread.join();
        EXPECT_FALSE(thread.joinable());
    }
    EXPECT_TRUE(ran);
    // Outlives the test: the thread left alone may still be looking at it.
    static std::atomic<bool> release{false};
    auto *slow = new platform::Thread;
    ASSERT_TRUE(slow->start(
        [&] {
            while (!release)
                std::this_thread::sleep_for(5ms);
        },
        0));
    EXPECT_FALSE(slow->join_within(50));
    release = true;
    delete slow; // left to run alone: nothing to join any more
    std::this_thread::sleep_for(50ms);
}
