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
  const char *problem;
};

// Handler for the [options] section; other sections belong to the package's other programs.
int OnValue(void *user, const char *section, const char *name, const char *value) {
  auto *st = static_cast<ParseState *>(user);
  if (strcmp(section, "options") != 0)
    return 1;
  for (const OptionKey &key : kKeys) {
    if (strcmp(key.name, name) != 0)
      continue;
    char *end = nullptr;
    errno = 0;
    long v = strtol(value, &end, 0);
    if (end == value || *end != '\0' || errno != 0 || v < 0 || v > 255) {
      st->problem = "value is not a number from 0 to 255";
      return 0;
    }
    reinterpret_cast<unsigned char *>(&st->record)[key.offset] = static_cast<unsigned char>(v);
    return 1;
  }
  st->problem = "unknown option";
  return 0;
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
  ParseState st = {ConfigMem{}, "syntax error"};
  int line = ini_parse_file(f, OnValue, &st);
  fclose(f);
  if (line != 0) {
    if (line > 0)
      fprintf(stderr, "%s:%d: %s\n", path, line, st.problem);
    else
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
