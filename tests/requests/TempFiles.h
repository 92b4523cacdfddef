#pragma once
// A private temporary directory for one test, removed with everything in it.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

class TempFiles {
  public:
    TempFiles() {
        std::string pattern = (std::filesystem::temp_directory_path() / "da-req-XXXXXX").string();
        if (::mkdtemp(pattern.data())) dir_ = pattern;
    }
    ~TempFiles() {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    TempFiles(const TempFiles&) = delete;
    TempFiles& operator=(const TempFiles&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    // Writes the bytes to a file in the directory and gives its full path.
    std::string write(std::string_view name, std::string_view bytes) const {
        std::filesystem::path path = dir_ / name;
        std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
        return path.string();
    }
    std::string path(std::string_view name) const { return (dir_ / name).string(); }

  private:
    std::filesystem::path dir_;
};
