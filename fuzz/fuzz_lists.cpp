// Device strings through the registries and list files: names and IDs as a scan would record
// them (counts passed and raised the way the scan does), a few out-of-range counts, Util.conf
// with any mode; then the list writers into a scratch directory. The registries must follow
// the duplicate and size rules exactly (an independent model keeps them too), and every list
// file must hold exactly its rows, one clean row per line.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/state.h"
#include "fuzz_common.h"
#include "lists/registry.h"

namespace {

fuzz::ScratchDir *dir = nullptr;

// A device string with control characters made harmless, cut to n characters.
std::string Clean(const std::string &s, size_t n) {
  std::string out;
  for (char ch : s) {
    if (out.size() == n)
      break;
    const unsigned char c = static_cast<unsigned char>(ch);
    out += (c < 0x20 || c == 0x7F) ? '?' : ch;
  }
  return out;
}

struct Names {
  std::vector<std::string> match, product;

  int Add(const std::string &m, const std::string &p) {
    const std::string key = Clean(m + " " + p, NAME_ROW - 1);
    for (const std::string &row : match)
      if (row.find(key) != std::string::npos)
        return 0;
    if (match.size() >= REG_ROWS)
      return 0;
    match.push_back(key);
    product.push_back(Clean(p, NAME_ROW - 1));
    return 1;
  }
};

struct Ids {
  std::vector<std::string> rows;

  int Add(int vid, int pid) {
    char key[16];
    snprintf(key, sizeof key, "%04x:%04x", static_cast<unsigned>(vid) & 0xFFFF,
             static_cast<unsigned>(pid) & 0xFFFF);
    for (const std::string &row : rows)
      if (row.find(key) != std::string::npos)
        return 0;
    if (rows.size() >= REG_ROWS)
      return 0;
    rows.push_back(key);
    return 1;
  }
};

template <size_t W>
void Compare(const char *what, const char (*rows)[W], int count,
             const std::vector<std::string> &model) {
  if (count != static_cast<int>(model.size()))
    fuzz::Die("%s: %d rows, the model has %zu", what, count, model.size());
  for (int k = 0; k < count; k++)
    if (model[static_cast<size_t>(k)] != rows[k])
      fuzz::Die("%s row %d: \"%s\", the model has \"%s\"", what, k, rows[k],
                model[static_cast<size_t>(k)].c_str());
}

// A string as the scan hands it over: zero-terminated.
std::string Text(FuzzedDataProvider &input) {
  std::string s = input.ConsumeRandomLengthString(300);
  return s.substr(0, strnlen(s.c_str(), s.size()));
}

int Id(FuzzedDataProvider &input) {
  return input.ConsumeBool() ? input.ConsumeIntegral<uint16_t>() : input.ConsumeIntegral<int>();
}

// A count no scan passes: below 0 or past the last row.
int WildCount(FuzzedDataProvider &input) {
  int n = input.ConsumeIntegral<int>();
  return n >= 0 && n < REG_ROWS ? n - REG_ROWS : n;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  dir = new fuzz::ScratchDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  InitRunState();
  ClearRegistries();
  dir->Empty();
  if (!SetPanelDir(dir->Path().c_str()))
    fuzz::Die("scratch directory path too long");

  Names pct, res;
  Ids pctIds, resIds;
  for (int op = 0; op < 64 && input.remaining_bytes() > 0; op++) {
    switch (input.ConsumeIntegralInRange(0, 6)) {
    case 0: {
      const std::string m = Text(input), p = Text(input);
      const int got = SetManufacturerName(ManufCnt, m.c_str(), p.c_str());
      if (got != pct.Add(m, p))
        fuzz::Die("SetManufacturerName(\"%s\", \"%s\") gave %d", m.c_str(), p.c_str(), got);
      if (got != 0)
        ManufCnt++;
      break;
    }
    case 1: {
      const std::string m = Text(input), p = Text(input);
      const int got = SetResManufacturerName(rManufCnt, m.c_str(), p.c_str());
      if (got != res.Add(m, p))
        fuzz::Die("SetResManufacturerName(\"%s\", \"%s\") gave %d", m.c_str(), p.c_str(), got);
      if (got != 0)
        rManufCnt++;
      break;
    }
    case 2: {
      const int vid = Id(input), pid = Id(input);
      const int got = SetPCTDevID(DevIDCnt, vid, pid);
      if (got != pctIds.Add(vid, pid))
        fuzz::Die("SetPCTDevID(%d, %d) gave %d", vid, pid, got);
      if (got != 0)
        DevIDCnt++;
      break;
    }
    case 3: {
      const int vid = Id(input), pid = Id(input);
      const int got = SetResDevID(rDevIDCnt, vid, pid);
      if (got != resIds.Add(vid, pid))
        fuzz::Die("SetResDevID(%d, %d) gave %d", vid, pid, got);
      if (got != 0)
        rDevIDCnt++;
      break;
    }
    case 4: {
      // A count outside the registry stores nothing, whatever the strings.
      const std::string m = Text(input), p = Text(input);
      const int n = WildCount(input);
      if (SetManufacturerName(n, m.c_str(), p.c_str()) != 0 ||
          SetResManufacturerName(n, m.c_str(), p.c_str()) != 0 ||
          SetPCTDevID(n, Id(input), Id(input)) != 0 || SetResDevID(n, Id(input), Id(input)) != 0)
        fuzz::Die("a row was stored at index %d", n);
      break;
    }
    case 5: {
      const int mode = input.ConsumeIntegral<int>();
      CreateUtilityConfig(mode);
      std::string got;
      const std::string want = "[SETUP]\nPOSMODE=" + std::to_string(mode) + "\n";
      if (!fuzz::ReadFile(dir->File("Util.conf"), got) || got != want)
        fuzz::Die("Util.conf holds \"%s\", expected \"%s\"", got.c_str(), want.c_str());
      unlink(dir->File("Util.conf").c_str());
      break;
    }
    default:
      break;
    }
  }
  Compare("MatchProduct", MatchProduct, ManufCnt, pct.match);
  Compare("ProductName", ProductName, ManufCnt, pct.product);
  Compare("DevID", DevID, DevIDCnt, pctIds.rows);
  Compare("rMatchProduct", rMatchProduct, rManufCnt, res.match);
  Compare("rProductName", rProductName, rManufCnt, res.product);
  Compare("rDevID", rDevID, rDevIDCnt, resIds.rows);

  // The writers, as the run driver calls them after a scan.
  if (rManufCnt != 0) {
    set_Res_Manufacturer_list(rManufCnt);
    set_Res_Product_list(rManufCnt);
  }
  if (rDevIDCnt != 0)
    set_res_devid_list(rDevIDCnt);
  if (ManufCnt != 0) {
    set_Manufacturer_list(ManufCnt);
    set_Product_list(ManufCnt);
  }
  if (DevIDCnt != 0)
    set_pct_devid_list(DevIDCnt);
  fuzz::CheckPanelFiles(*dir, 0);
  return 0;
}
