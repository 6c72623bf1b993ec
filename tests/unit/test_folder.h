#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include <stdlib.h>

// A fresh folder under the system's temporary folder, removed with everything in it.
class TestFolder {
  public:
    TestFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TestFolder() { std::filesystem::remove_all(path_); }

    std::string file(const std::string &name) const { return (path_ / name).string(); }
    void write(const std::string &name, const std::string &content) const
    {
        std::ofstream(path_ / name, std::ios::binary) << content;
    }
    bool exists(const std::string &name) const { return std::filesystem::exists(path_ / name); }

  private:
    std::filesystem::path path_;
};
