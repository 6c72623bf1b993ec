#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::platform {

// A program file held so that what is checked is what starts: nobody can change the held bytes
// between the check and the start. On Windows the file is kept open without write sharing; here
// its bytes are copied into sealed memory, since nothing stops another process from writing a
// file we hold open.
class HeldFile {
  public:
    HeldFile() = default;
    ~HeldFile();
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;

    // False when the file cannot be opened. At most max_bytes + 1 bytes are held, so a larger
    // file shows itself by its size.
    bool hold(const std::u16string &path, std::uint64_t max_bytes);
    // Where the held bytes can be read, for checking them.
    const std::u16string &readable_path() const { return readable_path_; }
    const std::u16string &original_path() const { return original_path_; }
    void release();

  private:
    std::u16string original_path_;
    std::u16string readable_path_;
#ifndef _WIN32
    int memory_ = -1;
#else
    void *handle_ = nullptr;
#endif
};

// Starts the held program with a parameter string, without waiting for it and apart from our
// process. Returns 0 or the system's error number.
unsigned long start_program(const HeldFile &program, const std::u16string &parameters);

// The arguments a program sees for a parameter string, split the way the Windows C runtime
// splits a command line.
std::vector<std::string> split_command_line(std::string_view parameters);

} // namespace velmora::platform
