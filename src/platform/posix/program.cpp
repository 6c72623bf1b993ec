#include "platform/program.h"

#include "platform/text.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace velmora::platform {

HeldFile::~HeldFile()
{
    release();
}

bool HeldFile::hold(const std::u16string &path, std::uint64_t max_bytes)
{
    release();
    int source = ::open(utf16_to_utf8(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0)
        return false;
    int memory = ::memfd_create("velmora-installer", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    bool copied = memory >= 0;
    std::uint64_t left = max_bytes + 1;
    while (copied && left > 0) {
        ssize_t moved = ::sendfile(memory, source, nullptr, left > (1u << 30) ? (1u << 30) : left);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0) {
            copied = moved == 0;
            break;
        }
        left -= static_cast<std::uint64_t>(moved);
    }
    ::close(source);
    // Sealed, the copy can no longer be written, shrunk or grown, and the seals not undone.
    if (!copied ||
        ::fcntl(memory, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        if (memory >= 0)
            ::close(memory);
        return false;
    }
    memory_ = memory;
    original_path_ = path;
    readable_path_ = utf8_to_utf16("/proc/self/fd/" + std::to_string(memory));
    return true;
}

void HeldFile::release()
{
    if (memory_ >= 0)
        ::close(memory_);
    memory_ = -1;
    readable_path_.clear();
    original_path_.clear();
}

unsigned long start_program(const HeldFile &program, const std::u16string &parameters)
{
    if (program.readable_path().empty())
        return EBADF;
    std::string executable = utf16_to_utf8(program.readable_path());
    std::string name = utf16_to_utf8(program.original_path());
    std::vector<std::string> arguments = split_command_line(utf16_to_utf8(parameters));
    std::vector<char *> argv;
    argv.push_back(name.data());
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    // Its own session, default signal handling and nothing blocked: OBS's Ctrl+C or the end of
    // its terminal must not reach the installer.
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0)
        return ENOMEM;
    sigset_t none, reset;
    sigemptyset(&none);
    sigemptyset(&reset);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD})
        sigaddset(&reset, signal_number);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &reset);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = 0;
    // The sealed copy is still open in the child when it starts, so its /proc path resolves there.
    int result = posix_spawn(&child, executable.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    return static_cast<unsigned long>(result);
}

} // namespace velmora::platform
