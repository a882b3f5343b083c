#include "registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../base/log.h"
#include "../base/state.h"
#include "../support/safefile.h"

char MatchProduct[REG_ROWS][NAME_ROW];
char ProductName[REG_ROWS][NAME_ROW];
char DevID[REG_ROWS][ID_ROW];
char rMatchProduct[REG_ROWS][NAME_ROW];
char rProductName[REG_ROWS][NAME_ROW];
char rDevID[REG_ROWS][ID_ROW];
int ManufCnt;
int DevIDCnt;
int rManufCnt;
int rDevIDCnt;

// Copies a device string, cut to fit, with control characters replaced so that no device can
// put a line break into a list file.
void CleanDeviceText(char *out, unsigned long size, const char *in) {
  size_t i = 0;
  for (; in != nullptr && in[i] != '\0' && i + 1 < size; i++) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    out[i] = (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
  }
  out[i] = '\0';
}

size_t DeviceTextUtf8(std::span<char> out, const char *in, bool clean) {
  if (out.empty())
    return 0;
  size_t n = 0;
  for (size_t i = 0; in != nullptr && in[i] != '\0'; i++) {
    const auto c = static_cast<unsigned char>(in[i]);
    const bool control = c < 0x20 || (c >= 0x7F && c < 0xA0);
    if ((clean && control) || c < 0x80) {
      if (n + 1 >= out.size())
        break;
      out[n++] = clean && control ? '?' : static_cast<char>(c);
    } else {
      if (n + 2 >= out.size())
        break;
      out[n++] = static_cast<char>(0xC0 | (c >> 6));
      out[n++] = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  out[n] = '\0';
  return n;
}

void ClearRegistries() {
  memset(MatchProduct, 0, sizeof MatchProduct);
  memset(ProductName, 0, sizeof ProductName);
  memset(DevID, 0, sizeof DevID);
  memset(rMatchProduct, 0, sizeof rMatchProduct);
  memset(rProductName, 0, sizeof rProductName);
  memset(rDevID, 0, sizeof rDevID);
  ManufCnt = DevIDCnt = rManufCnt = rDevIDCnt = 0;
}

namespace {

// Index of the first of the valid rows that contains key, or -1.
template <size_t W> int FindRow(const char (*rows)[W], int cnt, const char *key) {
  if (cnt > REG_ROWS)
    cnt = REG_ROWS;
  for (int k = 0; k < cnt; k++)
    if (strstr(rows[k], key) != nullptr)
      return k;
  return -1;
}

int AddName(char (*match)[NAME_ROW], char (*product)[NAME_ROW], int cnt, const char *mstr,
            const char *pstr, bool resistive) {
  char m[256];
  char p[256];
  char full[sizeof m + sizeof p + 1];
  char key[NAME_ROW];
  CleanDeviceText(m, sizeof m, mstr);
  CleanDeviceText(p, sizeof p, pstr);
  snprintf(full, sizeof full, "%s %s", m, p);
  CleanDeviceText(key, sizeof key, full);
  if (resistive)
    DebugMsg(3, "Product Name:%s\n", key);
  DebugMsg(3, "Manufacturer String: %s\n", m);
  DebugMsg(3, "Product String: %s\n", p);
  if (FindRow(match, cnt, key) >= 0)
    return 0;
  if (cnt < 0 || cnt >= REG_ROWS) {
    DebugMsg(3, "name list full, %s not recorded\n", key);
    return 0;
  }
  CleanDeviceText(product[cnt], NAME_ROW, p);
  CleanDeviceText(match[cnt], NAME_ROW, key);
  DebugMsg(3, "Product Name:%s\n", match[cnt]);
  return 1;
}

unsigned char AddID(char (*rows)[ID_ROW], int cnt, int vid, int pid) {
  char key[ID_ROW];
  snprintf(key, sizeof key, "%04x:%04x", static_cast<unsigned>(vid) & 0xFFFF,
           static_cast<unsigned>(pid) & 0xFFFF);
  DebugMsg(3, "SetPCTDevID VID: %04X\n", vid);
  DebugMsg(3, "SetPCTDevID PID: %04X\n", pid);
  if (FindRow(rows, cnt, key) >= 0)
    return 0;
  if (cnt < 0 || cnt >= REG_ROWS) {
    DebugMsg(3, "ID list full, %s not recorded\n", key);
    return 0;
  }
  snprintf(rows[cnt], ID_ROW, "%s", key);
  DebugMsg(3, "New VID:%s\n", rows[cnt]);
  return 1;
}

// The one line a run always shows when a file of the panel directory could not be written:
// the other programs of the package go on reading the old one.
void CannotWrite(const char *dir, const char *name, int err) {
  DebugMsg(0, "cannot write %s%s: %s\n", dir, name, strerror(err));
}

// Replaces the file name in the panel directory with content: the new text is written in full
// to a fresh file beside it and then renamed over the old one, so that readers see either the
// old file or the complete new one, and a symlink at the path is replaced, never followed. The
// fresh file's name holds the process ID, and it is created exclusively, so no two runs share
// one. When the file cannot be replaced, the old one stays and nothing else is left.
// Returns 0 when the file could not be opened at all, 1 when it could not be replaced, 2 when it
// was.
int ReplaceFile(const char *name, const char *content, size_t len) {
  char path[512];
  if (!PanelPath(path, sizeof path, name)) {
    DebugMsg(3, "can't open conf!!\n");
    CannotWrite(PanelDir, name, ENAMETOOLONG);
    return 0;
  }
  const SafeReplaceStep failed = SafeReplaceFile(path, content, len, 0666, true);
  const int err = errno;
  switch (failed) {
  case SAFE_REPLACED:
    return 2;
  case SAFE_CREATE:
    DebugMsg(3, "can't open conf!!\n");
    CannotWrite(path, "", err);
    return 0;
  case SAFE_WRITE:
    DebugMsg(3, "can't write %s: %s\n", path, strerror(err));
    break;
  case SAFE_RENAME:
    DebugMsg(3, "can't replace %s: %s\n", path, strerror(err));
    break;
  }
  CannotWrite(path, "", err);
  return 1;
}

// The rows of the list file name as it is now (at most REG_ROWS, each cut to W - 1 bytes);
// returns how many. A missing file has none; one that cannot be read (a FIFO, a directory, no
// permission) gives -1 with errno set, so that its rows are not lost by a rewrite.
template <size_t W> int ReadList(const char *name, char (*rows)[W]) {
  char path[512];
  if (!PanelPath(path, sizeof path, name)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  FILE *f = SafeOpenRead(path);
  if (f == nullptr)
    return errno == ENOENT ? 0 : -1;
  int cnt = 0;
  char *line = nullptr;
  size_t cap = 0;
  // The rows of other panels are kept as they are, but for a line end written as CR LF.
  while (cnt < REG_ROWS && getline(&line, &cap, f) >= 0) {
    line[strcspn(line, "\n")] = '\0';
    const size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\r')
      line[len - 1] = '\0';
    if (line[0] == '\0')
      continue;
    snprintf(rows[cnt], W, "%s", line);
    cnt++;
  }
  free(line);
  fclose(f);
  return cnt;
}

template <size_t W> void WriteList(const char *name, const char (*rows)[W], int Cnt, bool logRows) {
  char content[REG_ROWS * (NAME_ROW + 1) + 1] = "";
  size_t len = 0;
  if (Cnt > REG_ROWS)
    Cnt = REG_ROWS;
  // A run on one device adds its rows to what the file lists: every other panel stays.
  char merged[REG_ROWS][W] = {};
  if (OneDevice.active) {
    int have = ReadList(name, merged);
    if (have < 0) {
      DebugMsg(0, "cannot read %s%s: %s\n", PanelDir, name, SafeFileError(errno));
      return;
    }
    for (int k = 0; k < Cnt && have < REG_ROWS; k++) {
      bool listed = false;
      for (int m = 0; m < have && !listed; m++)
        listed = strcmp(merged[m], rows[k]) == 0;
      if (!listed)
        snprintf(merged[have++], W, "%s", rows[k]);
    }
    rows = merged;
    Cnt = have;
  }
  for (int k = 0; k < Cnt; k++) {
    int n = snprintf(content + len, sizeof content - len, "%s\n", rows[k]);
    if (n > 0)
      len += static_cast<size_t>(n);
  }
  // The rows are logged as written: a file that cannot be opened logs nothing but that.
  if (!ReplaceFile(name, content, len) || !logRows)
    return;
  for (int k = 0; k < Cnt; k++)
    DebugMsg(3, "Product Name:%s\n", rows[k]);
}

} // namespace

unsigned char SetManufacturerName(int cManufCnt, const char *mstr, const char *pstr) {
  return static_cast<unsigned char>(
      AddName(MatchProduct, ProductName, cManufCnt, mstr, pstr, false));
}

int SetResManufacturerName(int cManufCnt, const char *mstr, const char *pstr) {
  return AddName(rMatchProduct, rProductName, cManufCnt, mstr, pstr, true);
}

unsigned char SetPCTDevID(int DevCnt, int vid, int pid) { return AddID(DevID, DevCnt, vid, pid); }

unsigned char SetResDevID(int DevCnt, int vid, int pid) { return AddID(rDevID, DevCnt, vid, pid); }

void set_Manufacturer_list(int Cnt) { WriteList("manuflist.conf", MatchProduct, Cnt, true); }

void set_Product_list(int Cnt) { WriteList(".prodlist.conf", ProductName, Cnt, true); }

void set_pct_devid_list(int Cnt) { WriteList(".pctdevid.conf", DevID, Cnt, false); }

void set_Res_Manufacturer_list(int Cnt) { WriteList("rmanuflist.conf", rMatchProduct, Cnt, false); }

void set_Res_Product_list(int Cnt) { WriteList(".rprodlist.conf", rProductName, Cnt, false); }

void set_res_devid_list(int Cnt) { WriteList(".resdevid.conf", rDevID, Cnt, false); }

int ReadUtilityConfig() {
  char path[512];
  if (!PanelPath(path, sizeof path, "Util.conf"))
    return 0;
  FILE *f = SafeOpenRead(path);
  if (f == nullptr)
    return errno == ENOENT ? 0 : -1;
  int mode = 0;
  bool setup = false;
  char line[256];
  while (fgets(line, sizeof line, f) != nullptr) {
    line[strcspn(line, "\r\n")] = '\0';
    if (line[0] == '[') {
      setup = strcmp(line, "[SETUP]") == 0;
      continue;
    }
    if (setup && strncmp(line, "POSMODE=", 8) == 0) {
      const char *value = line + 8;
      mode = value[0] >= '1' && value[0] <= '4' && value[1] == '\0' ? value[0] - '0' : 0;
    }
  }
  fclose(f);
  return mode;
}

void CreateUtilityConfig(int mode) { WriteUtilityConfig(mode); }

bool WriteUtilityConfig(int mode) {
  char content[64];
  int n = snprintf(content, sizeof content, "[SETUP]\nPOSMODE=%d\n", mode);
  return ReplaceFile("Util.conf", content, static_cast<size_t>(n)) == 2;
}
