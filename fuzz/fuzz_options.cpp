// The options file: Read_Config_File on content from the input. A file is either taken (result
// 1) or refused whole (result 0, the record untouched, one line on standard error naming the
// file: a syntax error on a line, or a file larger than 64 KiB). A file that is taken may have
// lines of [options] ignored, each named on a line of its own with its key: an unknown key, or
// a known one with a bad value. A file without an [options] section sets nothing and names no
// line.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "support/support.h"

namespace {
fuzz::ScratchDir *dir = nullptr;

const char *const kKeys[] = {"res",
                             "new_fw",
                             "alt_pct_vendors",
                             "disable_8752",
                             "spec_display",
                             "enable_hidraw",
                             "en_hide_cursor",
                             "auto_set_matrix",
                             "dis_res_hide_cursor",
                             "login_jour_resolution",
                             "param1",
                             "param2",
                             "param3",
                             "param4",
                             "param5"};

bool IsKey(const std::string &name) {
  for (const char *key : kKeys)
    if (name == key)
      return true;
  return false;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      fuzz::Die("standard error ends without a line feed: \"%s\"", text.c_str());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The line number after the prefix, or 0 when there is none; at is moved past it and its ": ".
int LineNumber(const std::string &line, size_t &at) {
  size_t digits = 0;
  while (at + digits < line.size() && line[at + digits] >= '0' && line[at + digits] <= '9')
    digits++;
  if (digits == 0 || digits > 9 || line.compare(at + digits, 2, ": ") != 0)
    return 0;
  const int n = atoi(line.substr(at, digits).c_str());
  at += digits + 2;
  return n;
}

// Checks one line naming an ignored line of the file; returns its line number.
int CheckIgnored(const std::string &line, const std::string &prefix, int fileLines) {
  size_t at = prefix.size();
  if (line.compare(0, at, prefix) != 0)
    fuzz::Die("an ignored line is reported as \"%s\"", line.c_str());
  const int n = LineNumber(line, at);
  if (n < 1 || n > fileLines)
    fuzz::Die("\"%s\" names a line the file does not have", line.c_str());
  for (unsigned char c : line)
    if (c < 0x20 || c == 0x7F)
      fuzz::Die("\"%s\" holds a control character", line.c_str());
  const std::string tail = ", line ignored";
  if (line.size() < at + tail.size() || line.compare(line.size() - tail.size(), tail.size(), tail))
    fuzz::Die("\"%s\" does not say the line is ignored", line.c_str());
  const std::string what = line.substr(at, line.size() - tail.size() - at);
  const std::string unknown = "unknown option ";
  const std::string range = ": value is not a number from 0 to 255";
  if (what.compare(0, unknown.size(), unknown) == 0) {
    if (IsKey(what.substr(unknown.size())))
      fuzz::Die("a known key is reported unknown: \"%s\"", line.c_str());
  } else if (what.size() <= range.size() ||
             what.compare(what.size() - range.size(), range.size(), range) != 0 ||
             !IsKey(what.substr(0, what.size() - range.size()))) {
    fuzz::Die("an ignored line is reported as \"%s\"", line.c_str());
  }
  return n;
}
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

  const std::string prefix = path + ":";
  const std::vector<std::string> lines = Lines(err);
  // The parser reads at most 199 bytes at a time; each piece of a longer line counts as a line.
  int fileLines = 0;
  for (size_t at = 0; at < content.size(); fileLines++) {
    const size_t end = content.find('\n', at);
    const size_t piece = end == std::string::npos ? content.size() - at : end + 1 - at;
    at += piece < 199 ? piece : 199;
  }
  if (ok == 1) {
    if (content.size() > 65536)
      fuzz::Die("a file of %zu bytes was taken", content.size());
    // Lines are named in the order of the file, each at most once.
    int last = 0;
    for (const std::string &line : lines) {
      const int n = CheckIgnored(line, prefix, fileLines);
      if (n <= last)
        fuzz::Die("line %d is named after line %d", n, last);
      last = n;
    }
    if (content.find("[options]") == std::string::npos) {
      if (!lines.empty())
        fuzz::Die("a file without an [options] section had a line ignored: \"%s\"", err.c_str());
      const ConfigMem zero{};
      if (memcmp(&record, &zero, sizeof record) != 0)
        fuzz::Die("a file without an [options] section set an option");
    }
  } else if (ok == 0) {
    if (memcmp(&record, &before, sizeof record) != 0)
      fuzz::Die("a refused options file changed the record");
    if (lines.size() != 1 || lines[0].compare(0, prefix.size(), prefix) != 0)
      fuzz::Die("a refused options file reported \"%s\"", err.c_str());
    const std::string why = lines[0].substr(prefix.size());
    if (content.size() > 65536) {
      if (why != " larger than 65536 bytes")
        fuzz::Die("a file of %zu bytes was refused with \"%s\"", content.size(), err.c_str());
    } else {
      size_t at = prefix.size();
      const int n = LineNumber(lines[0], at);
      if (n < 1 || n > fileLines || lines[0].substr(at) != "syntax error")
        fuzz::Die("a refused options file reported \"%s\"", err.c_str());
    }
  } else {
    fuzz::Die("Read_Config_File returned %d", ok);
  }
  return 0;
}
