// The pauses the controller protocols prescribe for one run of panelcfg, worked out from the
// protocol rules alone (not from the utility's code) for controllers that answer every request
// at the first attempt, confirm command mode at once and store what they are sent, as the
// virtual bus's controllers do when no fault is set. A run that waits for anything else, or in
// another order, adds time the protocol does not ask for.
//
// The benchmark prints these totals beside the virtual clock's, and test_waits asserts that the
// two sequences are equal for every scenario, start state and operation word.
#pragma once

#include <string>
#include <vector>

namespace waitmodel {

using Waits = std::vector<unsigned>;

// ---------------------------------------------------------------------------------------------
// The protocol's pauses, in milliseconds, and its attempt counts.

constexpr unsigned kDeviceModeReply = 10;   // device-mode read: request, pause, reply
constexpr unsigned kDeviceModeSettle = 5;   // command mode: mode write, pause, read-back
constexpr unsigned kParamReply = 10;        // parameter block read: request, pause, reply
constexpr unsigned kParamWrite = 100;       // parameter block write, pause, then leave
constexpr unsigned kParamClearReply = 50;   // parameter area clear: read request, pause, reply
constexpr unsigned kPosConfigReply = 20;    // position configuration: request, pause, reply
constexpr unsigned kIdentityRetry = 300;    // after every identity block read that failed
constexpr int kIdentityReads = 11;          // identity block reads before giving up
constexpr unsigned kModeSettle = 200;       // mode switch: pause before returning on a match
constexpr unsigned kResFirmwareReply = 300; // resistive "OI": send, pause, answer
constexpr unsigned kResReply = 50;          // resistive "GP", "SP", "PL": send, pause, answer

constexpr int kMousePid = 0x9969;
constexpr int kHybridPid = 0x9968;

inline int VendorDefaultPid(int vid) {
  switch (vid) {
  case 0x22B9:
    return 0x0040;
  case 0x2149:
    return 0x3D28;
  default:
    return 0x8753;
  }
}

// ---------------------------------------------------------------------------------------------
// Controllers and operation words

enum class Kind { PctCurrent, PctLegacy, Resistive };

// A controller as the model follows it from run to run.
struct Controller {
  Kind kind = Kind::PctCurrent;
  // PCT
  int vid = 0;
  int pid = 0;                 // the product ID it enumerates with
  int posMode = 1;             // the position mode it reports
  bool blockReadable = false;  // its identity block passes the checksum
  bool blockUpToDate = false;  // ... and records this firmware and usable home IDs
  int homePid = 0;             // the product ID the block records
  bool hybridStraight = false; // current firmware on which hybrid-d/-m are modes 3/4
  bool reenumerate = false;    // a product ID was written: it is taken at the next reset
  int pendingPid = 0;
  // Resistive
  bool firmwareSupported = true;
  int rotation = 0;
};

enum class Op { Configure, Clean, Test, Sn, Rotation, SetPos, GetPos, Status };

struct Word {
  std::string label;             // as shown in the tables
  std::vector<std::string> args; // panelcfg's arguments
  Op op;
  int posMode; // the position mode the word asks for, 0 none
};

inline const std::vector<Word> &Words() {
  static const std::vector<Word> words = {
      {"(none)", {}, Op::Configure, 0},
      {"--digitizer", {"--digitizer"}, Op::Configure, 1},
      {"--mouse", {"--mouse"}, Op::Configure, 2},
      {"--hybrid-d", {"--hybrid-d"}, Op::Configure, 3},
      {"--hybrid-m", {"--hybrid-m"}, Op::Configure, 4},
      {"--mouse-test", {"--mouse-test"}, Op::Test, 2},
      {"--digi-test", {"--digi-test"}, Op::Test, 1},
      {"--clean", {"--clean"}, Op::Clean, 0},
      {"--sn", {"--sn"}, Op::Sn, 0},
      {"--rotation", {"--rotation"}, Op::Rotation, 0},
      {"setpos 3", {"setpos", "3"}, Op::SetPos, 3},
      {"getpos", {"getpos"}, Op::GetPos, 0},
      {"--status", {"--status"}, Op::Status, 0},
  };
  return words;
}

// ---------------------------------------------------------------------------------------------
// The protocol's operations, each adding its pauses

namespace detail {

inline bool Legacy(const Controller &c) { return c.kind == Kind::PctLegacy; }

// One confirmed attempt: mode write, 5 ms, device-mode read with its 10 ms.
inline void CommandModeSwitch(Waits &w) {
  w.push_back(kDeviceModeSettle);
  w.push_back(kDeviceModeReply);
}

// A legacy controller takes its configuration commands between entering and leaving command
// mode; the current generation has no command mode.
template <typename F> void Bracketed(const Controller &c, Waits &w, F command) {
  if (Legacy(c))
    CommandModeSwitch(w);
  command();
  if (Legacy(c))
    CommandModeSwitch(w);
}

inline void ReadPosConfig(Waits &w) { w.push_back(kPosConfigReply); }

inline void ReadParams(const Controller &c, Waits &w) {
  Bracketed(c, w, [&] { w.push_back(kParamReply); });
}

inline void WriteParams(const Controller &c, Waits &w) {
  Bracketed(c, w, [&] { w.push_back(kParamWrite); });
}

inline void ClearParams(Controller &c, Waits &w) {
  Bracketed(c, w, [&] { w.push_back(kParamClearReply); });
  c.blockReadable = false;
  c.blockUpToDate = false;
}

inline void WritePosMode(Controller &c, Waits &w, int mode) {
  Bracketed(c, w, [] {});
  c.posMode = mode;
}

inline void Reset(Controller &c, Waits &w) {
  Bracketed(c, w, [] {});
  if (c.reenumerate) {
    c.pid = c.pendingPid;
    c.reenumerate = false;
  }
}

// Reads the identity block: once when it is readable, else every attempt fails and is followed
// by its pause.
inline void ReadIdentity(const Controller &c, Waits &w) {
  if (c.blockReadable) {
    ReadParams(c, w);
    return;
  }
  for (int i = 0; i < kIdentityReads; i++) {
    ReadParams(c, w);
    w.push_back(kIdentityRetry);
  }
}

// Makes the identity block valid: a block that cannot be read, or that records another firmware
// or no usable home IDs, is written and read back.
inline void CheckIdentity(Controller &c, Waits &w) {
  ReadIdentity(c, w);
  if (c.blockReadable && c.blockUpToDate)
    return;
  WriteParams(c, w);
  c.blockReadable = true;
  c.blockUpToDate = true;
  c.homePid = c.pid == kMousePid || c.pid == kHybridPid ? VendorDefaultPid(c.vid) : c.pid;
  ReadParams(c, w);
}

// Moves the controller to a position mode (and, current generation, its product ID) with
// read-back, then resets it unless told not to.
inline void SwitchMode(Controller &c, Waits &w, int target, int recordedHomePid) {
  bool idWrite = false;
  int newPid = 0;
  if (!Legacy(c)) {
    if (target == 1) {
      newPid = recordedHomePid != 0 ? recordedHomePid : c.pid;
      if (newPid == kMousePid || newPid == kHybridPid)
        newPid = VendorDefaultPid(c.vid);
    } else {
      newPid = target == 2 ? kMousePid : kHybridPid;
    }
    idWrite = c.vid == 0 || c.pid != newPid; // accepted at once: no pause
    if (idWrite) {
      c.reenumerate = true;
      c.pendingPid = newPid;
    }
  }
  auto matches = [&] {
    bool eitherHybrid = !Legacy(c) && newPid == kHybridPid && (c.posMode == 3 || c.posMode == 4);
    return c.posMode == target || eitherHybrid;
  };
  ReadPosConfig(w);
  if (!(matches() && !idWrite)) {
    WritePosMode(c, w, target);
    ReadPosConfig(w);
  }
  w.push_back(kModeSettle);
  Reset(c, w);
}

// Which mode the requested one is set as, and whether the controller already has it.
inline void DecideMode(Controller &c, Waits &w, int requested, int recordedHomePid) {
  const bool legacy = Legacy(c);
  int target = requested;
  bool done = false;
  switch (requested) {
  case 1:
    done = c.posMode == 1 && (legacy || c.pid == recordedHomePid);
    break;
  case 2:
    done = c.posMode == 2 && (legacy || c.pid == kMousePid);
    break;
  case 3:
  case 4:
    // Legacy controllers take mode 4 for both; current firmware that does not map them
    // straight has the two swapped.
    if (legacy)
      target = 4;
    else if (!c.hybridStraight)
      target = requested == 3 ? 4 : 3;
    done = c.posMode == target && (legacy || c.pid == kHybridPid);
    break;
  default:
    return;
  }
  if (!done)
    SwitchMode(c, w, target, recordedHomePid);
}

inline void Pct(Controller &c, Waits &w, const Word &word) {
  // The status reads the identity block and the position configuration, through the kernel's
  // driver, and neither writes nor resets anything.
  if (word.op == Op::Status) {
    ReadIdentity(c, w);
    ReadPosConfig(w);
    return;
  }
  bool decide = false;
  int recordedHomePid = 0;
  switch (word.op) {
  case Op::Configure:
    CheckIdentity(c, w);
    decide = true;
    recordedHomePid = c.homePid;
    break;
  case Op::Clean:
    ClearParams(c, w);
    break;
  case Op::Test:
    ClearParams(c, w);
    decide = true; // the block is not read: no recorded home product ID
    break;
  case Op::Sn:
    ReadIdentity(c, w);
    break;
  case Op::Rotation:
    break;
  case Op::SetPos:
    ReadPosConfig(w);
    WritePosMode(c, w, word.posMode);
    Reset(c, w);
    break;
  case Op::GetPos:
    ReadPosConfig(w);
    break;
  case Op::Status:
    break;
  }
  if (decide) {
    ReadPosConfig(w);
    DecideMode(c, w, word.posMode, recordedHomePid);
  }
  Reset(c, w); // every PCT controller handled is reset last
}

inline void Resistive(Controller &c, Waits &w, const Word &word) {
  if (word.op == Op::Status) {
    w.insert(w.end(), {kResFirmwareReply, kResReply}); // "OI", "GP"
    return;
  }
  if (word.op == Op::Rotation) {
    w.insert(w.end(), {kResReply, kResReply, kResReply}); // "SP" 1, "PL", "GP"
    c.rotation = 1;
    return;
  }
  w.push_back(kResFirmwareReply);
  if (!c.firmwareSupported)
    return;
  w.push_back(kResReply); // "GP"
  if (c.rotation != 0) {
    w.insert(w.end(), {kResReply, kResReply}); // "SP" 0, "PL"
    c.rotation = 0;
  }
}

} // namespace detail

// The pauses of one run over the controllers (in enumeration order); the controllers are left
// as the run leaves them, as they would enumerate at the next run.
inline Waits Run(std::vector<Controller> &controllers, const Word &word) {
  Waits w;
  for (Controller &c : controllers) {
    if (c.kind == Kind::Resistive)
      detail::Resistive(c, w, word);
    else
      detail::Pct(c, w, word);
  }
  return w;
}

inline unsigned Total(const Waits &w) {
  unsigned total = 0;
  for (unsigned ms : w)
    total += ms;
  return total;
}

// ---------------------------------------------------------------------------------------------
// Scenarios: a bus as JSON for the virtual bus, and its controllers as the model sees them.

struct Scenario {
  std::string name;
  std::string json; // empty: the simulator's built-in bus
  std::vector<Controller> controllers;
};

inline Controller CurrentPct() { // 2575:8753, firmware S1.2.04(r368): chip 8, revision 368
  Controller c;
  c.kind = Kind::PctCurrent;
  c.vid = 0x2575;
  c.pid = 0x8753;
  c.hybridStraight = false; // chip 8 maps them straight from revision 392 to 799
  return c;
}

inline Controller LegacyPct() { // 22B9:0040, firmware S3.0.12(r325)
  Controller c;
  c.kind = Kind::PctLegacy;
  c.vid = 0x22B9;
  c.pid = 0x0040;
  return c;
}

inline Controller ResistivePanel(int rotation) { // firmware V2.9
  Controller c;
  c.kind = Kind::Resistive;
  c.rotation = rotation;
  return c;
}

inline const std::vector<Scenario> &Scenarios() {
  static const std::vector<Scenario> scenarios = {
      {"built-in bus", "", {CurrentPct(), LegacyPct(), ResistivePanel(0)}},
      {"current PCT",
       R"json({
  "devices": [
    { "name": "pct-current", "model": "pct-current", "bus": 1, "vid": "0x2575", "pid": "0x8753",
      "identity": "0x12048170" }
  ]
})json",
       {CurrentPct()}},
      {"legacy PCT",
       R"json({
  "devices": [
    { "name": "pct-legacy", "model": "pct-legacy", "bus": 1, "vid": "0x22B9", "pid": "0x0040",
      "identity": "0x3012A145" }
  ]
})json",
       {LegacyPct()}},
      {"resistive",
       R"json({
  "options": { "res": 1 },
  "devices": [
    { "name": "resistive", "model": "resistive", "bus": 1, "vid": "0x1234", "pid": "0x8888",
      "firmware": "V2.9", "rotation": 180 }
  ]
})json",
       {ResistivePanel(180)}},
  };
  return scenarios;
}

// Start states: the controllers as the scenario makes them, or after one run without a word
// (identity blocks written, rotation back to 0).
enum class Start { New, Configured };

inline const char *StartName(Start s) { return s == Start::New ? "new" : "configured"; }

inline std::vector<Controller> ControllersAt(const Scenario &s, Start start) {
  std::vector<Controller> controllers = s.controllers;
  if (start == Start::Configured)
    Run(controllers, Words().front());
  return controllers;
}

} // namespace waitmodel
