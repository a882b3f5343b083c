// Test helpers: a scratch panel directory, whole-file access and a fixture that puts the
// process-wide run state back between tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/state.h"
#include "lists/registry.h"

// A fresh directory that is removed with everything in it when the object goes.
class ScratchDir {
public:
  ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "panelcfg-test-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
      ADD_FAILURE() << "mkdtemp failed";
    path_ = buf.data();
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  const std::string &Path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "/" + name; }

  // Names of the entries, sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(path_))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

private:
  std::string path_;
};

inline bool FileExists(const std::string &path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// The bytes of the file, or "<missing>" when it cannot be read.
inline std::string ReadBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return "<missing>";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Every test starts and ends with the run state and the registries of a fresh process.
class RunStateTest : public ::testing::Test {
protected:
  void SetUp() override {
    InitRunState();
    ClearRegistries();
  }
  void TearDown() override {
    InitRunState();
    ClearRegistries();
  }
};
