// panelcfg-sim: runs the utility on a simulated USB bus whose controllers keep their state
// between runs.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/runlock.h"
#include "base/state.h"
#include "base/stop.h"
#include "default_scenario.h"
#include "run/driver.h"
#include "vusb.h"

namespace {

constexpr int kSimFailure = 125; // the utility's own status is a count of controllers

// Names beside the state file: its lock, and the temporary files it is written through.
constexpr char kLockSuffix[] = ".lock";
constexpr char kTempSuffix[] = ".XXXXXX";
constexpr size_t kLongestSuffix =
    sizeof kLockSuffix > sizeof kTempSuffix ? sizeof kLockSuffix - 1 : sizeof kTempSuffix - 1;
// The utility keeps DIR with a '/' appended in PanelDir.
constexpr size_t kMaxDir = sizeof PanelDir - 2;
constexpr size_t kMaxState = PATH_MAX - 1 - kLongestSuffix;
constexpr size_t kMaxStateName = NAME_MAX - kLongestSuffix;

void PrintHelp() {
  fputs("Usage: panelcfg-sim [OPTION]... [--] [panelcfg arguments]\n"
        "Runs panelcfg on a simulated USB bus. The controllers keep their state (parameter\n"
        "area, position mode, USB IDs, rotation) in a state file from one run to the next.\n"
        "\n"
        "Options, given before panelcfg's own arguments:\n"
        "  --scenario FILE   the bus, as JSON (default: the built-in bus, see --print-scenario)\n"
        "  --state FILE      controller state file (default: ~/.panelcfg-sim/state.json)\n"
        "  --dir DIR         directory in place of /opt/.touch_panel/ for options.ini,\n"
        "                    enabledebug and the files written\n"
        "                    (default: ~/.panelcfg-sim/touch_panel/)\n"
        "  --instant         do not really wait for the protocol pauses\n"
        "  --fresh           start from the scenario, ignoring the saved state\n"
        "  --trace           list every USB call, transfer and pause on standard error\n"
        "  --replay FILE     run on the bus of a recording (panelcfg --record FILE), with its\n"
        "                    command line unless one follows; the first call that differs\n"
        "                    from the recording ends the run with status 124\n"
        "  --print-scenario  print the built-in scenario and exit\n"
        "  --sim-help        show this text and exit\n"
        "\n"
        "Environment (used when the option is not given): PANELCFG_SIM_SCENARIO,\n"
        "PANELCFG_SIM_STATE, PANELCFG_SIM_DIR, PANELCFG_SIM_INSTANT=1.\n"
        "Without a HOME the defaults are under ./panelcfg-sim/. When the scenario names options\n"
        "and DIR has no options.ini, one is written from them.\n"
        "\n"
        "A run that may touch a controller holds the lock FILE.lock (it names the holder's pid)\n"
        "from before the state is loaded until after it is saved; a second run on the same\n"
        "state waits for it (up to 60 s). While the run goes on, FILE is rewritten after every\n"
        "USB call that changed a controller, so a killed run leaves what the controllers' flash\n"
        "holds, a controller it held without its kernel driver included; panelcfg-sim --recover\n"
        "resets such controllers.\n"
        "\n"
        "panelcfg --hotplug keeps its plug-in records in the directory FILE.hotplug.\n"
        "\n"
        "The exit status is panelcfg's; 125 when the simulator itself could not run, 124 when\n"
        "a replay diverges from its recording.\n",
        stdout);
  printf("DIR may be at most %zu bytes long (trailing slashes left out), FILE at most %zu\n"
         "bytes with a last component of at most %zu bytes.\n",
         kMaxDir, kMaxState, kMaxStateName);
}

std::string Env(const char *name) {
  const char *v = getenv(name);
  return v != nullptr ? v : "";
}

// Creates dir and its parents; true when it exists afterwards.
bool MakeDirs(const std::string &dir) {
  for (size_t pos = 1; pos <= dir.size(); pos++) {
    if (pos < dir.size() && dir[pos] != '/')
      continue;
    std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
      return false;
  }
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentOf(const std::string &path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Whether the paths fit where they go; otherwise says which does not and how long it may be.
bool PathsFit(const std::string &dir, const std::string &state) {
  const std::string name = state.substr(state.find_last_of('/') + 1);
  const char *what = nullptr;
  const std::string *path = &state;
  size_t most = 0;
  if (dir.size() > kMaxDir) {
    what = "--dir";
    path = &dir;
    most = kMaxDir;
  } else if (state.size() > kMaxState) {
    what = "--state";
    most = kMaxState;
  } else if (name.size() > kMaxStateName) {
    what = "the file name of --state";
    most = kMaxStateName;
  }
  if (what == nullptr)
    return true;
  fprintf(stderr, "panelcfg-sim: %s is too long (at most %zu bytes): %s\n", what, most,
          path->c_str());
  return false;
}

// --replay FILE: the recorded run on the recorded bus, its command line unless one is given.
// No state is read or saved and no pause waits.
int ReplayMain(const std::string &file, const std::string &dir, const std::string &records,
               char *program, int argc, char **argv) {
  std::vector<std::string> recorded;
  try {
    vusb::LoadReplayFile(file);
    const std::string options = vusb::ReplayOptions();
    const std::string optionsFile = dir + "/options.ini";
    if (!options.empty() && !Exists(optionsFile))
      vusb::WriteFileAtomically(optionsFile, options);
    recorded = vusb::ReplayArguments();
  } catch (const std::exception &e) {
    fprintf(stderr, "panelcfg-sim: %s\n", e.what());
    return kSimFailure;
  }
  std::vector<char *> args;
  args.push_back(program);
  if (argc > 0) {
    for (int i = 0; i < argc; i++)
      args.push_back(argv[i]);
  } else {
    for (std::string &a : recorded)
      args.push_back(a.data());
  }
  args.push_back(nullptr);
  const int status = PanelcfgMain(static_cast<int>(args.size()) - 1, args.data(), dir.c_str(),
                                  nullptr, false, records.c_str());
  fflush(stdout);
  vusb::ReplayEnd(); // recorded calls left over end the replay as a divergence
  return status;
}

} // namespace

int main(int argc, char **argv) {
  std::string scenario = Env("PANELCFG_SIM_SCENARIO");
  std::string state = Env("PANELCFG_SIM_STATE");
  std::string dir = Env("PANELCFG_SIM_DIR");
  std::string instantEnv = Env("PANELCFG_SIM_INSTANT");
  bool instant = !instantEnv.empty() && instantEnv != "0";
  bool fresh = false;
  bool trace = false;
  std::string replay;

  int i = 1;
  for (; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](const char *opt, std::string &into) {
      std::string prefix = std::string(opt) + "=";
      if (a.compare(0, prefix.size(), prefix) == 0) {
        into = a.substr(prefix.size());
        return true;
      }
      if (a != opt)
        return false;
      if (i + 1 >= argc) {
        fprintf(stderr, "panelcfg-sim: %s needs a value\n", opt);
        exit(kSimFailure);
      }
      into = argv[++i];
      return true;
    };
    if (a == "--") {
      i++;
      break;
    }
    if (value("--scenario", scenario) || value("--state", state) || value("--dir", dir) ||
        value("--replay", replay))
      continue;
    if (a == "--instant") {
      instant = true;
    } else if (a == "--fresh") {
      fresh = true;
    } else if (a == "--trace") {
      trace = true;
    } else if (a == "--print-scenario") {
      fputs(kDefaultScenario, stdout);
      return 0;
    } else if (a == "--sim-help") {
      PrintHelp();
      return 0;
    } else {
      break; // the utility's arguments start here
    }
  }

  std::string home = Env("HOME");
  std::string base = home.empty() ? "panelcfg-sim" : home + "/.panelcfg-sim";
  if (state.empty())
    state = base + "/state.json";
  if (dir.empty())
    dir = base + "/touch_panel";
  while (dir.size() > 1 && dir.back() == '/')
    dir.pop_back();
  if (!PathsFit(dir, state))
    return kSimFailure;
  if (!MakeDirs(dir)) {
    fprintf(stderr, "panelcfg-sim: cannot create %s: %s\n", dir.c_str(), strerror(errno));
    return kSimFailure;
  }
  if (!MakeDirs(ParentOf(state))) {
    fprintf(stderr, "panelcfg-sim: cannot create the directory of %s: %s\n", state.c_str(),
            strerror(errno));
    return kSimFailure;
  }

  if (!replay.empty())
    return ReplayMain(replay, dir, state + ".hotplug", argv[0], argc - i, argv + i);

  std::vector<char *> args;
  args.push_back(argv[0]);
  for (; i < argc; i++)
    args.push_back(argv[i]);
  args.push_back(nullptr);
  const int nargs = static_cast<int>(args.size()) - 1;

  // The simulated bus is one machine's: every process shares the controllers through the state
  // file, as programs share a USB bus. Each run reads it at every enumeration and writes back the
  // controllers it changed, and takes the utility's own run lock beside it (a run on the whole
  // bus excludes every other, runs on different devices go on at the same time).
  const bool touches = RunTouchesControllers(nargs, args.data());
  const bool locks = RunTakesLock(nargs, args.data());
  if (locks) {
    // As the utility does: every line reaches a log file as it is printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    InstallStopSignals();
  }
  auto finish = [&](int status) {
    vusb::SetAutoSave("");
    fflush(stdout);
    return status;
  };

  std::string options;
  try {
    options = scenario.empty() ? vusb::LoadScenarioText(kDefaultScenario)
                               : vusb::LoadScenarioFile(scenario);
    if (fresh && touches)
      vusb::SaveStateFile(state); // the file says from the start what the bus starts with
    if (locks)
      vusb::SetSharedState(state);
    else if (!fresh)
      vusb::LoadStateFile(state);
    std::string optionsFile = dir + "/options.ini";
    if (!options.empty() && !Exists(optionsFile))
      vusb::WriteFileAtomically(optionsFile, options);
  } catch (const std::exception &e) {
    fprintf(stderr, "panelcfg-sim: %s\n", e.what());
    return finish(kSimFailure);
  }
  vusb::SetRealTime(!instant);

  // A stop signal before the utility's run: nothing has been touched yet.
  if (locks && StopSignal() != 0) {
    DebugMsg(0, "interrupted by %s before the run; nothing done\n", StopSignalName(StopSignal()));
    return finish(128 + StopSignal());
  }
  // The hotplug handler's plug-in records live beside the state file, not in /run.
  const std::string records = state + ".hotplug";
  const std::string lockPath = state + kLockSuffix;
  int status = PanelcfgMain(nargs, args.data(), dir.c_str(), locks ? lockPath.c_str() : nullptr,
                            false, records.c_str());
  fflush(stdout);

  if (trace)
    for (const vusb::Entry &e : vusb::Log())
      fprintf(stderr, "vusb: %-12s %s\n", e.device >= 0 ? vusb::Dev(e.device).name.c_str() : "",
              vusb::Describe(e).c_str());

  // A run that touches nothing saves nothing: it holds no lock, and another run may be saving.
  if (!touches)
    return finish(status);
  // The controllers reset during the run enumerate again, under the IDs they were given.
  vusb::ReEnumerate();
  try {
    vusb::SaveStateFile(state);
  } catch (const std::exception &e) {
    fprintf(stderr, "panelcfg-sim: %s\n", e.what());
    return finish(kSimFailure);
  }
  return finish(status);
}
