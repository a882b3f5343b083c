// Runs of the utility in this process on the virtual bus, timed by the virtual clock: what the
// benchmark and test_waits use to see every pause a run asks for.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/state.h"
#include "default_scenario.h"
#include "lists/registry.h"
#include "run/driver.h"
#include "scan/devtable.h"
#include "vusb.h"

namespace busrun {

struct Result {
  int status = 0;
  std::vector<unsigned> waits; // every pause of the run, in milliseconds, in order
  std::string out;             // standard output
};

// A bus loaded from a scenario (empty: the simulator's built-in bus) and a scratch directory in
// place of the panel directory, holding the scenario's options. The controllers keep their
// state from one Run to the next, as between two runs of panelcfg-sim.
class Bus {
public:
  explicit Bus(const std::string &json) {
    std::string pattern = (std::filesystem::temp_directory_path() / "panelcfg-bus-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("cannot create a scratch directory");
    dir_ = pattern;
    vusb::Reset();
    std::string options = vusb::LoadScenarioText(json.empty() ? kDefaultScenario : json);
    if (!options.empty())
      std::ofstream(dir_ + "/options.ini") << options;
  }
  ~Bus() {
    vusb::Reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  Bus(const Bus &) = delete;
  Bus &operator=(const Bus &) = delete;

  const std::string &Dir() const { return dir_; }

  // One run of panelcfg with these arguments after the program name, from a fresh process's
  // state; the controllers reset during it enumerate again afterwards. Without captureOutput
  // standard output is left where it is.
  Result Run(const std::vector<std::string> &args, bool captureOutput = true) {
    InitRunState();
    ClearRegistries();
    cMyHidInfo = MYHIDINFO{};
    vusb::ClearWaits();
    vusb::ClearLog();

    std::vector<std::string> words = {"panelcfg"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words)
      argv.push_back(w.data());
    argv.push_back(nullptr);

    Result r;
    if (!captureOutput) {
      r.status = PanelcfgMain(static_cast<int>(words.size()), argv.data(), dir_.c_str());
      r.waits = vusb::Waits();
      vusb::ReEnumerate();
      return r;
    }
    FILE *capture = tmpfile();
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    if (capture != nullptr)
      dup2(fileno(capture), STDOUT_FILENO);
    r.status = PanelcfgMain(static_cast<int>(words.size()), argv.data(), dir_.c_str());
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    if (capture != nullptr) {
      rewind(capture);
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, capture)) > 0)
        r.out.append(buf, n);
      fclose(capture);
    }
    r.waits = vusb::Waits();
    vusb::ReEnumerate();
    return r;
  }

private:
  std::string dir_;
};

} // namespace busrun
