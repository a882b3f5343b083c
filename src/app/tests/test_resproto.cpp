// The resistive command protocol in feature report 1, called directly on a controller taken
// over on the virtual bus: request frames, answer parsing, retries and waits, messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/state.h"
#include "log_lines.h"
#include "resistive/resproto.h"
#include "resistive_frames.h"
#include "takeover.h"
#include "transport/hid.h"
#include "vusb.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Seq = Lines;
using Waits = std::vector<unsigned>;

// A Set_Report fault on every request whose length byte (byte 1) is lengthByte.
vusb::TransferFault SendFault(int lengthByte, int result, int times = -1) {
  vusb::TransferFault f;
  f.request = 0x09;
  f.command = lengthByte;
  f.result = result;
  f.times = times;
  return f;
}

vusb::TransferFault FetchFault(int result, int times = -1) {
  vusb::TransferFault f;
  f.request = 0x01;
  f.result = result;
  f.times = times;
  return f;
}

class ResProtoTest : public ControllerTest {
protected:
  // Adds a resistive controller and takes it over; the log and the clock start empty.
  void Open(const vusb::DeviceSpec &spec = vusb::ResistiveSpec()) {
    ASSERT_TRUE(TakeOver(vusb::AddDevice(spec)));
  }

  // The next case of a table: an empty bus with one fresh controller, taken over.
  void Fresh(const vusb::DeviceSpec &spec = vusb::ResistiveSpec()) {
    Close();
    vusb::Reset();
    ASSERT_NO_FATAL_FAILURE(Open(spec));
  }

  vusb::Device &Device() { return vusb::Dev(id_); }

  // The controller answers the next "GP" requests with this frame instead of its own: the
  // requests are taken (reported as sent in full) but never reach the model.
  void ScriptRotationAnswer(const vusb::Bytes &frame) {
    Device().lastAnswer = frame;
    Device().faults.transfers.push_back(SendFault(0x06, 8));
  }

  // Every transfer went to feature report 1.
  void ExpectReportOneOnly() {
    for (const vusb::Entry &e : vusb::Transfers(id_)) {
      EXPECT_EQ(0x0301, e.value) << vusb::Describe(e);
      EXPECT_TRUE(e.IsSetReport() || e.IsGetReport()) << vusb::Describe(e);
    }
  }
};

// A payload framed the way the controller answers: 01 n 01 payload 0D.
vusb::Bytes AnswerFrame(const std::string &payload) {
  vusb::Bytes b;
  b.push_back(0x01);
  b.push_back(static_cast<uint8_t>(payload.size() + 2));
  b.push_back(0x01);
  for (char c : payload)
    b.push_back(static_cast<uint8_t>(c));
  b.push_back(0x0D);
  return b;
}

TEST_F(ResProtoTest, EachCommandSendsItsFrameAndFetchesItsAnswer) {
  struct Case {
    const char *name;
    int (*call)(hid_device *);
    int result;
    vusb::Bytes request;
    Seq sequence;
  };
  const Case cases[] = {
      {"GetFirmware",
       [](hid_device *d) {
         char version[20] = {};
         return GetFirmware(d, version) + 0;
       },
       1,
       {0x01, 0x04, 0x01, 0x4F, 0x49, 0x0D},
       {kOI, "wait 300", kV29}},
      {"GetResRotation",
       [](hid_device *d) { return GetResRotation(d); },
       0,
       {0x01, 0x06, 0x01, 0x47, 0x50, 0x34, 0x33, 0x0D},
       {kGP, "wait 50", kRot0}},
      {"SetResRotation 0",
       [](hid_device *d) { return SetResRotation(d, 0) + 0; },
       1,
       {0x01, 0x0A, 0x01, 0x53, 0x50, 0x34, 0x33, 0x30, 0x30, 0x30, 0x30, 0x0D},
       {kSP0, "wait 50", kAck}},
      {"SetResRotation 1",
       [](hid_device *d) { return SetResRotation(d, 1) + 0; },
       1,
       {0x01, 0x0A, 0x01, 0x53, 0x50, 0x34, 0x33, 0x30, 0x30, 0x30, 0x31, 0x0D},
       {kSP1, "wait 50", kAck}},
      {"SetResRotation 0xABCD",
       [](hid_device *d) { return SetResRotation(d, 0xABCD) + 0; },
       1,
       {0x01, 0x0A, 0x01, 0x53, 0x50, 0x34, 0x33, 0x41, 0x42, 0x43, 0x44, 0x0D},
       {"set 01 0a 01 53 50 34 33 41 42 43 44 0d /12", "wait 50", kAck}},
      {"PermanentParameter",
       [](hid_device *d) { return PermanentParameter(d) + 0; },
       1,
       {0x01, 0x04, 0x01, 0x50, 0x4C, 0x0D},
       {kPL, "wait 50", kAck}},
      {"ResetResDevice",
       [](hid_device *d) { return ResetResDevice(d) + 0; },
       1,
       {0x01, 0x04, 0x01, 0x52, 0x52, 0x0D},
       {kRR}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(Fresh());
    CaptureStdout();
    int result = c.call(dev_);
    GetCapturedStdout();
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(std::vector<vusb::Bytes>{c.request}, vusb::SetReports(id_));
    EXPECT_EQ(c.sequence, vusb::Sequence(id_));
    ExpectReportOneOnly();
  }
}

TEST_F(ResProtoTest, WritesReachTheControllerAndAResetRestartsIt) {
  ASSERT_NO_FATAL_FAILURE(Open());
  EXPECT_EQ(1, SetResRotation(dev_, 0x00B4));
  EXPECT_EQ(0x00B4, Device().liveRotation);
  EXPECT_EQ(0, Device().rotation);
  EXPECT_EQ(1, PermanentParameter(dev_));
  EXPECT_EQ(0x00B4, Device().rotation);
  EXPECT_EQ(1, ResetResDevice(dev_));
  EXPECT_EQ(1, Device().resets);
  // One acknowledgement fetched for each write, none for the reset.
  EXPECT_EQ(2u, vusb::GetReports(id_).size());
}

TEST_F(ResProtoTest, FirmwareGate) {
  struct Case {
    std::string firmware;
    int result;
    std::string out;
  };
  const Case cases[] = {
      {"V2.9", 1, "II:Firmware Version:V2.9\n"},
      {"v3.0", 1, "II:Firmware Version:v3.0\n"},
      {"V3.1", 1, "II:Firmware Version:V3.1\n"},
      {"V3", 1, "II:Firmware Version:V3\n"},
      {"V 3.0", 1, "II:Firmware Version:V 3.0\n"},
      {"V3.0", 0, "II:Firmware Version:V3.0\n" + kUnsupported},
      {"V3.01", 0, "II:Firmware Version:V3.01\n" + kUnsupported},
      {"xV3.0y", 0, "II:Firmware Version:xV3.0y\n" + kUnsupported},
      {"RT-4W V3.0.2 B", 0, "II:Firmware Version:RT-4W V3.0.2 B\n" + kUnsupported},
      {"ABCDEFGHIJKLV3.0", 0, "II:Firmware Version:ABCDEFGHIJKLV3.0\n" + kUnsupported},
      {"", 0, "II:Firmware Version:\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("firmware '" + c.firmware + "'");
    ASSERT_NO_FATAL_FAILURE(Fresh(vusb::ResistiveSpec(0x1234, 0x8888, c.firmware)));
    CaptureStdout();
    int result = CheckResFWVer(dev_);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.out, out);
    // One query, answered at once; nothing else is sent.
    EXPECT_EQ((std::vector<vusb::Bytes>{{0x01, 0x04, 0x01, 0x4F, 0x49, 0x0D}}),
              vusb::SetReports(id_));
    EXPECT_EQ((Waits{300}), vusb::Waits());
  }
}

TEST_F(ResProtoTest, SupportAddressIsAnAddress) {
  const std::string address = RES_SUPPORT_ADDRESS;
  EXPECT_NE(std::string::npos, address.find('@'));
  EXPECT_EQ(std::string::npos, address.find_first_of(" \n\t"));
}

TEST_F(ResProtoTest, FirmwareVersionText) {
  struct Case {
    const char *name;
    std::string payload;
    int result;
    std::string version;
    int attempts;
  };
  const Case cases[] = {
      {"sixteen characters fit", "ABCDEFGHIJKLMNOP", 1, "ABCDEFGHIJKLMNOP", 1},
      {"terminator beyond the 20 bytes fetched", "ABCDEFGHIJKLMNOPQ", 0, "", 11},
      {"zero byte ends the text", std::string("V2\0X9", 5), 1, "V2", 1},
      {"first terminator ends the text", "V2\r.9", 1, "V2", 1},
      {"status 0 is a version", "0", 1, "0", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(Fresh(vusb::ResistiveSpec(0x1234, 0x8888, c.payload)));
    // Filled with non-zero bytes: the text must come with its own terminator.
    char version[20];
    memset(version, 'Z', sizeof version);
    CaptureStdout();
    int result = GetFirmware(dev_, version);
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ(c.result, result);
    if (result == 1) {
      EXPECT_EQ(c.version, std::string(version, strnlen(version, sizeof version)));
    }
    EXPECT_EQ(static_cast<size_t>(c.attempts), vusb::SetReports(id_).size());
  }
}

TEST_F(ResProtoTest, FirmwareQueryRetriesUnansweredQueries) {
  struct Case {
    const char *name;
    int statusOne;     // answers "1" before the version
    int fetchFailures; // fetches that fail before one succeeds
    int fetchResult;   // result of a failing fetch
    int result;        // of GetFirmware
    int attempts;      // queries sent
  };
  const Case cases[] = {
      {"ten status answers", 10, 0, 0, 1, 11},      {"eleven status answers", 11, 0, 0, 0, 11},
      {"status answers only", -1, 0, 0, 0, 11},     {"one status answer", 1, 0, 0, 1, 2},
      {"fetch fails", 0, -1, -32, 0, 11},           {"fetch brings nothing", 0, -1, 0, 0, 11},
      {"fetch fails ten times", 0, 10, -32, 1, 11},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(Fresh());
    Device().faults.resStatusOne = c.statusOne;
    if (c.fetchFailures != 0)
      Device().faults.transfers.push_back(FetchFault(c.fetchResult, c.fetchFailures));
    char version[20] = {};
    CaptureStdout();
    int result = GetFirmware(dev_, version);
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.result == 1 ? "V2.9" : "", std::string(version));
    EXPECT_EQ(static_cast<size_t>(c.attempts), vusb::SetReports(id_).size());
    EXPECT_EQ(static_cast<size_t>(c.attempts), vusb::GetReports(id_, 1).size());
    for (const vusb::Entry &e : vusb::GetReports(id_))
      EXPECT_EQ(20, e.length);
    // 300 ms after each query, 300 ms more after each rejected answer.
    Waits waits = RepeatWaits(c.result == 1 ? c.attempts - 1 : c.attempts, {300, 300});
    if (c.result == 1)
      waits.push_back(300);
    EXPECT_EQ(waits, vusb::Waits());
  }
}

TEST_F(ResProtoTest, StatusOneAnswersLeaveTheGateSilent) {
  ASSERT_NO_FATAL_FAILURE(Open(vusb::ResistiveSpec(0x1234, 0x8888, "V3.0")));
  Device().faults.resStatusOne = -1;
  CaptureStdout();
  EXPECT_EQ(0, CheckResFWVer(dev_));
  EXPECT_EQ("", GetCapturedStdout());
  EXPECT_EQ(Repeat(11, {kOI, "wait 300", "get 01 03 01 31 0d /20", "wait 300"}),
            vusb::Sequence(id_));
  EXPECT_EQ(6600u, vusb::TotalWaitMs());
}

TEST_F(ResProtoTest, FailedFirmwareQueryEndsAtOnce) {
  for (int sendResult : {0, -32, -110}) {
    SCOPED_TRACE(sendResult);
    ASSERT_NO_FATAL_FAILURE(Fresh());
    Device().faults.transfers.push_back(SendFault(0x04, sendResult));
    DbgFlag = 1;
    char version[20] = {};
    CaptureStdout();
    int result = GetFirmware(dev_, version);
    EXPECT_EQ("panelcfg DD:GetFirmware SetFeature failed err=000\r\n ", GetCapturedStdout());
    DbgFlag = 0;
    EXPECT_EQ(0, result);
    EXPECT_EQ(1u, vusb::SetReports(id_).size());
    EXPECT_TRUE(vusb::GetReports(id_).empty());
    EXPECT_TRUE(vusb::Waits().empty());
    // The gate adds nothing of its own.
    CaptureStdout();
    EXPECT_EQ(0, CheckResFWVer(dev_));
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ(2u, vusb::SetReports(id_).size());
  }
}

TEST_F(ResProtoTest, FailedSendCostsOneAttempt) {
  struct Case {
    const char *name;
    int lengthByte;
    int (*call)(hid_device *);
    int result;
    std::string out;
    std::string request;
    Seq afterFailedRequest; // no fetch follows the failed request
  };
  const Case cases[] = {
      {"GetResRotation", 0x06, [](hid_device *d) { return GetResRotation(d); }, 0,
       "Res Rotation:0\n", kGP, Seq{"wait 50", kGP, "wait 50", kRot0}},
      {"SetResRotation", 0x0A, [](hid_device *d) { return SetResRotation(d, 1) + 0; }, 1, "", kSP1,
       Seq{"wait 50", "wait 300", kSP1, "wait 50", kAck}},
      {"PermanentParameter", 0x04, [](hid_device *d) { return PermanentParameter(d) + 0; }, 1, "",
       kPL, Seq{"wait 50", "wait 300", kPL, "wait 50", kAck}},
  };
  for (const Case &c : cases) {
    for (int sendResult : {0, -32}) {
      SCOPED_TRACE(std::string(c.name) + " send result " + std::to_string(sendResult));
      ASSERT_NO_FATAL_FAILURE(Fresh());
      Device().faults.transfers.push_back(SendFault(c.lengthByte, sendResult, 1));
      CaptureStdout();
      int result = c.call(dev_);
      EXPECT_EQ(c.out, GetCapturedStdout());
      EXPECT_EQ(c.result, result);
      Seq expected = {c.request + " = " + std::to_string(sendResult)};
      EXPECT_EQ(Concat({expected, c.afterFailedRequest}), vusb::Sequence(id_));
    }
  }
}

TEST_F(ResProtoTest, RotationReadGivesUpAfterFourAttempts) {
  struct Case {
    const char *name;
    std::vector<vusb::TransferFault> faults;
    int statusOne;
    Seq attempt; // the same four times, with no pause after a rejected answer
  };
  const Case cases[] = {
      {"send fails", {SendFault(0x06, -32)}, 0, {kGP + std::string(" = -32"), "wait 50"}},
      {"send moves nothing", {SendFault(0x06, 0)}, 0, {kGP + std::string(" = 0"), "wait 50"}},
      {"fetch fails", {FetchFault(-32)}, 0, {kGP, "wait 50", "get 01 /10 = -32"}},
      {"fetch brings nothing", {FetchFault(0)}, 0, {kGP, "wait 50", "get 01 /10 = 0"}},
      {"status answer", {}, -1, {kGP, "wait 50", kStatus1}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(Fresh());
    Device().liveRotation = 0x00B4;
    Device().faults.transfers = c.faults;
    Device().faults.resStatusOne = c.statusOne;
    CaptureStdout();
    int result = GetResRotation(dev_);
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ(-1, result);
    EXPECT_EQ(Repeat(4, c.attempt), vusb::Sequence(id_));
    ExpectReportOneOnly();
  }
}

TEST_F(ResProtoTest, RotationReadAcceptsTheFourthAttempt) {
  ASSERT_NO_FATAL_FAILURE(Open());
  Device().liveRotation = 3;
  Device().faults.resStatusOne = 3;
  CaptureStdout();
  EXPECT_EQ(3, GetResRotation(dev_));
  EXPECT_EQ("Res Rotation:3\n", GetCapturedStdout());
  EXPECT_EQ(Concat({Repeat(3, {kGP, "wait 50", kStatus1}),
                    {kGP, "wait 50", "get 01 06 01 30 30 30 33 0d /10"}}),
            vusb::Sequence(id_));
}

TEST_F(ResProtoTest, RotationAnswers) {
  struct Case {
    const char *name;
    vusb::Bytes frame;
    int result;
  };
  const Case cases[] = {
      {"upper-case digits", AnswerFrame("00B4"), 180},
      {"lower-case digits", AnswerFrame("00b4"), 180},
      {"largest value", AnswerFrame("FFFF"), 65535},
      {"conversion stops at X", AnswerFrame("0X12"), 0},
      {"conversion stops at G", AnswerFrame("12G4"), 0x12},
      {"conversion stops at a blank", AnswerFrame(" 123"), 0},
      {"conversion stops at a high byte",
       AnswerFrame("1\x80"
                   "23"),
       1},
      {"three digits: no terminator at byte 7", AnswerFrame("0B4"), -1},
      {"five digits: no terminator at byte 7", AnswerFrame("000B4"), -1},
      {"start byte missing", {0x01, 0x06, 0x02, '0', '0', 'B', '4', 0x0D}, -1},
      {"length byte not examined", {0x01, 0xEE, 0x01, '0', '0', '1', '0', 0x0D}, 16},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(Fresh());
    ScriptRotationAnswer(c.frame);
    CaptureStdout();
    int result = GetResRotation(dev_);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(c.result, result);
    if (c.result >= 0) {
      EXPECT_EQ("Res Rotation:" + std::to_string(c.result) + "\n", out);
      EXPECT_EQ(1u, vusb::SetReports(id_).size());
    } else {
      EXPECT_EQ("", out);
      EXPECT_EQ(4u, vusb::SetReports(id_).size());
      EXPECT_EQ(4u, vusb::GetReports(id_).size());
    }
  }
}

TEST_F(ResProtoTest, RotationReadDumpsTheWholeAnswerBufferInDebugMode) {
  ASSERT_NO_FATAL_FAILURE(Open());
  Device().liveRotation = 0x00B4;
  DbgFlag = 1;
  CaptureStdout();
  EXPECT_EQ(180, GetResRotation(dev_));
  std::string out = GetCapturedStdout();
  const char *zeros = "panelcfg DD:0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00\n";
  EXPECT_EQ(std::string("panelcfg DD:GetResRotation---start\n"
                        "panelcfg DD:0x01 0x06 0x01 0x30 0x30 0x42 0x34 0x0d\n") +
                zeros + zeros + zeros +
                "panelcfg DD:GetResRotation---End\n"
                "Res Rotation:180\n",
            out);
}

TEST_F(ResProtoTest, WriteCommandsRetryUntilAcknowledged) {
  struct Op {
    const char *name;
    int (*call)(hid_device *);
    const char *request;
  };
  const Op ops[] = {
      {"SetResRotation", [](hid_device *d) { return SetResRotation(d, 0) + 0; }, kSP0},
      {"PermanentParameter", [](hid_device *d) { return PermanentParameter(d) + 0; }, kPL},
  };
  struct Case {
    const char *name;
    int statusOne;
    int fetchFailures;
    int result;
    int attempts;
  };
  const Case cases[] = {
      {"acknowledged at once", 0, 0, 1, 1}, {"ten rejections", 10, 0, 1, 11},
      {"eleven rejections", 11, 0, 0, 11},  {"never acknowledged", -1, 0, 0, 11},
      {"fetches fail", 0, -1, 0, 11},       {"fetch fails once", 0, 1, 1, 2},
  };
  for (const Op &op : ops) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(op.name) + ": " + c.name);
      ASSERT_NO_FATAL_FAILURE(Fresh());
      Device().faults.resStatusOne = c.statusOne;
      if (c.fetchFailures != 0)
        Device().faults.transfers.push_back(FetchFault(-32, c.fetchFailures));
      CaptureStdout();
      int result = op.call(dev_);
      EXPECT_EQ("", GetCapturedStdout());
      EXPECT_EQ(c.result, result);
      std::vector<vusb::Bytes> sent = vusb::SetReports(id_);
      ASSERT_EQ(static_cast<size_t>(c.attempts), sent.size());
      for (size_t i = 1; i < sent.size(); i++)
        EXPECT_EQ(sent[0], sent[i]);
      EXPECT_EQ(static_cast<size_t>(c.attempts), vusb::GetReports(id_, 1).size());
      for (const vusb::Entry &e : vusb::GetReports(id_))
        EXPECT_EQ(10, e.length);
      // 50 ms after each request, 300 ms after each rejected answer.
      Waits waits = RepeatWaits(c.result == 1 ? c.attempts - 1 : c.attempts, {50, 300});
      if (c.result == 1)
        waits.push_back(50);
      EXPECT_EQ(waits, vusb::Waits());
      if (c.statusOne == -1) {
        EXPECT_EQ(Repeat(11, {op.request, "wait 50", kStatus1, "wait 300"}), vusb::Sequence(id_));
      }
    }
  }
}

TEST_F(ResProtoTest, WriteCommandsGiveUpWhenNoRequestGoesThrough) {
  ASSERT_NO_FATAL_FAILURE(Open());
  Device().faults.transfers.push_back(SendFault(-1, -32));
  EXPECT_EQ(0, SetResRotation(dev_, 0));
  EXPECT_EQ(0, PermanentParameter(dev_));
  EXPECT_EQ(Concat({Repeat(11, {kSP0 + std::string(" = -32"), "wait 50", "wait 300"}),
                    Repeat(11, {kPL + std::string(" = -32"), "wait 50", "wait 300"})}),
            vusb::Sequence(id_));
  EXPECT_TRUE(vusb::GetReports(id_).empty());
  EXPECT_EQ(RepeatWaits(22, {50, 300}), vusb::Waits());
  EXPECT_EQ(0, Device().rotation);
}

TEST_F(ResProtoTest, ResetSendsOnceAndReportsAFailedSend) {
  struct Case {
    int sendResult; // 1: no fault
    int result;
    std::string debugOut;
  };
  const Case cases[] = {
      {1, 1, ""},
      {0, 0, "panelcfg DD:ResetResDevice SetFeature failed err=000\r\n "},
      {-32, 0, "panelcfg DD:ResetResDevice SetFeature failed err=000\r\n "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.sendResult);
    ASSERT_NO_FATAL_FAILURE(Fresh());
    if (c.sendResult != 1)
      Device().faults.transfers.push_back(SendFault(0x04, c.sendResult));
    DbgFlag = 1;
    CaptureStdout();
    int result = ResetResDevice(dev_);
    EXPECT_EQ(c.debugOut, GetCapturedStdout());
    DbgFlag = 0;
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(1u, vusb::SetReports(id_).size());
    EXPECT_TRUE(vusb::GetReports(id_).empty());
    EXPECT_TRUE(vusb::Waits().empty());
    EXPECT_EQ(c.result, Device().resets);
  }
}

TEST(HextoIntTest, Conversion) {
  struct Case {
    const char *text;
    int len;
    int value;
  };
  const Case cases[] = {
      {"00b4", 4, 180},
      {"00B4", 4, 180},
      {"0X12", 4, 0},
      {"fF", 2, 255},
      {"ABCDEF", 4, 0xABCD},
      {"123", 0, 0},
      {"", 4, 0},
      {"9a", 2, 0x9A},
      {"1g2", 3, 1},
      {"7\xff"
       "1",
       3, 7},
      {"\x80"
       "1",
       2, 0},
      {"FFFFFFF", 7, 0xFFFFFFF},
      {"1:2", 3, 1},
      {"1@", 2, 1},
      {"1`", 2, 1},
      {"1/", 2, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.value, HextoInt(c.text, c.len));
  }
}

} // namespace
