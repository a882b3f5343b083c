#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
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
    const std::string named =
        "EE:cannot write " + dir.Path() + "/absent/" + w.file + ": No such file or directory\n";
    DbgFlag = 1;
    CaptureStdout();
    w.write();
    EXPECT_EQ("panelcfg DD:can't open conf!!\n" + named, GetCapturedStdout());
    // Without debug only the file and the system error are named.
    DbgFlag = 0;
    CaptureStdout();
    w.write();
    EXPECT_EQ(named, GetCapturedStdout());
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
    ASSERT_EQ(0, chmod(target.c_str(), 0604));
    ASSERT_EQ(0, symlink(target.c_str(), dir.File(w.file).c_str()));
    ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
    const mode_t mask = umask(022);
    w.write();
    umask(mask);
    EXPECT_EQ("precious\n", ReadBytes(target));
    struct stat st;
    ASSERT_EQ(0, lstat(dir.File(w.file).c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    // A new file: nothing is taken from the target of the symlink.
    EXPECT_EQ(0644u, st.st_mode & 07777);
    ASSERT_EQ(0, stat(target.c_str(), &st));
    EXPECT_EQ(0604u, st.st_mode & 07777);
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

// Each step of a replacement that can fail here; a read-only or full file system is tried with
// the real program (realstack). The old file stays, nothing else is left, and the file is
// named with the system error on every run, after the debug line of the step.
TEST_F(RegistryTest, UnwritableFileIsNamedWithTheSystemError) {
  struct Case {
    const char *name;
    // Prepares dir for the writer of file and returns the panel directory to use.
    std::function<std::string(const ScratchDir &dir, const std::string &file)> prepare;
    rlim_t sizeLimit;  // a file-size limit for the write, 0 for none
    const char *debug; // the debug line, "%s" standing for the path
    const char *error;
  };
  const Case cases[] = {
      {"directory missing",
       [](const ScratchDir &d, const std::string &) { return d.File("absent"); }, 0,
       "can't open conf!!\n", "No such file or directory"},
      {"a file where the directory should be",
       [](const ScratchDir &d, const std::string &) {
         WriteBytes(d.File("plain"), "not a directory\n");
         return d.File("plain");
       },
       0, "can't open conf!!\n", "Not a directory"},
      {"write past the size limit",
       [](const ScratchDir &d, const std::string &file) {
         WriteBytes(d.File(file), "old\n");
         return d.Path();
       },
       8, "can't write %s: File too large\n", "File too large"},
      {"a directory in the file's place",
       [](const ScratchDir &d, const std::string &file) {
         EXPECT_EQ(0, mkdir(d.File(file).c_str(), 0755));
         WriteBytes(d.File(file) + "/kept", "old\n");
         return d.Path();
       },
       0, "can't replace %s: Is a directory\n", "Is a directory"},
  };
  FillRegistries();
  for (const Case &c : cases) {
    for (const Writer &w : kWriters) {
      for (int debug : {0, 1}) {
        SCOPED_TRACE(std::string(c.name) + ", " + w.file + (debug ? ", debug" : ""));
        ScratchDir dir;
        const std::string panelDir = c.prepare(dir, w.file);
        ASSERT_EQ(1, SetPanelDir(panelDir.c_str()));
        const std::string path = panelDir + "/" + w.file;
        const std::vector<std::string> before = dir.Entries();
        DbgFlag = debug;
        CaptureStdout();
        if (c.sizeLimit != 0) {
          FileSizeLimit limit(c.sizeLimit);
          ASSERT_TRUE(limit.ok());
          w.write();
        } else {
          w.write();
        }
        const std::string out = GetCapturedStdout();
        DbgFlag = 0;
        std::string expected;
        if (debug) {
          std::string line = c.debug;
          const size_t at = line.find("%s");
          if (at != std::string::npos)
            line.replace(at, 2, path);
          expected = "panelcfg DD:" + line;
        }
        expected += "EE:cannot write " + path + ": " + c.error + "\n";
        // A file that could be opened is followed by the rows of the lists that log them.
        const bool opened = std::string(c.debug) != "can't open conf!!\n";
        const bool logsRows =
            w.file == std::string("manuflist.conf") || w.file == std::string(".prodlist.conf");
        if (debug && opened && logsRows) {
          const std::string rows = w.content;
          for (size_t at = 0; at < rows.size(); at = rows.find('\n', at) + 1)
            expected += "panelcfg DD:Product Name:" + rows.substr(at, rows.find('\n', at) + 1 - at);
        }
        EXPECT_EQ(expected, out);
        EXPECT_EQ(before, dir.Entries());
        // What was at the path is as it was.
        const std::string kept =
            FileExists(dir.File(w.file) + "/kept") ? dir.File(w.file) + "/kept" : dir.File(w.file);
        if (FileExists(kept)) {
          EXPECT_EQ("old\n", ReadBytes(kept));
        }
      }
    }
  }
}

// A replaced file keeps its mode, owner and group, whatever the umask; the owner is given back
// only where the process may (root).
TEST_F(RegistryTest, ReplacedFileKeepsItsModeOwnerAndGroup) {
  FillRegistries();
  const bool root = geteuid() == 0;
  for (mode_t mode : {mode_t{0644}, mode_t{0600}, mode_t{0640}, mode_t{0666}, mode_t{02664}}) {
    SCOPED_TRACE(mode);
    ScratchDir dir;
    ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
    for (const Writer &w : kWriters) {
      WriteBytes(dir.File(w.file), "old\n");
      ASSERT_EQ(0, chmod(dir.File(w.file).c_str(), mode)) << w.file;
      if (root) {
        ASSERT_EQ(0, chown(dir.File(w.file).c_str(), 4321, 8765)) << w.file;
      }
      // Giving the file away clears its set-ID bits.
      ASSERT_EQ(0, chmod(dir.File(w.file).c_str(), mode)) << w.file;
    }
    const mode_t old = umask(077);
    for (const Writer &w : kWriters)
      w.write();
    umask(old);
    for (const Writer &w : kWriters) {
      SCOPED_TRACE(w.file);
      struct stat st;
      ASSERT_EQ(0, lstat(dir.File(w.file).c_str(), &st));
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(mode, st.st_mode & 07777);
      if (root) {
        EXPECT_EQ(4321u, st.st_uid);
        EXPECT_EQ(8765u, st.st_gid);
      }
      EXPECT_EQ(w.content, ReadBytes(dir.File(w.file)));
    }
    EXPECT_EQ(7u, dir.Entries().size());
  }
}

// A run that may not give the new file to the old one's owner keeps the permission bits alone,
// without the set-ID bits, and the file becomes its own.
TEST_F(RegistryTest, WithoutRootTheModeAloneIsKept) {
  if (geteuid() != 0)
    GTEST_SKIP() << "becoming another user needs root";
  ScratchDir dir;
  ASSERT_EQ(0, chmod(dir.Path().c_str(), 0777));
  WriteBytes(dir.File("Util.conf"), "old\n");
  ASSERT_EQ(0, chmod(dir.File("Util.conf").c_str(), 02646));
  ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
  const pid_t pid = fork();
  ASSERT_LE(0, pid);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0)
      _exit(2);
    umask(077);
    CreateUtilityConfig(3);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(0, WEXITSTATUS(status));
  struct stat st;
  ASSERT_EQ(0, lstat(dir.File("Util.conf").c_str(), &st));
  EXPECT_EQ(0646u, st.st_mode & 07777);
  EXPECT_EQ(65534u, st.st_uid);
  EXPECT_EQ(65534u, st.st_gid);
  EXPECT_EQ("[SETUP]\nPOSMODE=3\n", ReadBytes(dir.File("Util.conf")));
  EXPECT_EQ(std::vector<std::string>{"Util.conf"}, dir.Entries());
}

// The fresh file is created exclusively under a name of this process: a file already there
// under that name, left by whatever, is neither written nor removed.
TEST_F(RegistryTest, TemporaryNameInUseIsPassedOver) {
  ScratchDir dir;
  ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
  const std::string taken = "Util.conf.new" + std::to_string(getpid()) + "-0";
  WriteBytes(dir.File(taken), "someone else's\n");
  CaptureStdout();
  CreateUtilityConfig(4);
  EXPECT_EQ("", GetCapturedStdout());
  EXPECT_EQ("[SETUP]\nPOSMODE=4\n", ReadBytes(dir.File("Util.conf")));
  EXPECT_EQ("someone else's\n", ReadBytes(dir.File(taken)));
  EXPECT_EQ((std::vector<std::string>{"Util.conf", taken}), dir.Entries());
}

} // namespace

TEST_F(RegistryTest, OneDeviceRunsAddTheirRowsToWhatEachListHolds) {
  ScratchDir dir;
  ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
  OneDevice.active = true;
  struct Case {
    const char *what;
    std::string before;
    const char *after;
  };
  // The run's rows: "Maker A Panel" and "Maker B Panel" in manuflist.conf.
  const Case kCases[] = {
      {"no file yet", "", "Maker A Panel\nMaker B Panel\n"},
      {"other panels stay, no duplicate", "Old Panel\nMaker B Panel\n",
       "Old Panel\nMaker B Panel\nMaker A Panel\n"},
      {"blank lines dropped, a last line without its line feed kept", "\nOld Panel",
       "Old Panel\nMaker A Panel\nMaker B Panel\n"},
      {"nine rows at most", "1\n2\n3\n4\n5\n6\n7\n8\n", "1\n2\n3\n4\n5\n6\n7\n8\nMaker A Panel\n"},
      {"a full list stays", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n", "1\n2\n3\n4\n5\n6\n7\n8\n9\n"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    ClearRegistries();
    FillRegistries();
    if (c.before.empty())
      unlink(dir.File("manuflist.conf").c_str());
    else
      WriteBytes(dir.File("manuflist.conf"), c.before);
    set_Manufacturer_list(ManufCnt);
    EXPECT_EQ(c.after, ReadBytes(dir.File("manuflist.conf")));
  }
  // An ID list the same way.
  WriteBytes(dir.File(".pctdevid.conf"), "0a0b:00c1\n1111:2222\n");
  set_pct_devid_list(DevIDCnt);
  EXPECT_EQ("0a0b:00c1\n1111:2222\n2575:8753\n", ReadBytes(dir.File(".pctdevid.conf")));
}

TEST_F(RegistryTest, UtilConfNamesTheSiteMode) {
  ScratchDir dir;
  ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
  EXPECT_EQ(0, ReadUtilityConfig()); // no file
  const std::pair<const char *, int> kCases[] = {
      {"[SETUP]\nPOSMODE=2\n", 2},    {"[SETUP]\r\nPOSMODE=4\r\n", 4}, {"[OTHER]\nPOSMODE=2\n", 0},
      {"[SETUP]\nPOSMODE=5\n", 0},    {"[SETUP]\nPOSMODE=2x\n", 0},    {"", 0},
      {"[SETUP]\nX=1\nPOSMODE=3", 3},
  };
  for (const auto &[text, mode] : kCases) {
    SCOPED_TRACE(text);
    WriteBytes(dir.File("Util.conf"), text);
    EXPECT_EQ(mode, ReadUtilityConfig());
  }
  CreateUtilityConfig(1);
  EXPECT_EQ(1, ReadUtilityConfig());
}
