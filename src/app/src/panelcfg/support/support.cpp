#include "support.h"

#include <ini.h>
#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

struct ParseState {
  ConfigMem record;
  FILE *file;
  int lines;           // lines handed to the parser so far
  int problemLine;     // line of the first value refused, 0 when none
  const char *problem; // why it was refused
};

// Reads one line for the parser and counts it, so that a refused value can be told apart
// from a syntax error on an earlier line.
char *ReadLine(char *str, int num, void *stream) {
  auto *st = static_cast<ParseState *>(stream);
  st->lines++;
  return fgets(str, num, st->file);
}

int Refuse(ParseState *st, const char *problem) {
  if (st->problemLine == 0) {
    st->problemLine = st->lines;
    st->problem = problem;
  }
  return 0;
}

// Handler for the [options] section; other sections belong to the package's other programs.
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
    if (end == value || *end != '\0' || errno != 0 || v < 0 || v > 255)
      return Refuse(st, "value is not a number from 0 to 255");
    reinterpret_cast<unsigned char *>(&st->record)[key.offset] = static_cast<unsigned char>(v);
    return 1;
  }
  return Refuse(st, "unknown option");
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
  FILE *f = fopen(path, "r");
  if (f == nullptr) {
    if (errno != ENOENT)
      fprintf(stderr, "%s: %s\n", path, strerror(errno));
    return 0;
  }
  ParseState st = {ConfigMem{}, f, 0, 0, nullptr};
  int line = ini_parse_stream(ReadLine, &st, OnValue, &st);
  bool readError = ferror(f) != 0;
  fclose(f);
  if (line > 0) {
    // The parser reports the first bad line; it is either the first refused value or a line
    // it could not parse at all.
    fprintf(stderr, "%s:%d: %s\n", path, line,
            line == st.problemLine ? st.problem : "syntax error");
    return 0;
  }
  if (line != 0 || readError) {
    fprintf(stderr, "%s: cannot be read\n", path);
    return 0;
  }
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
