// panelcfg-sim: runs the utility on a simulated USB bus whose controllers keep their state
// between runs.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "default_scenario.h"
#include "run/driver.h"
#include "vusb.h"

namespace {

constexpr int kSimFailure = 125; // the utility's own status is a count of controllers

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
        "  --print-scenario  print the built-in scenario and exit\n"
        "  --sim-help        show this text and exit\n"
        "\n"
        "Environment (used when the option is not given): PANELCFG_SIM_SCENARIO,\n"
        "PANELCFG_SIM_STATE, PANELCFG_SIM_DIR, PANELCFG_SIM_INSTANT=1.\n"
        "Without a HOME the defaults are under ./panelcfg-sim/. When the scenario names options\n"
        "and DIR has no options.ini, one is written from them.\n"
        "\n"
        "The exit status is panelcfg's; 125 when the simulator itself could not run.\n",
        stdout);
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

} // namespace

int main(int argc, char **argv) {
  std::string scenario = Env("PANELCFG_SIM_SCENARIO");
  std::string state = Env("PANELCFG_SIM_STATE");
  std::string dir = Env("PANELCFG_SIM_DIR");
  std::string instantEnv = Env("PANELCFG_SIM_INSTANT");
  bool instant = !instantEnv.empty() && instantEnv != "0";
  bool fresh = false;
  bool trace = false;

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
    if (value("--scenario", scenario) || value("--state", state) || value("--dir", dir))
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
  if (!MakeDirs(dir)) {
    fprintf(stderr, "panelcfg-sim: cannot create %s: %s\n", dir.c_str(), strerror(errno));
    return kSimFailure;
  }

  std::string options;
  try {
    options = scenario.empty() ? vusb::LoadScenarioText(kDefaultScenario)
                               : vusb::LoadScenarioFile(scenario);
    if (!fresh)
      vusb::LoadStateFile(state);
  } catch (const std::exception &e) {
    fprintf(stderr, "panelcfg-sim: %s\n", e.what());
    return kSimFailure;
  }
  std::string optionsFile = dir + "/options.ini";
  if (!options.empty() && !Exists(optionsFile)) {
    FILE *f = fopen(optionsFile.c_str(), "w");
    if (f == nullptr || fputs(options.c_str(), f) < 0 || fclose(f) != 0) {
      fprintf(stderr, "panelcfg-sim: cannot write %s: %s\n", optionsFile.c_str(), strerror(errno));
      return kSimFailure;
    }
  }
  vusb::SetRealTime(!instant);

  std::vector<char *> args;
  args.push_back(argv[0]);
  for (; i < argc; i++)
    args.push_back(argv[i]);
  args.push_back(nullptr);
  int status = PanelcfgMain(static_cast<int>(args.size()) - 1, args.data(), dir.c_str());
  fflush(stdout);

  if (trace)
    for (const vusb::Entry &e : vusb::Log())
      fprintf(stderr, "vusb: %-12s %s\n", e.device >= 0 ? vusb::Dev(e.device).name.c_str() : "",
              vusb::Describe(e).c_str());

  // The controllers reset during the run enumerate again, under the IDs they were given.
  vusb::ReEnumerate();
  try {
    if (!MakeDirs(ParentOf(state)))
      throw std::runtime_error("cannot create the directory of " + state);
    vusb::SaveStateFile(state);
  } catch (const std::exception &e) {
    fprintf(stderr, "panelcfg-sim: %s\n", e.what());
    return kSimFailure;
  }
  return status;
}
