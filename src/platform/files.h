#pragma once

#include <string>
#include <vector>

namespace velmora::platform {

// The user's per-user application data folder (LocalAppData on Windows, the XDG data home
// here); empty when there is none.
std::u16string local_app_data_folder();
// Creates the folder and any missing parent; an existing folder is fine. Failure shows later,
// when a file in it cannot be made.
void create_folders(const std::u16string &path);
// The names in a folder, "." and ".." included as the system lists them. False when the listing
// cannot start.
bool list_folder(const std::u16string &path, std::vector<std::u16string> &names);
bool delete_file(const std::u16string &path);
// Fails when the target exists.
bool rename_file(const std::u16string &from, const std::u16string &to);
// The running program's full path; empty when it cannot be told whole.
std::u16string executable_path();

// One open file; closed when it goes.
class File {
  public:
    File() = default;
    ~File();
    File(File &&other) noexcept;
    File &operator=(File &&other) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    // A new, empty file that no one else may open while we write it; an old one is replaced.
    static File create_for_writing(const std::u16string &path);
    // Others may read the file while we hold it open, but not change or delete it (where the
    // system enforces it).
    static File open_for_reading(const std::u16string &path);

    bool valid() const;
    // Bytes read, 0 at the end, -1 on failure.
    long read(void *buffer, unsigned long length);
    // Bytes written (fewer than asked when the disk is full), -1 on failure.
    long write(const void *buffer, unsigned long length);
    void close();
#ifdef _WIN32
  private:
    void *handle_ = nullptr;
#else
    int descriptor() const
    {
        return descriptor_;
    }

  private:
    int descriptor_ = -1;
#endif
};

} // namespace velmora::platform
