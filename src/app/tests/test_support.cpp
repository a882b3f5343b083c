#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <random>
#include <string>
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

TEST(OptionsTest, MalformedFilesAreRefusedWithOneLine) {
  struct Case {
    const char *text;
    const char *line; // what follows "<path>:"
  };
  const Case cases[] = {
      {"[options]\nres=256\n", "2: value is not a number from 0 to 255"},
      {"[options]\nres=-1\n", "2: value is not a number from 0 to 255"},
      {"[options]\nres=1000000000000000000000\n", "2: value is not a number from 0 to 255"},
      {"[options]\nres=abc\n", "2: value is not a number from 0 to 255"},
      {"[options]\nres=1x\n", "2: value is not a number from 0 to 255"},
      {"[options]\nres=1.0\n", "2: value is not a number from 0 to 255"},
      {"[options]\nres=\n", "2: value is not a number from 0 to 255"},
      {"[options]\nres=1 2\n", "2: value is not a number from 0 to 255"},
      {"[options]\nres=0x\n", "2: value is not a number from 0 to 255"},
      {"[options]\nres=0x100\n", "2: value is not a number from 0 to 255"},
      {"[options]\nres=010x\n", "2: value is not a number from 0 to 255"},
      {"[options]\nres=1\nresistive=1\n", "3: unknown option"},
      {"[options]\nRES=1\n", "2: unknown option"},
      {"[options]\nres\n", "2: syntax error"},
      {"[options\nres=1\n", "1: syntax error"},
      {"res=1\n[options]\ngarbage\n", "3: syntax error"},
      // Only the first problem of a file is reported, with its own text.
      {"[options]\nres=300\nbogus=1\n", "2: value is not a number from 0 to 255"},
      {"[options]\nbogus=1\nres=300\n", "2: unknown option"},
      {"[options]\ngarbage\nres=300\n", "2: syntax error"},
      {"[options]\nres=1\nres=300\ngarbage\n", "3: value is not a number from 0 to 255"},
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

TEST(OptionsTest, UnreadableFileIsRefused) {
  ScratchDir dir;
  const std::string path = dir.File("options.ini");
  ASSERT_EQ(0, mkdir(path.c_str(), 0755));
  LoadResult r = Load(path);
  EXPECT_EQ(0, r.ok);
  EXPECT_EQ(path + ": cannot be read\n", r.err);
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
