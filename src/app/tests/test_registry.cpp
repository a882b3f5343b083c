#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/state.h"
#include "lists/registry.h"
#include "scratch_dir.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// One family of name registries: its add operation, its rows and its counter.
struct NameFamily {
  const char *label;
  int (*add)(int cnt, const char *m, const char *p);
  char (*match)[NAME_ROW];
  char (*product)[NAME_ROW];
  int *counter;
  bool logsKeyFirst;
};

int AddPctName(int cnt, const char *m, const char *p) { return SetManufacturerName(cnt, m, p); }
int AddResName(int cnt, const char *m, const char *p) { return SetResManufacturerName(cnt, m, p); }

const NameFamily kNameFamilies[] = {
    {"PCT", AddPctName, MatchProduct, ProductName, &ManufCnt, false},
    {"resistive", AddResName, rMatchProduct, rProductName, &rManufCnt, true},
};

struct IdFamily {
  const char *label;
  unsigned char (*add)(int cnt, int vid, int pid);
  char (*rows)[ID_ROW];
  int *counter;
};

const IdFamily kIdFamilies[] = {
    {"PCT", SetPCTDevID, DevID, &DevIDCnt},
    {"resistive", SetResDevID, rDevID, &rDevIDCnt},
};

// Adds as the scan does: the current counter goes in, a stored row moves it on.
int AddName(const NameFamily &f, const std::string &m, const std::string &p) {
  int stored = f.add(*f.counter, m.c_str(), p.c_str());
  if (stored)
    ++*f.counter;
  return stored;
}

int AddId(const IdFamily &f, int vid, int pid) {
  int stored = f.add(*f.counter, vid, pid);
  if (stored)
    ++*f.counter;
  return stored;
}

std::vector<std::string> Rows(char (*rows)[NAME_ROW], int cnt) {
  return std::vector<std::string>(rows, rows + cnt);
}

class RegistryTest : public RunStateTest {};

TEST_F(RegistryTest, NameDuplicateRules) {
  struct Add {
    const char *m;
    const char *p;
    int stored;
  };
  struct Case {
    const char *name;
    std::vector<Add> adds;
    std::vector<std::string> match;
    std::vector<std::string> product;
  };
  const std::vector<Case> cases = {
      {"same strings twice",
       {{"Maker", "Panel", 1}, {"Maker", "Panel", 0}},
       {"Maker Panel"},
       {"Panel"}},
      {"shorter key inside a stored row is a duplicate",
       {{"Maker", "Panel X2", 1}, {"Maker", "Panel X", 0}},
       {"Maker Panel X2"},
       {"Panel X2"}},
      {"longer key after a shorter one is new",
       {{"Maker", "Panel X", 1}, {"Maker", "Panel X2", 1}},
       {"Maker Panel X", "Maker Panel X2"},
       {"Panel X", "Panel X2"}},
      {"key found in the middle of a row",
       {{"Big Maker", "Panel Pro", 1}, {"Maker", "Panel", 0}, {"Maker", "Panel Pro X", 1}},
       {"Big Maker Panel Pro", "Maker Panel Pro X"},
       {"Panel Pro", "Panel Pro X"}},
      {"same product from two makers",
       {{"Maker A", "Panel", 1}, {"Maker B", "Panel", 1}},
       {"Maker A Panel", "Maker B Panel"},
       {"Panel", "Panel"}},
      {"search is case-sensitive",
       {{"Maker", "Panel", 1}, {"maker", "panel", 1}, {"MAKER", "Panel", 1}},
       {"Maker Panel", "maker panel", "MAKER Panel"},
       {"Panel", "panel", "Panel"}},
      {"blank key first, then real names",
       {{"", "", 1}, {"Maker", "Panel", 1}, {"", "", 0}},
       {" ", "Maker Panel"},
       {"", "Panel"}},
      {"blank key after a stored row",
       {{"Maker", "Panel", 1}, {"", "", 0}},
       {"Maker Panel"},
       {"Panel"}},
      {"one empty string",
       {{"", "Panel", 1}, {"Maker", "", 1}, {"Maker", "Panel", 1}, {"", "Panel", 0}},
       {" Panel", "Maker ", "Maker Panel"},
       {"Panel", "", "Panel"}},
  };
  for (const NameFamily &f : kNameFamilies) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(f.label) + ": " + c.name);
      ClearRegistries();
      for (const Add &a : c.adds)
        EXPECT_EQ(a.stored, AddName(f, a.m, a.p)) << a.m << "|" << a.p;
      EXPECT_EQ(static_cast<int>(c.match.size()), *f.counter);
      EXPECT_EQ(c.match, Rows(f.match, *f.counter));
      EXPECT_EQ(c.product, Rows(f.product, *f.counter));
    }
  }
}

TEST_F(RegistryTest, FamiliesAreKeptApart) {
  EXPECT_EQ(1, AddName(kNameFamilies[0], "Maker", "Panel"));
  EXPECT_EQ(1, AddName(kNameFamilies[1], "Maker", "Panel"));
  EXPECT_EQ(1, AddId(kIdFamilies[0], 0x2575, 0x8753));
  EXPECT_EQ(1, AddId(kIdFamilies[1], 0x2575, 0x8753));
  EXPECT_EQ(1, ManufCnt);
  EXPECT_EQ(1, rManufCnt);
  EXPECT_EQ(1, DevIDCnt);
  EXPECT_EQ(1, rDevIDCnt);
}

TEST_F(RegistryTest, OnlyRowsBelowTheCountPassedAreSearched) {
  for (const NameFamily &f : kNameFamilies) {
    SCOPED_TRACE(f.label);
    ClearRegistries();
    EXPECT_EQ(1, f.add(0, "Maker", "Panel"));
    // The caller did not count the first row, so it is not searched and is overwritten.
    EXPECT_EQ(1, f.add(0, "Maker", "Panel"));
    EXPECT_EQ(0, f.add(1, "Maker", "Panel"));
  }
  for (const IdFamily &f : kIdFamilies) {
    SCOPED_TRACE(f.label);
    ClearRegistries();
    EXPECT_EQ(1, f.add(0, 1, 2));
    EXPECT_EQ(1, f.add(0, 1, 2));
    EXPECT_EQ(0, f.add(1, 1, 2));
  }
}

TEST_F(RegistryTest, IdKeysAndDuplicates) {
  for (const IdFamily &f : kIdFamilies) {
    SCOPED_TRACE(f.label);
    ClearRegistries();
    EXPECT_EQ(1, AddId(f, 0x0A0B, 0x00C1));
    EXPECT_EQ(0, AddId(f, 0x0A0B, 0x00C1));
    EXPECT_EQ(1, AddId(f, 0x0A0B, 0x00C2));
    EXPECT_EQ(1, AddId(f, 0x00C1, 0x0A0B));
    EXPECT_EQ(1, AddId(f, 0xFFFF, 0x0000));
    EXPECT_EQ(0, AddId(f, 0x00C1, 0x0A0B));
    ASSERT_EQ(4, *f.counter);
    EXPECT_STREQ("0a0b:00c1", f.rows[0]);
    EXPECT_STREQ("0a0b:00c2", f.rows[1]);
    EXPECT_STREQ("00c1:0a0b", f.rows[2]);
    EXPECT_STREQ("ffff:0000", f.rows[3]);
  }
}

TEST_F(RegistryTest, IdLogShowsUpperCaseInputsAndTheStoredKey) {
  DbgFlag = 1;
  for (const IdFamily &f : kIdFamilies) {
    SCOPED_TRACE(f.label);
    ClearRegistries();
    CaptureStdout();
    AddId(f, 0x0A0B, 0x00C1);
    AddId(f, 0x0A0B, 0x00C1);
    EXPECT_EQ("panelcfg DD:SetPCTDevID VID: 0A0B\n"
              "panelcfg DD:SetPCTDevID PID: 00C1\n"
              "panelcfg DD:New VID:0a0b:00c1\n"
              "panelcfg DD:SetPCTDevID VID: 0A0B\n"
              "panelcfg DD:SetPCTDevID PID: 00C1\n",
              GetCapturedStdout());
  }
}

TEST_F(RegistryTest, NameLogPerFamily) {
  DbgFlag = 1;
  CaptureStdout();
  AddName(kNameFamilies[0], "Maker", "Panel");
  AddName(kNameFamilies[0], "Maker", "Panel");
  EXPECT_EQ("panelcfg DD:Manufacturer String: Maker\n"
            "panelcfg DD:Product String: Panel\n"
            "panelcfg DD:Product Name:Maker Panel\n"
            "panelcfg DD:Manufacturer String: Maker\n"
            "panelcfg DD:Product String: Panel\n",
            GetCapturedStdout());

  CaptureStdout();
  AddName(kNameFamilies[1], "Maker", "Panel");
  AddName(kNameFamilies[1], "Maker", "Panel");
  EXPECT_EQ("panelcfg DD:Product Name:Maker Panel\n"
            "panelcfg DD:Manufacturer String: Maker\n"
            "panelcfg DD:Product String: Panel\n"
            "panelcfg DD:Product Name:Maker Panel\n"
            "panelcfg DD:Product Name:Maker Panel\n"
            "panelcfg DD:Manufacturer String: Maker\n"
            "panelcfg DD:Product String: Panel\n",
            GetCapturedStdout());
}

TEST_F(RegistryTest, AddsAreSilentWithoutDebug) {
  CaptureStdout();
  AddName(kNameFamilies[0], "Maker", "Panel");
  AddName(kNameFamilies[1], "Maker", "Panel");
  AddId(kIdFamilies[0], 1, 2);
  AddId(kIdFamilies[1], 1, 2);
  EXPECT_EQ("", GetCapturedStdout());
}

TEST_F(RegistryTest, TenthNameIsRefused) {
  for (const NameFamily &f : kNameFamilies) {
    SCOPED_TRACE(f.label);
    ClearRegistries();
    for (int i = 0; i < 9; i++)
      ASSERT_EQ(1, AddName(f, "Maker", "Panel " + std::to_string(i) + "!"));
    DbgFlag = 1;
    CaptureStdout();
    EXPECT_EQ(0, AddName(f, "Maker", "Panel 9!"));
    std::string log = GetCapturedStdout();
    DbgFlag = 0;
    EXPECT_EQ(9, *f.counter);
    EXPECT_STREQ("Maker Panel 8!", f.match[8]);
    EXPECT_STREQ("Panel 8!", f.product[8]);
    EXPECT_EQ(std::string(f.logsKeyFirst ? "panelcfg DD:Product Name:Maker Panel 9!\n" : "") +
                  "panelcfg DD:Manufacturer String: Maker\n"
                  "panelcfg DD:Product String: Panel 9!\n"
                  "panelcfg DD:name list full, Maker Panel 9! not recorded\n",
              log);
    // A duplicate of a stored row is still just a duplicate.
    EXPECT_EQ(0, AddName(f, "Maker", "Panel 3!"));
    EXPECT_EQ(9, *f.counter);
  }
}

TEST_F(RegistryTest, TenthIdIsRefused) {
  for (const IdFamily &f : kIdFamilies) {
    SCOPED_TRACE(f.label);
    ClearRegistries();
    for (int i = 0; i < 9; i++)
      ASSERT_EQ(1, AddId(f, 0x2575, 0x8750 + i));
    DbgFlag = 1;
    CaptureStdout();
    EXPECT_EQ(0, AddId(f, 0x2575, 0x8759));
    EXPECT_EQ("panelcfg DD:SetPCTDevID VID: 2575\n"
              "panelcfg DD:SetPCTDevID PID: 8759\n"
              "panelcfg DD:ID list full, 2575:8759 not recorded\n",
              GetCapturedStdout());
    DbgFlag = 0;
    EXPECT_EQ(9, *f.counter);
    EXPECT_STREQ("2575:8758", f.rows[8]);
  }
}

TEST_F(RegistryTest, LongStringsAreCutToTheRow) {
  const std::string m40(40, 'm');
  const std::string p100(100, 'p');
  const std::string huge(300, 'h');
  for (const NameFamily &f : kNameFamilies) {
    SCOPED_TRACE(f.label);
    ClearRegistries();
    ASSERT_EQ(1, AddName(f, m40, p100));
    EXPECT_EQ(m40 + " " + std::string(22, 'p'), f.match[0]);
    EXPECT_EQ(std::string(63, 'p'), f.product[0]);
    // The same long strings again: cut the same way, so a duplicate.
    EXPECT_EQ(0, AddName(f, m40, p100));
    // Descriptor-sized and longer strings on both sides.
    ASSERT_EQ(1, AddName(f, huge, huge));
    EXPECT_EQ(std::string(63, 'h'), f.match[1]);
    EXPECT_EQ(std::string(63, 'h'), f.product[1]);
    // Exactly 63 characters fit whole.
    ASSERT_EQ(1, AddName(f, std::string(31, 'a'), std::string(31, 'b')));
    EXPECT_EQ(std::string(31, 'a') + " " + std::string(31, 'b'), f.match[2]);
    EXPECT_EQ(3, *f.counter);
  }
}

TEST_F(RegistryTest, ControlCharactersBecomeQuestionMarks) {
  for (const NameFamily &f : kNameFamilies) {
    SCOPED_TRACE(f.label);
    ClearRegistries();
    ASSERT_EQ(1, AddName(f, "Ma\nker\x01", "Pa\tnel\x7F\x1F\r"));
    EXPECT_STREQ("Ma?ker? Pa?nel???", f.match[0]);
    EXPECT_STREQ("Pa?nel???", f.product[0]);
    // Bytes above 0x7F are text, not control characters.
    ASSERT_EQ(1, AddName(f, "Caf\xC3\xA9", "\x80\xFF~ "));
    EXPECT_STREQ("Caf\xC3\xA9 \x80\xFF~ ", f.match[1]);
    EXPECT_STREQ("\x80\xFF~ ", f.product[1]);
    // Strings that differ only in their control characters give the same key.
    EXPECT_EQ(0, AddName(f, "Ma\rker\x02", "Pa\x1Bnel\x7F\x7F\n"));
  }
}

// The six list files and the rows each one is written from.
struct ListFile {
  void (*write)(int cnt);
  const char *file;
  char *rows;
  int rowSize;
  bool logsRows;
};

const ListFile kListFiles[] = {
    {set_Manufacturer_list, "manuflist.conf", &MatchProduct[0][0], NAME_ROW, true},
    {set_Product_list, ".prodlist.conf", &ProductName[0][0], NAME_ROW, true},
    {set_pct_devid_list, ".pctdevid.conf", &DevID[0][0], ID_ROW, false},
    {set_Res_Manufacturer_list, "rmanuflist.conf", &rMatchProduct[0][0], NAME_ROW, false},
    {set_Res_Product_list, ".rprodlist.conf", &rProductName[0][0], NAME_ROW, false},
    {set_res_devid_list, ".resdevid.conf", &rDevID[0][0], ID_ROW, false},
};

void FillRegistries() {
  AddName(kNameFamilies[0], "Maker A", "Panel");
  AddName(kNameFamilies[0], "Maker B", "Panel");
  AddName(kNameFamilies[0], "", "");
  AddName(kNameFamilies[1], "Res Co", "Touch 7");
  AddName(kNameFamilies[1], "Res Co", "Touch 9");
  AddId(kIdFamilies[0], 0x2575, 0x8753);
  AddId(kIdFamilies[0], 0x0A0B, 0x00C1);
  AddId(kIdFamilies[1], 0x1234, 0x8888);
}

const char *const kExpectedLists[] = {
    "Maker A Panel\nMaker B Panel\n",   "Panel\nPanel\n",     "2575:8753\n0a0b:00c1\n",
    "Res Co Touch 7\nRes Co Touch 9\n", "Touch 7\nTouch 9\n", "1234:8888\n",
};

TEST_F(RegistryTest, ListFilesHoldOneRowPerLine) {
  FillRegistries();
  ASSERT_EQ(2, ManufCnt); // the blank key came after a stored row
  const int counts[] = {ManufCnt, ManufCnt, DevIDCnt, rManufCnt, rManufCnt, rDevIDCnt};
  ScratchDir dir;
  ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
  for (int i = 0; i < 6; i++) {
    SCOPED_TRACE(kListFiles[i].file);
    // An older, longer file is replaced as a whole.
    WriteBytes(dir.File(kListFiles[i].file), std::string(700, 'x') + "\n");
    kListFiles[i].write(counts[i]);
    EXPECT_EQ(kExpectedLists[i], ReadBytes(dir.File(kListFiles[i].file)));
  }
  // Nothing but the six files is left behind.
  EXPECT_EQ((std::vector<std::string>{".pctdevid.conf", ".prodlist.conf", ".resdevid.conf",
                                      ".rprodlist.conf", "manuflist.conf", "rmanuflist.conf"}),
            dir.Entries());
}

TEST_F(RegistryTest, ListWritersWriteTheFirstCntRows) {
  FillRegistries();
  ScratchDir dir;
  ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
  set_Manufacturer_list(1);
  set_pct_devid_list(1);
  set_Res_Product_list(1);
  EXPECT_EQ("Maker A Panel\n", ReadBytes(dir.File("manuflist.conf")));
  EXPECT_EQ("2575:8753\n", ReadBytes(dir.File(".pctdevid.conf")));
  EXPECT_EQ("Touch 7\n", ReadBytes(dir.File(".rprodlist.conf")));
  set_Res_Manufacturer_list(0);
  EXPECT_EQ("", ReadBytes(dir.File("rmanuflist.conf")));
}

TEST_F(RegistryTest, OnlyThePctNameListsLogTheirRows) {
  FillRegistries();
  const int counts[] = {ManufCnt, ManufCnt, DevIDCnt, rManufCnt, rManufCnt, rDevIDCnt};
  ScratchDir dir;
  ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
  DbgFlag = 1;
  for (int i = 0; i < 6; i++) {
    SCOPED_TRACE(kListFiles[i].file);
    std::string expected;
    if (kListFiles[i].logsRows)
      for (int k = 0; k < counts[i]; k++)
        expected += "panelcfg DD:Product Name:" +
                    std::string(kListFiles[i].rows + k * kListFiles[i].rowSize) + "\n";
    CaptureStdout();
    kListFiles[i].write(counts[i]);
    EXPECT_EQ(expected, GetCapturedStdout());
  }
}

TEST_F(RegistryTest, UtilConfHoldsTheMode) {
  ScratchDir dir;
  ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
  WriteBytes(dir.File("Util.conf"), "[SETUP]\nPOSMODE=3\nOTHER=1\n");
  for (int mode = 1; mode <= 4; mode++) {
    SCOPED_TRACE(mode);
    CaptureStdout();
    CreateUtilityConfig(mode);
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ("[SETUP]\nPOSMODE=" + std::to_string(mode) + "\n", ReadBytes(dir.File("Util.conf")));
  }
  EXPECT_EQ(std::vector<std::string>{"Util.conf"}, dir.Entries());
}

// Runs one of the seven writers over the filled registries.
struct Writer {
  const char *file;
  void (*write)();
  const char *content;
};

const Writer kWriters[] = {
    {"manuflist.conf", [] { set_Manufacturer_list(ManufCnt); }, kExpectedLists[0]},
    {".prodlist.conf", [] { set_Product_list(ManufCnt); }, kExpectedLists[1]},
    {".pctdevid.conf", [] { set_pct_devid_list(DevIDCnt); }, kExpectedLists[2]},
    {"rmanuflist.conf", [] { set_Res_Manufacturer_list(rManufCnt); }, kExpectedLists[3]},
    {".rprodlist.conf", [] { set_Res_Product_list(rManufCnt); }, kExpectedLists[4]},
    {".resdevid.conf", [] { set_res_devid_list(rDevIDCnt); }, kExpectedLists[5]},
    {"Util.conf", [] { CreateUtilityConfig(2); }, "[SETUP]\nPOSMODE=2\n"},
};

TEST_F(RegistryTest, MissingDirectoryIsLoggedOnlyInDebug) {
  FillRegistries();
  ScratchDir dir;
  ASSERT_EQ(1, SetPanelDir((dir.Path() + "/absent/").c_str()));
  for (const Writer &w : kWriters) {
    SCOPED_TRACE(w.file);
    DbgFlag = 1;
    CaptureStdout();
    w.write();
    EXPECT_EQ("panelcfg DD:can't open conf!!\n", GetCapturedStdout());
    DbgFlag = 0;
    CaptureStdout();
    w.write();
    EXPECT_EQ("", GetCapturedStdout());
  }
  EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(RegistryTest, PlantedSymlinkIsReplacedNotFollowed) {
  FillRegistries();
  for (const Writer &w : kWriters) {
    SCOPED_TRACE(w.file);
    ScratchDir dir;
    ScratchDir elsewhere;
    const std::string target = elsewhere.File("victim");
    WriteBytes(target, "precious\n");
    ASSERT_EQ(0, symlink(target.c_str(), dir.File(w.file).c_str()));
    ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
    w.write();
    EXPECT_EQ("precious\n", ReadBytes(target));
    struct stat st;
    ASSERT_EQ(0, lstat(dir.File(w.file).c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(w.content, ReadBytes(dir.File(w.file)));
    EXPECT_EQ(std::vector<std::string>{w.file}, dir.Entries());
  }
}

TEST_F(RegistryTest, DanglingSymlinkCreatesNothingAtItsTarget) {
  ScratchDir dir;
  ScratchDir elsewhere;
  const std::string target = elsewhere.File("not-there");
  ASSERT_EQ(0, symlink(target.c_str(), dir.File("Util.conf").c_str()));
  ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
  CreateUtilityConfig(1);
  EXPECT_FALSE(FileExists(target));
  EXPECT_EQ("[SETUP]\nPOSMODE=1\n", ReadBytes(dir.File("Util.conf")));
}

// Lowers the file-size limit for as long as it lives; writes past it fail with EFBIG.
class FileSizeLimit {
public:
  explicit FileSizeLimit(rlim_t bytes) {
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_);
    struct rlimit lowered = old_;
    lowered.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, oldHandler_);
  }
  bool ok() const { return ok_; }

private:
  struct rlimit old_;
  void (*oldHandler_)(int);
  bool ok_;
};

TEST_F(RegistryTest, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  FillRegistries();
  for (const Writer &w : kWriters) {
    SCOPED_TRACE(w.file);
    ScratchDir dir;
    ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
    WriteBytes(dir.File(w.file), "old\n");
    {
      // Every new content is longer than 8 bytes.
      FileSizeLimit limit(8);
      ASSERT_TRUE(limit.ok());
      w.write();
    }
    EXPECT_EQ("old\n", ReadBytes(dir.File(w.file)));
    EXPECT_EQ(std::vector<std::string>{w.file}, dir.Entries());
  }
}

TEST_F(RegistryTest, FailedWriteOfANewFileCreatesNothing) {
  ScratchDir dir;
  ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
  {
    FileSizeLimit limit(4);
    ASSERT_TRUE(limit.ok());
    CreateUtilityConfig(4);
  }
  EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(RegistryTest, NewFilesGetReadWriteForAllLessTheUmask) {
  FillRegistries();
  for (mode_t mask : {mode_t{022}, mode_t{0}, mode_t{077}, mode_t{027}}) {
    SCOPED_TRACE(mask);
    ScratchDir dir;
    ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
    mode_t old = umask(mask);
    for (const Writer &w : kWriters)
      w.write();
    umask(old);
    for (const Writer &w : kWriters) {
      struct stat st;
      ASSERT_EQ(0, stat(dir.File(w.file).c_str(), &st)) << w.file;
      EXPECT_EQ(0666 & ~mask, st.st_mode & 07777) << w.file;
    }
  }
}

} // namespace
