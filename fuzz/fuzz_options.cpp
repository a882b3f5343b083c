// The options file: Read_Config_File on content from the input. A file is either taken whole
// (result 1, nothing on standard error) or refused whole (result 0, the record untouched, one
// line on standard error naming the file); a file without an [options] section sets nothing.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "support/support.h"

namespace {
fuzz::ScratchDir *dir = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  dir = new fuzz::ScratchDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string content(reinterpret_cast<const char *>(data), size);
  const std::string path = dir->File("options.ini");
  const std::string errPath = dir->File("stderr");
  fuzz::WriteFile(path, content);

  ConfigMem record;
  memset(&record, 0xA5, sizeof record);
  const ConfigMem before = record;

  // Standard error goes to a file for the call.
  fflush(stderr);
  const int saved = dup(2);
  const int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (saved < 0 || fd < 0)
    fuzz::Die("cannot redirect standard error");
  dup2(fd, 2);
  close(fd);
  const unsigned char ok = Read_Config_File(&record, path.c_str());
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string err;
  fuzz::ReadFile(errPath, err);

  if (ok == 1) {
    if (!err.empty())
      fuzz::Die("options taken, yet standard error got \"%s\"", err.c_str());
    if (content.find("[options]") == std::string::npos) {
      const ConfigMem zero{};
      if (memcmp(&record, &zero, sizeof record) != 0)
        fuzz::Die("a file without an [options] section set an option");
    }
  } else if (ok == 0) {
    if (memcmp(&record, &before, sizeof record) != 0)
      fuzz::Die("a refused options file changed the record");
    const std::string prefix = path + ":";
    if (err.compare(0, prefix.size(), prefix) != 0 || err.find('\n') != err.size() - 1)
      fuzz::Die("a refused options file reported \"%s\"", err.c_str());
  } else {
    fuzz::Die("Read_Config_File returned %d", ok);
  }
  return 0;
}
