#include "support.h"

#include "safefile.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

struct OptionKey {
  const char *name;
  size_t offset;
};

constexpr OptionKey kKeys[] = {
    {"res", offsetof(ConfigMem, res)},
    {"new_fw", offsetof(ConfigMem, new_fw)},
    {"alt_pct_vendors", offsetof(ConfigMem, alt_pct_vendors)},
    {"disable_8752", offsetof(ConfigMem, disable_8752)},
    {"spec_display", offsetof(ConfigMem, spec_display)},
    {"enable_hidraw", offsetof(ConfigMem, enable_hidraw)},
    {"en_hide_cursor", offsetof(ConfigMem, en_hide_cursor)},
    {"auto_set_matrix", offsetof(ConfigMem, auto_set_matrix)},
    {"dis_res_hide_cursor", offsetof(ConfigMem, dis_res_hide_cursor)},
    {"login_jour_resolution", offsetof(ConfigMem, login_jour_resolution)},
    {"param1", offsetof(ConfigMem, param1)},
    {"param2", offsetof(ConfigMem, param2)},
    {"param3", offsetof(ConfigMem, param3)},
    {"param4", offsetof(ConfigMem, param4)},
    {"param5", offsetof(ConfigMem, param5)},
};

// The options file is small; anything larger is refused unread, and no more than this is ever
// read from it, even from a file that grows meanwhile.
constexpr size_t kMaxOptionsBytes = 65536;

// The file's bytes, with room for one more so that a file that grew past the limit shows.
std::array<char, kMaxOptionsBytes + 1> OptionsText;

struct ParseState {
  ConfigMem record;
  std::span<const char> text; // the file's bytes
  size_t next;                // first byte not yet handed to the parser
  int lines;                  // lines handed to the parser so far
  const char *path;           // for the messages; none while only checking for syntax errors
};

// Hands the parser one line, as fgets would, and counts it so that a line ignored can be named.
char *ReadLine(char *str, int num, void *stream) {
  auto *st = static_cast<ParseState *>(stream);
  if (num <= 1 || st->next >= st->text.size())
    return nullptr;
  size_t n = 0;
  while (n + 1 < static_cast<size_t>(num) && st->next < st->text.size()) {
    char c = st->text[st->next++];
    str[n++] = c;
    if (c == '\n')
      break;
  }
  str[n] = '\0';
  st->lines++;
  return str;
}

// Tells which line of the file is ignored and why; the rest of the file still applies.
void Ignore(const ParseState *st, const char *name, const char *problem) {
  if (st->path == nullptr)
    return;
  // A key is printed with its control characters made visible, so it stays on one line.
  std::array<char, 128> key{};
  size_t i = 0;
  for (; name[i] != '\0' && i + 1 < key.size(); i++) {
    auto c = static_cast<unsigned char>(name[i]);
    key[i] = (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
  }
  key[i] = '\0';
  if (problem == nullptr)
    fprintf(stderr, "%s:%d: unknown option %s, line ignored\n", st->path, st->lines, key.data());
  else
    fprintf(stderr, "%s:%d: %s: %s, line ignored\n", st->path, st->lines, key.data(), problem);
}

// Handler for the [options] section; other sections belong to the package's other programs.
// It never stops the parser: only a line that cannot be parsed makes the file malformed.
int OnValue(void *user, const char *section, const char *name, const char *value) {
  auto *st = static_cast<ParseState *>(user);
  if (strcmp(section, "options") != 0)
    return 1;
  for (const OptionKey &key : kKeys) {
    if (strcmp(key.name, name) != 0)
      continue;
    // Decimal, or hexadecimal after "0x": a leading zero does not make it octal.
    int base = value[0] == '0' && (value[1] == 'x' || value[1] == 'X') ? 16 : 10;
    char *end = nullptr;
    errno = 0;
    long v = strtol(value, &end, base);
    if (end == value || *end != '\0' || errno != 0 || v < 0 || v > 255) {
      Ignore(st, name, "value is not a number from 0 to 255");
      return 1;
    }
    reinterpret_cast<unsigned char *>(&st->record)[key.offset] = static_cast<unsigned char>(v);
    return 1;
  }
  Ignore(st, name, nullptr);
  return 1;
}

// Parses text; path names the file in the messages of ignored lines, none for a silent pass.
int Parse(ParseState &st, std::span<const char> text, const char *path) {
  st = ParseState{ConfigMem{}, text, 0, 0, path};
  return ini_parse_stream(ReadLine, &st, OnValue, &st);
}

// Reads the whole file into OptionsText, never more than kMaxOptionsBytes + 1 bytes. Returns
// the count, or -1 with errno set.
ssize_t ReadBounded(int fd) {
  size_t got = 0;
  while (got < OptionsText.size()) {
    ssize_t n = read(fd, OptionsText.data() + got, OptionsText.size() - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return -1;
    if (n == 0)
      break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// The block is encoded byte by byte: each byte is XORed with a key byte that depends on its
// position (0x5A + 29 * i) and then rotated left by three bits.
unsigned char KeyByte(int i) { return static_cast<unsigned char>(0x5A + 29 * i); }

unsigned char RotateLeft3(unsigned char b) {
  return static_cast<unsigned char>((b << 3) | (b >> 5));
}

unsigned char RotateRight3(unsigned char b) {
  return static_cast<unsigned char>((b >> 3) | (b << 5));
}

} // namespace

extern "C" {

unsigned char Read_Config(ConfigMem *config) {
  return Read_Config_File(config, PANEL_OPTIONS_FILE);
}

unsigned char Read_Config_File(ConfigMem *config, const char *path) {
  // A FIFO, a device or a directory at the path is refused before it can hold the run.
  int fd = SafeOpen(path, O_RDONLY);
  if (fd < 0) {
    if (errno != ENOENT)
      fprintf(stderr, "%s: %s\n", path, SafeFileError(errno));
    return 0;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    fprintf(stderr, "%s: %s\n", path, strerror(errno));
    close(fd);
    return 0;
  }
  if (info.st_size > static_cast<off_t>(kMaxOptionsBytes)) {
    fprintf(stderr, "%s: larger than %zu bytes\n", path, kMaxOptionsBytes);
    close(fd);
    return 0;
  }
  ssize_t got = ReadBounded(fd);
  close(fd);
  if (got < 0) {
    fprintf(stderr, "%s: cannot be read\n", path);
    return 0;
  }
  if (static_cast<size_t>(got) > kMaxOptionsBytes) {
    fprintf(stderr, "%s: larger than %zu bytes\n", path, kMaxOptionsBytes);
    return 0;
  }
  const std::span<const char> text(OptionsText.data(), static_cast<size_t>(got));
  // A first, silent pass finds the lines the parser cannot read: such a file is malformed and
  // only its first bad line is reported. Otherwise a second pass names every line ignored.
  ParseState st{};
  int line = Parse(st, text, nullptr);
  if (line > 0) {
    fprintf(stderr, "%s:%d: syntax error\n", path, line);
    return 0;
  }
  if (line != 0) {
    fprintf(stderr, "%s: cannot be read\n", path);
    return 0;
  }
  Parse(st, text, path);
  *config = st.record;
  return 1;
}

void EncodeData(const unsigned char *in, unsigned char *out, int /*offset*/, int Len) {
  for (int i = 0; i < Len; i++)
    out[i] = RotateLeft3(in[i] ^ KeyByte(i));
}

void DecodeData(const unsigned char *in, unsigned char *out) {
  for (int i = 0; i < 32; i++)
    out[i] = RotateRight3(in[i]) ^ KeyByte(i);
}

void GenerateRand(unsigned char *buf, int blocks) {
  size_t want = blocks > 0 ? static_cast<size_t>(blocks) * 16 : 0;
  size_t got = 0;
  while (got < want) {
    ssize_t n = getrandom(buf + got, want - got, 0);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    got += static_cast<size_t>(n);
  }
}
}
