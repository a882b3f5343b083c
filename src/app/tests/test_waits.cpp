// The pauses of a run are exactly those the controller protocols prescribe: for every scenario,
// start state and operation word, the virtual clock sees the same sequence of waits as the wait
// model works out from the protocol rules. An extra, missing, longer or misplaced pause fails.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <cstddef>
#include <string>
#include <vector>

#include "bus_run.h"
#include "wait_model.h"

namespace {

using waitmodel::Controller;
using waitmodel::Kind;
using waitmodel::Scenario;
using waitmodel::Start;
using waitmodel::Waits;
using waitmodel::Word;

std::string Show(const Waits &w) {
  std::string s = "[";
  for (size_t i = 0; i < w.size(); i++) {
    if (i > 0)
      s += ' ';
    s += std::to_string(w[i]);
  }
  s += "] = ";
  s += std::to_string(waitmodel::Total(w));
  s += " ms";
  return s;
}

const Word &WordNamed(const std::string &label) {
  for (const Word &w : waitmodel::Words())
    if (w.label == label)
      return w;
  ADD_FAILURE() << "no word " << label;
  return waitmodel::Words().front();
}

const Scenario &ScenarioNamed(const std::string &name) {
  for (const Scenario &s : waitmodel::Scenarios())
    if (s.name == name)
      return s;
  ADD_FAILURE() << "no scenario " << name;
  return waitmodel::Scenarios().front();
}

unsigned ModelTotal(const std::string &scenario, Start start, const std::string &word) {
  std::vector<Controller> controllers = waitmodel::ControllersAt(ScenarioNamed(scenario), start);
  return waitmodel::Total(waitmodel::Run(controllers, WordNamed(word)));
}

// The model's totals for a few paths, worked out by hand from the protocol's pauses, so that a
// slip in the model cannot hide the same slip in the utility.
TEST(WaitModel, TotalsWorkedByHand) {
  // A new current-generation controller: the erased block fails 11 reads (10 ms each, 300 ms
  // after each), then one write (100 ms) and one read back (10 ms), then the position mode
  // (20 ms); no mode was asked for.
  EXPECT_EQ(ModelTotal("current PCT", Start::New, "(none)"), 11 * (10 + 300) + 100 + 10 + 20);
  // The same for a legacy controller: every block read and write sits between entering and
  // leaving command mode (5 + 10 ms each), and its reset does too.
  EXPECT_EQ(ModelTotal("legacy PCT", Start::New, "(none)"),
            11 * (15 + 10 + 15 + 300) + (15 + 100 + 15) + (15 + 10 + 15) + 20 + (15 + 15));
  // A rotated resistive panel: firmware (300), rotation read (50), rotation 0 and "PL" (50 each).
  EXPECT_EQ(ModelTotal("resistive", Start::New, "(none)"), 300 + 50 + 50 + 50);
  EXPECT_EQ(ModelTotal("resistive", Start::Configured, "(none)"), 300 + 50);
  EXPECT_EQ(ModelTotal("resistive", Start::New, "--rotation"), 50 + 50 + 50);
  // The built-in bus: both PCT controllers and the resistive panel (rotation 0).
  EXPECT_EQ(ModelTotal("built-in bus", Start::New, "(none)"), 3540 + 3960 + 350);
  EXPECT_EQ(ModelTotal("built-in bus", Start::Configured, "(none)"), 30 + 90 + 350);
  // Mouse mode on a configured current controller: block read (10), position mode (20), then
  // the switch: USB-ID write (no pause), read (20), write, read (20), 200 before returning.
  EXPECT_EQ(ModelTotal("current PCT", Start::Configured, "--mouse"), 10 + 20 + 20 + 20 + 200);
  // Chip 8 at revision 368 has the hybrid modes swapped: hybrid-d is set as mode 4, the same
  // pauses.
  EXPECT_EQ(ModelTotal("current PCT", Start::Configured, "--hybrid-d"), 10 + 20 + 20 + 20 + 200);
  // On a legacy controller the position-mode write and both resets need command mode.
  EXPECT_EQ(ModelTotal("legacy PCT", Start::Configured, "--mouse"),
            40 + 20 + 20 + 30 + 20 + 200 + 30 + 30);
  EXPECT_EQ(ModelTotal("legacy PCT", Start::Configured, "setpos 3"), 20 + 30 + 30 + 30);
  // Digitizer test on a current controller already in mode 1: the cleared area (50) leaves no
  // recorded home ID, so the switch is entered; it finds mode 1 and returns after 200 ms.
  EXPECT_EQ(ModelTotal("current PCT", Start::Configured, "--digi-test"), 50 + 20 + 20 + 200);
  // Reading the identity block of a new controller gives up after 11 failed reads.
  EXPECT_EQ(ModelTotal("current PCT", Start::New, "--sn"), 11 * (10 + 300));
  EXPECT_EQ(ModelTotal("current PCT", Start::New, "getpos"), 20u);
}

// The kernel may end a sleep up to its timer slack late (50 us by default): a run asks for
// exact wake-ups before its first pause.
TEST(RunDriver, AsksTheKernelForExactWakeUps) {
  ASSERT_EQ(prctl(PR_SET_TIMERSLACK, 50000UL), 0);
  busrun::Bus bus(ScenarioNamed("current PCT").json);
  bus.Run({"getpos"});
  EXPECT_EQ(prctl(PR_GET_TIMERSLACK), 1);
  prctl(PR_SET_TIMERSLACK, 0UL); // back to the default
}

class ProtocolWaits : public testing::TestWithParam<size_t> {};

// Every word from both start states: the virtual clock's waits are the model's, and every PCT
// controller of the bus reaches the configuration step (a status reads every one: status 0).
TEST_P(ProtocolWaits, EveryWordWaitsExactlyWhatTheProtocolPrescribes) {
  const Scenario &s = waitmodel::Scenarios()[GetParam()];
  int pctCount = 0;
  for (const Controller &c : s.controllers)
    pctCount += c.kind == Kind::Resistive ? 0 : 1;
  for (Start start : {Start::New, Start::Configured}) {
    for (const Word &word : waitmodel::Words()) {
      SCOPED_TRACE(s.name + ", " + waitmodel::StartName(start) + ", word " + word.label);
      busrun::Bus bus(s.json);
      if (start == Start::Configured)
        bus.Run({});
      busrun::Result r = bus.Run(word.args);
      std::vector<Controller> controllers = waitmodel::ControllersAt(s, start);
      Waits expected = waitmodel::Run(controllers, word);
      EXPECT_EQ(Show(r.waits), Show(expected));
      EXPECT_EQ(r.status, word.op == waitmodel::Op::Status ? 0 : pctCount) << r.out;
    }
  }
}

// A second configured run changes nothing further: the model follows the controllers from run
// to run as the bus does (a mode switch, then the same word again, then back to digitizer).
TEST_P(ProtocolWaits, ConsecutiveRunsFollowTheControllersState) {
  const Scenario &s = waitmodel::Scenarios()[GetParam()];
  busrun::Bus bus(s.json);
  std::vector<Controller> controllers = s.controllers;
  for (const char *label : {"(none)", "--mouse", "--mouse", "--hybrid-m", "--digitizer", "--clean",
                            "(none)", "--rotation", "(none)"}) {
    SCOPED_TRACE(s.name + ", word " + label);
    const Word &word = WordNamed(label);
    busrun::Result r = bus.Run(word.args);
    EXPECT_EQ(Show(r.waits), Show(waitmodel::Run(controllers, word)));
  }
}

std::string ParamName(const testing::TestParamInfo<size_t> &info) {
  std::string name;
  for (char c : waitmodel::Scenarios()[info.param].name)
    if (c != ' ' && c != '-')
      name += c;
  return name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ProtocolWaits,
                         testing::Range<size_t>(0, waitmodel::Scenarios().size()), ParamName);

} // namespace
