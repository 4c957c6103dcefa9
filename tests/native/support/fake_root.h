// A scratch directory standing in for the file system root, for the readers
// of /proc and /sys that take the root as a parameter.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace corvane::testing {

class FakeRoot {
 public:
  FakeRoot() {
    char pattern[] = "/tmp/corvane-root-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~FakeRoot() { std::filesystem::remove_all(path_); }
  FakeRoot(const FakeRoot&) = delete;
  FakeRoot& operator=(const FakeRoot&) = delete;

  const std::string& path() const { return path_; }
  void write(const std::string& relative, const std::string& contents) const {
    const std::filesystem::path file = path_ + relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << contents;
  }
  void make_directory(const std::string& relative) const { std::filesystem::create_directories(path_ + relative); }

 private:
  std::string path_;
};

}  // namespace corvane::testing
