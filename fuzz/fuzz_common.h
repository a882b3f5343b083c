// Shared by the fuzz targets: a scratch panel directory, whole-file access, and the checks that
// every file the utility writes is complete.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lists/registry.h"

namespace fuzz {

// Reports a finding, then aborts so that libFuzzer records the input. The message goes where
// the sanitizers report, which stays open when libFuzzer silences the target's own output.
[[noreturn]] inline void Die(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] inline void Die(const char *fmt, ...) {
  char text[2048] = "FINDING: ";
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text + strlen(text), sizeof text - strlen(text), fmt, ap);
  va_end(ap);
  __sanitizer_report_error_summary(text);
  abort();
}

// A directory of this process, in memory where possible, removed at exit.
class ScratchDir {
public:
  ScratchDir() {
    // libFuzzer may end the process without running destructors: scripts/fuzz.sh points
    // TMPDIR at a directory of its own and removes it afterwards.
    const char *base = getenv("TMPDIR");
    if (base == nullptr || *base == '\0')
      base = access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/panelcfg-fuzz-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
      Die("mkdtemp %s failed", pattern.c_str());
    path_ = buf.data();
  }
  ~ScratchDir() {
    Empty();
    rmdir(path_.c_str());
  }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  const std::string &Path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "/" + name; }

  // Names of the entries, unsorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    DIR *d = opendir(path_.c_str());
    if (d == nullptr)
      Die("cannot list %s", path_.c_str());
    while (struct dirent *e = readdir(d)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    }
    closedir(d);
    return names;
  }

  // Removes every entry (the utility writes plain files only).
  void Empty() const {
    for (const std::string &name : Entries())
      unlink(File(name).c_str());
  }

private:
  std::string path_;
};

inline bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The bytes of the file; false when it cannot be read.
inline bool ReadFile(const std::string &path, std::string &out) {
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr)
    return false;
  out.clear();
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0)
    out.append(buf, n);
  fclose(f);
  return true;
}

inline void WriteFile(const std::string &path, const std::string &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0)
    Die("cannot write %s", path.c_str());
}

// A name row: text of at most 63 characters, none of them a control character.
inline bool CleanRow(const char *row, size_t maxLen) {
  size_t n = strnlen(row, maxLen + 1);
  if (n > maxLen)
    return false;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(row[i]);
    if (c < 0x20 || c == 0x7F)
      return false;
  }
  return true;
}

// An ID row: four lower-case hexadecimal digits, a colon, four more.
inline bool IdRow(const char *row) {
  if (strnlen(row, ID_ROW) != 9 || row[4] != ':')
    return false;
  for (int i = 0; i < 9; i++) {
    if (i == 4)
      continue;
    char c = row[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return false;
  }
  return true;
}

// One list file against its registry: absent when the count is 0, else exactly the count's
// rows, one per line.
template <size_t W>
void CheckList(const ScratchDir &dir, const char *name, const char (*rows)[W], int count,
               bool idRows) {
  const std::string path = dir.File(name);
  if (count < 0 || count > REG_ROWS)
    Die("%s: counter %d outside the registry", name, count);
  if (count == 0) {
    if (Exists(path))
      Die("%s written with no row", name);
    return;
  }
  std::string want;
  for (int k = 0; k < count; k++) {
    if (idRows ? !IdRow(rows[k]) : !CleanRow(rows[k], W - 1))
      Die("%s: row %d \"%.*s\" is not a clean row", name, k, static_cast<int>(W), rows[k]);
    want += rows[k];
    want += '\n';
  }
  std::string got;
  if (!ReadFile(path, got))
    Die("%s missing with %d rows", name, count);
  if (got != want)
    Die("%s holds \"%s\", expected \"%s\"", name, got.c_str(), want.c_str());
}

// Every list file of the panel directory after a run, and Util.conf for utilMode 1 to 4 (0:
// none written). Nothing else may be left behind but the files named in keep.
inline void CheckPanelFiles(const ScratchDir &dir, int utilMode,
                            const std::vector<std::string> &keep = {}) {
  CheckList(dir, "manuflist.conf", MatchProduct, ManufCnt, false);
  CheckList(dir, ".prodlist.conf", ProductName, ManufCnt, false);
  CheckList(dir, ".pctdevid.conf", DevID, DevIDCnt, true);
  CheckList(dir, "rmanuflist.conf", rMatchProduct, rManufCnt, false);
  CheckList(dir, ".rprodlist.conf", rProductName, rManufCnt, false);
  CheckList(dir, ".resdevid.conf", rDevID, rDevIDCnt, true);
  const std::string util = dir.File("Util.conf");
  if (utilMode == 0) {
    if (Exists(util))
      Die("Util.conf written without a mode word");
  } else {
    std::string got;
    const std::string want = "[SETUP]\nPOSMODE=" + std::to_string(utilMode) + "\n";
    if (!ReadFile(util, got) || got != want)
      Die("Util.conf holds \"%s\", expected \"%s\"", got.c_str(), want.c_str());
  }
  static const char *const kWritten[] = {"manuflist.conf",  ".prodlist.conf",  ".pctdevid.conf",
                                         "rmanuflist.conf", ".rprodlist.conf", ".resdevid.conf",
                                         "Util.conf"};
  for (const std::string &name : dir.Entries()) {
    bool known = false;
    for (const char *w : kWritten)
      known = known || name == w;
    for (const std::string &k : keep)
      known = known || name == k;
    if (!known)
      Die("unexpected file %s left in the panel directory", name.c_str());
  }
}

} // namespace fuzz
