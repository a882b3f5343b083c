#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "captured.h"
#include "scratch_dir.h"
#include "support/support.h"

namespace {

struct LoadResult {
  int ok;
  ConfigMem record;
  std::string out;
  std::string err;
};

// Loads the options file at path into a record that starts out as 0xEE in every byte.
LoadResult Load(const std::string &path) {
  LoadResult r;
  memset(&r.record, 0xEE, sizeof r.record);
  const Output o = Captured([&] { r.ok = Read_Config_File(&r.record, path.c_str()); });
  r.out = o.out;
  r.err = o.err;
  return r;
}

std::vector<unsigned char> Bytes(const ConfigMem &c) {
  const auto *p = reinterpret_cast<const unsigned char *>(&c);
  return std::vector<unsigned char>(p, p + sizeof c);
}

const char *const kKeys[15] = {"res",
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

TEST(OptionsTest, MissingFileIsSilent) {
  ScratchDir dir;
  LoadResult r = Load(dir.File("options.ini"));
  EXPECT_EQ(0, r.ok);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(std::vector<unsigned char>(15, 0xEE), Bytes(r.record));
}

TEST(OptionsTest, EveryKeyLandsInItsByte) {
  ScratchDir dir;
  std::string text = "[options]\n";
  std::vector<unsigned char> expected;
  for (int i = 0; i < 15; i++) {
    int value = i == 14 ? 255 : i * 17 + 1;
    text += std::string(kKeys[i]) + "=" + std::to_string(value) + "\n";
    expected.push_back(static_cast<unsigned char>(value));
  }
  WriteBytes(dir.File("options.ini"), text);
  LoadResult r = Load(dir.File("options.ini"));
  EXPECT_EQ(1, r.ok);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(expected, Bytes(r.record));
}

TEST(OptionsTest, EachKeyAloneSetsOnlyItsOwnByte) {
  ScratchDir dir;
  for (int i = 0; i < 15; i++) {
    SCOPED_TRACE(kKeys[i]);
    WriteBytes(dir.File("options.ini"), std::string("[options]\n") + kKeys[i] + "=200\n");
    LoadResult r = Load(dir.File("options.ini"));
    std::vector<unsigned char> expected(15, 0);
    expected[i] = 200;
    EXPECT_EQ(1, r.ok);
    EXPECT_EQ(expected, Bytes(r.record));
  }
}

TEST(OptionsTest, ValidFiles) {
  struct Case {
    const char *name;
    const char *text;
    std::vector<unsigned char> expected;
  };
  const std::vector<unsigned char> zero(15, 0);
  std::vector<unsigned char> resOnly = zero;
  resOnly[0] = 1;
  std::vector<unsigned char> resAndP1 = zero;
  resAndP1[0] = 1;
  resAndP1[10] = 9;
  const std::vector<Case> cases = {
      {"empty file", "", zero},
      {"empty section", "[options]\n", zero},
      {"other sections only", "[display]\nbrightness=900\nmode=fancy\n", zero},
      {"other sections are not checked", "[display]\nres=abc\n[options]\nres=1\n", resOnly},
      {"comments and blank lines", "; options\n\n[options]\n# resistive\nres=1\n\n", resOnly},
      {"blanks around the value", "[options]\n  res = 1  \nparam1 =9\n", resAndP1},
      {"inline comment", "[options]\nres=1 ; on\n", resOnly},
      {"colon separator", "[options]\nres: 1\n", resOnly},
      {"last line without line feed", "[options]\nres=1", resOnly},
      {"carriage returns", "[options]\r\nres=1\r\n", resOnly},
      {"key repeated: the last wins", "[options]\nres=7\nres=1\n", resOnly},
      {"section reopened", "[options]\nres=1\n[x]\ny=2\n[options]\nparam1=9\n", resAndP1},
      {"leading zero is decimal", "[options]\nres=01\nparam1=09\n", resAndP1},
      {"hexadecimal", "[options]\nres=0x1\nparam1=0X09\n", resAndP1},
      {"zero", "[options]\nres=0\n", zero},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    WriteBytes(dir.File("options.ini"), c.text);
    LoadResult r = Load(dir.File("options.ini"));
    EXPECT_EQ(1, r.ok);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(c.expected, Bytes(r.record));
  }
}

// A line the parser cannot read makes the whole file malformed: only that line is reported,
// not the lines that would have been ignored beside it.
TEST(OptionsTest, SyntaxErrorsRefuseTheFileWithOneLine) {
  struct Case {
    const char *text;
    const char *line; // what follows "<path>:"
  };
  const Case cases[] = {
      {"[options]\nres\n", "2: syntax error"},
      {"[options\nres=1\n", "1: syntax error"},
      {"res=1\n[options]\ngarbage\n", "3: syntax error"},
      {"[options]\ngarbage\nres=300\n", "2: syntax error"},
      {"[options]\nres=300\nbogus=1\ngarbage\n", "4: syntax error"},
      {"[options]\ndisable_8752=1\nres=1\n[x\n", "4: syntax error"},
      {"[options]\nres=1\nfirst bad\nsecond bad\n", "3: syntax error"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ScratchDir dir;
    const std::string path = dir.File("options.ini");
    WriteBytes(path, c.text);
    LoadResult r = Load(path);
    EXPECT_EQ(0, r.ok);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(path + ":" + c.line + "\n", r.err);
    // A refused file leaves the record as it was.
    EXPECT_EQ(std::vector<unsigned char>(15, 0xEE), Bytes(r.record));
  }
}

// An unknown key or a bad value costs its own line only: the line is named on standard error
// and every other key of the file applies.
TEST(OptionsTest, BadLinesAreIgnoredAndTheRestApplies) {
  struct Case {
    const char *text;
    std::vector<const char *> lines; // what follows "<path>:" on each line of standard error
    std::vector<std::pair<int, unsigned char>> set; // bytes of the record that are not 0
  };
  const char *const kRange = "value is not a number from 0 to 255, line ignored";
  const std::string bad = std::string(": ") + kRange;
  const std::string b2 = "2: res" + bad;
  const std::string b3 = "3: res" + bad;
  const std::vector<Case> cases = {
      {"[options]\nres=256\n", {b2.c_str()}, {}},
      {"[options]\nres=-1\n", {b2.c_str()}, {}},
      {"[options]\nres=1000000000000000000000\n", {b2.c_str()}, {}},
      {"[options]\nres=abc\n", {b2.c_str()}, {}},
      {"[options]\nres=1x\n", {b2.c_str()}, {}},
      {"[options]\nres=1.0\n", {b2.c_str()}, {}},
      {"[options]\nres=\n", {b2.c_str()}, {}},
      {"[options]\nres=1 2\n", {b2.c_str()}, {}},
      {"[options]\nres=0x\n", {b2.c_str()}, {}},
      {"[options]\nres=0x100\n", {b2.c_str()}, {}},
      {"[options]\nres=010x\n", {b2.c_str()}, {}},
      {"[options]\nres=1\nresistive=1\n", {"3: unknown option resistive, line ignored"}, {{0, 1}}},
      {"[options]\nRES=1\n", {"2: unknown option RES, line ignored"}, {}},
      // The legacy controllers stay protected beside a misspelt key.
      {"[options]\nres=1\nspec_dispaly=1\ndisable_8752=1\n",
       {"3: unknown option spec_dispaly, line ignored"},
       {{0, 1}, {3, 1}}},
      {"[options]\ndisable_8752=1\nres=300\n", {b3.c_str()}, {{3, 1}}},
      // A bad value leaves the value of an earlier line of the same key.
      {"[options]\nres=7\nres=300\n", {b3.c_str()}, {{0, 7}}},
      {"[options]\nres=300\nbogus=1\nparam5=0x20\nres=2\n",
       {b2.c_str(), "3: unknown option bogus, line ignored"},
       {{0, 2}, {14, 0x20}}},
      // Control characters of a key are shown as question marks.
      {"[options]\nre\x01s\x1b=1\n", {"2: unknown option re?s?, line ignored"}, {}},
      // Lines of other sections are not checked, and blank and comment lines count.
      {"; top\n[display]\nbogus=x\n\n[options]\n# here\nbogus=1\n",
       {"7: unknown option bogus, line ignored"},
       {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ScratchDir dir;
    const std::string path = dir.File("options.ini");
    WriteBytes(path, c.text);
    LoadResult r = Load(path);
    EXPECT_EQ(1, r.ok);
    EXPECT_EQ("", r.out);
    std::string err;
    for (const char *line : c.lines)
      err += path + ":" + line + "\n";
    EXPECT_EQ(err, r.err);
    std::vector<unsigned char> expected(15, 0);
    for (const auto &[index, value] : c.set)
      expected[static_cast<size_t>(index)] = value;
    EXPECT_EQ(expected, Bytes(r.record));
  }
}

// Only a regular file of at most 64 KiB is read; anything else is refused at once, unread.
TEST(OptionsTest, OnlyARegularFileOfAtMost64KiBIsRead) {
  struct Case {
    const char *name;
    std::function<bool(const std::string &path)> make;
    const char *problem; // what follows "<path>: ", none when the file is taken
  };
  const std::string padding = "[options]\nres=1\n";
  const auto sized = [&padding](size_t size) {
    return [&padding, size](const std::string &path) {
      std::string text = padding;
      text.resize(size - 1, ';');
      WriteBytes(path, text + "\n");
      return true;
    };
  };
  const std::vector<Case> cases = {
      {"FIFO", [](const std::string &p) { return mkfifo(p.c_str(), 0600) == 0; },
       "not a regular file"},
      {"symlink to /dev/zero",
       [](const std::string &p) { return symlink("/dev/zero", p.c_str()) == 0; },
       "a symbolic link, not followed"},
      {"symlink to a good file",
       [](const std::string &p) {
         WriteBytes(p + ".real", "[options]\nres=1\n");
         return symlink((p + ".real").c_str(), p.c_str()) == 0;
       },
       "a symbolic link, not followed"},
      {"directory", [](const std::string &p) { return mkdir(p.c_str(), 0700) == 0; },
       "not a regular file"},
      {"one byte too many", sized(65537), "larger than 65536 bytes"},

      {"a megabyte", sized(1 << 20), "larger than 65536 bytes"},
      {"exactly 64 KiB", sized(65536), nullptr},
  };
  // A file whose size says 0, yet reads longer than the limit: what is read stops there. The
  // kernel's symbol table is one, where this machine shows it.
  std::vector<Case> all = cases;
  struct stat proc {};
  const bool kallsyms = stat("/proc/kallsyms", &proc) == 0 && S_ISREG(proc.st_mode) &&
                        proc.st_size == 0 && ReadBytes("/proc/kallsyms").size() > 65536;
  if (kallsyms)
    all.push_back({"a file that reads longer than its size",
                   [](const std::string &) { return true; }, "larger than 65536 bytes"});
  for (const Case &c : all) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const bool proc = c.problem != nullptr && kallsyms && &c == &all.back();
    const std::string path = proc ? "/proc/kallsyms" : dir.File("options.ini");
    ASSERT_TRUE(c.make(path));
    LoadResult r = Load(path);
    EXPECT_EQ("", r.out);
    if (c.problem == nullptr) {
      EXPECT_EQ(1, r.ok);
      EXPECT_EQ("", r.err);
      std::vector<unsigned char> expected(15, 0);
      expected[0] = 1;
      EXPECT_EQ(expected, Bytes(r.record));
    } else {
      EXPECT_EQ(0, r.ok);
      EXPECT_EQ(path + ": " + c.problem + "\n", r.err);
      EXPECT_EQ(std::vector<unsigned char>(15, 0xEE), Bytes(r.record));
    }
  }
}

// A FIFO with a writer that never writes: opening and reading it would wait for ever.
TEST(OptionsTest, FifoWithAWriterIsRefusedUnread) {
  ScratchDir dir;
  const std::string path = dir.File("options.ini");
  ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
  const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_LE(0, reader);
  const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_LE(0, writer);
  ASSERT_EQ(3, write(writer, "[op", 3));
  LoadResult r = Load(path);
  EXPECT_EQ(0, r.ok);
  EXPECT_EQ(path + ": not a regular file\n", r.err);
  // Nothing was taken from it.
  char buf[8] = {};
  EXPECT_EQ(3, read(reader, buf, sizeof buf));
  EXPECT_STREQ("[op", buf);
  close(writer);
  close(reader);
}

TEST(OptionsTest, UnreadableFileIsRefused) {
  ScratchDir dir;
  const std::string path = dir.File("options.ini");
  ASSERT_EQ(0, mkdir(path.c_str(), 0755));
  LoadResult r = Load(path);
  EXPECT_EQ(0, r.ok);
  EXPECT_EQ(path + ": not a regular file\n", r.err);
  EXPECT_EQ(std::vector<unsigned char>(15, 0xEE), Bytes(r.record));
}

TEST(OptionsTest, UnopenableFileIsNamedWithTheError) {
  ScratchDir dir;
  const std::string path = dir.File("options.ini") + "/x";
  WriteBytes(dir.File("options.ini"), "[options]\n");
  LoadResult r = Load(path);
  EXPECT_EQ(0, r.ok);
  EXPECT_EQ(path + ": Not a directory\n", r.err);
  EXPECT_EQ(std::vector<unsigned char>(15, 0xEE), Bytes(r.record));
}

TEST(EncodingTest, DecodeUndoesEncodeOverRandomBlocks) {
  std::mt19937 gen(20240607);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int n = 0; n < 2000; n++) {
    unsigned char plain[32];
    for (unsigned char &b : plain)
      b = static_cast<unsigned char>(byte(gen));
    unsigned char encoded[64];
    memset(encoded, 0xC3, sizeof encoded);
    EncodeData(plain, encoded, 0, 32);
    // Exactly 32 bytes are written.
    for (int i = 32; i < 64; i++)
      ASSERT_EQ(0xC3, encoded[i]) << "block " << n << " byte " << i;
    ASSERT_NE(0, memcmp(plain, encoded, 32)) << "block " << n;
    unsigned char decoded[40];
    memset(decoded, 0x3C, sizeof decoded);
    DecodeData(encoded, decoded);
    ASSERT_EQ(0, memcmp(plain, decoded, 32)) << "block " << n;
    for (int i = 32; i < 40; i++)
      ASSERT_EQ(0x3C, decoded[i]) << "block " << n << " byte " << i;
  }
}

TEST(EncodingTest, FixedBlocksAreTransformed) {
  unsigned char blocks[4][32];
  memset(blocks[0], 0x00, 32);
  memset(blocks[1], 0xFF, 32);
  for (int i = 0; i < 32; i++) {
    blocks[2][i] = static_cast<unsigned char>(i);
    blocks[3][i] = static_cast<unsigned char>(0xA5 ^ i);
  }
  for (auto &plain : blocks) {
    unsigned char encoded[64] = {};
    EncodeData(plain, encoded, 0, 32);
    int same = 0;
    for (int i = 0; i < 32; i++)
      same += encoded[i] == plain[i];
    EXPECT_LT(same, 8) << "most bytes pass through unchanged";
    unsigned char decoded[32];
    DecodeData(encoded, decoded);
    EXPECT_EQ(0, memcmp(plain, decoded, 32));
  }
}

TEST(EncodingTest, EncodingDoesNotDependOnTheOutputBuffer) {
  unsigned char plain[32];
  for (int i = 0; i < 32; i++)
    plain[i] = static_cast<unsigned char>(i * 7);
  unsigned char a[64];
  unsigned char b[64];
  memset(a, 0x00, sizeof a);
  memset(b, 0xFF, sizeof b);
  EncodeData(plain, a, 0, 32);
  EncodeData(plain, b, 0, 32);
  EXPECT_EQ(0, memcmp(a, b, 32));
}

TEST(RandomTest, FillsSixteenBytesAndNoMore) {
  // Every one of the 16 bytes changes in at least one of several calls; the bytes after stay.
  bool changed[16] = {};
  for (int call = 0; call < 8; call++) {
    unsigned char buf[32];
    memset(buf, 0xA5, sizeof buf);
    GenerateRand(buf, 1);
    for (int i = 0; i < 16; i++)
      changed[i] = changed[i] || buf[i] != 0xA5;
    for (int i = 16; i < 32; i++)
      ASSERT_EQ(0xA5, buf[i]) << "call " << call << " byte " << i;
  }
  for (int i = 0; i < 16; i++)
    EXPECT_TRUE(changed[i]) << "byte " << i;
}

TEST(RandomTest, CallsDiffer) {
  unsigned char first[16];
  unsigned char second[16];
  GenerateRand(first, 1);
  GenerateRand(second, 1);
  EXPECT_NE(0, memcmp(first, second, 16));
}

} // namespace
