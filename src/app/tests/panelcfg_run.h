// Test helpers: whole runs of the utility in a scratch panel directory, with what they print.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "base/state.h"
#include "base/stop.h"
#include "captured.h"
#include "run/driver.h"
#include "scan/devtable.h"
#include "scratch_dir.h"
#include "vusb.h"

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

// One run of the utility with the given arguments after the program name, its panel directory
// dir.
inline RunResult RunPanelcfg(const std::string &dir, std::vector<std::string> args) {
  args.insert(args.begin(), "panelcfg");
  std::vector<char *> argv;
  for (std::string &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  RunResult r;
  const Output o = Captured(
      [&] { r.status = PanelcfgMain(static_cast<int>(args.size()), argv.data(), dir.c_str()); });
  r.out = o.out;
  r.err = o.err;
  return r;
}

inline RunResult RunPanelcfg(const ScratchDir &dir, std::vector<std::string> args) {
  return RunPanelcfg(dir.Path(), std::move(args));
}

// Every test starts and ends with the run state, the registries, the bus and the table of
// supported devices of a fresh process, and has a panel directory of its own.
class RunTest : public RunStateTest {
protected:
  void SetUp() override {
    RunStateTest::SetUp();
    vusb::Reset();
    cMyHidInfo = MYHIDINFO{};
  }
  void TearDown() override {
    cMyHidInfo = MYHIDINFO{};
    vusb::Reset();
    // A run installs the stop-signal handlers: the next test starts with the defaults.
    ClearStopSignals();
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
      signal(sig, SIG_DFL);
    RunStateTest::TearDown();
  }
  ScratchDir dir_;
};
