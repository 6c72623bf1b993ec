#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

// A fresh folder under the system's temporary folder, removed with everything in it.
class TestFolder {
  public:
    TestFolder()
    {
        std::random_device random;
        do
            path_ = std::filesystem::temp_directory_path() / ("velmora-test-" + std::to_string(random()));
        while (!std::filesystem::create_directory(path_));
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
