// panelcfg-bench: what panelcfg adds to the pauses its controller protocols prescribe. Prints
// Markdown tables:
//   1. the pauses of every run on the virtual clock, next to the total the protocol rules give
//      (wait_model.h), for each scenario, start state and operation word;
//   2. wall time of panelcfg-sim with real pauses against that total, on the built-in bus;
//   3. CPU time (user + system) of a run over 10, 100 and 1,000 devices that are no panels;
//   4. peak resident memory of panelcfg and panelcfg-sim.
// Usage: panelcfg-bench [--no-wall] [--repeat N]
//   --no-wall leaves out table 2 (N runs of each word with real pauses, N = 3: three minutes);
//   --repeat N sets how many runs its medians are taken over.
// Exit status 1 when a run's pauses differ from the protocol's or a bound is exceeded.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bus_run.h"
#include "wait_model.h"

namespace {

namespace fs = std::filesystem;
using waitmodel::Start;
using waitmodel::Word;

constexpr long kTmpfsMagic = 0x01021994;
bool failed = false;

// ---------------------------------------------------------------------------------------------
// Helpers

double Ms(const timespec &a, const timespec &b) {
  return static_cast<double>(b.tv_sec - a.tv_sec) * 1e3 +
         static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e6;
}

double Ms(const timeval &t) {
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// The same pauses slept back to back by a bare loop, as the sleep helper sleeps them: what any
// program would take for them on this machine now.
double BarePausesMs(const waitmodel::Waits &waits) {
  timespec t0{};
  timespec t1{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  for (unsigned ms : waits) {
    timespec req = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
      req = rem;
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  return Ms(t0, t1);
}

// A scratch directory, removed with its content.
class Scratch {
public:
  explicit Scratch(const fs::path &base) {
    std::string pattern = (base / "panelcfg-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      perror("panelcfg-bench: mkdtemp");
      exit(2);
    }
    path_ = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
  fs::path path_;
};

bool IsTmpfs(const fs::path &p) {
  struct statfs st;
  return statfs(p.c_str(), &st) == 0 && static_cast<long>(st.f_type) == kTmpfsMagic;
}

// A directory in memory when there is one, so that writing the list files to disk (measured
// apart in table 2b) does not blur the pauses.
fs::path MemoryBase() {
  if (access("/dev/shm", W_OK) == 0 && IsTmpfs("/dev/shm"))
    return "/dev/shm";
  return fs::temp_directory_path();
}

struct ChildRun {
  int status = -1;
  double wallMs = 0;
  double cpuMs = 0; // user + system
  double userMs = 0;
  double sysMs = 0;
};

// Starts a program with its output discarded; its pid.
pid_t StartChild(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Runs a program with its output discarded; wall time, CPU time and peak memory of the child.
ChildRun Spawn(const std::vector<std::string> &args) {
  timespec t0{};
  timespec t1{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  const pid_t pid = StartChild(args);
  ChildRun r;
  int st = 0;
  struct rusage ru {};
  if (pid < 0 || wait4(pid, &st, 0, &ru) != pid) {
    perror("panelcfg-bench: cannot run a child");
    exit(2);
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.wallMs = Ms(t0, t1);
  r.userMs = Ms(ru.ru_utime);
  r.sysMs = Ms(ru.ru_stime);
  r.cpuMs = r.userMs + r.sysMs;
  return r;
}

std::string FirstLineWith(const char *file, const char *key) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) {
      size_t colon = line.find(':');
      std::string v = colon == std::string::npos ? line : line.substr(colon + 1);
      v.erase(0, v.find_first_not_of(" \t"));
      return v;
    }
  return "unknown";
}

// Peak resident memory of a program's own image, in KiB: VmHWM read when it is about to exit
// (stopped there under ptrace). The rusage of a child is no use here: Linux carries into it
// the resident size of the forked parent it was exec'd from.
long PeakRssKiB(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  long peak = -1;
  int st = 0;
  bool first = true;
  while (pid > 0 && waitpid(pid, &st, 0) == pid && WIFSTOPPED(st)) {
    int sig = 0;
    if (first) { // stopped at the exec
      ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
      first = false;
    } else if (st >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      std::string hwm =
          FirstLineWith(("/proc/" + std::to_string(pid) + "/status").c_str(), "VmHWM");
      peak = strtol(hwm.c_str(), nullptr, 10);
    } else {
      sig = WSTOPSIG(st);
    }
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<long>(sig)));
  }
  return peak;
}

// A bus of n devices that are no panels, 100 to a bus.
std::string PlainBus(int n) {
  std::string json = "{ \"devices\": [\n";
  for (int i = 0; i < n; i++) {
    char dev[160];
    snprintf(dev, sizeof dev,
             "  { \"name\": \"other%d\", \"model\": \"plain\", \"bus\": %d, \"vid\": \"0x0F0F\","
             " \"pid\": \"0x%04X\" }%s\n",
             i, 1 + i / 100, i + 1, i + 1 < n ? "," : "");
    json += dev;
  }
  json += "] }\n";
  return json;
}

// ---------------------------------------------------------------------------------------------
// 1. Pauses per run against the protocol's

void WaitTable() {
  printf("## 1. Pauses per run: virtual clock against the protocol\n\n"
         "Each run starts from the scenario's controllers (new: no identity block yet) or after "
         "one run without a word (configured). *Clock* is the sum of the pauses the run asked "
         "for; *protocol* is the sum the protocol rules prescribe for that path; *same* says "
         "whether the two sequences of pauses are identical.\n\n");
  printf("| scenario | start | word | clock (ms) | protocol (ms) | same |\n");
  printf("|---|---|---|---:|---:|---|\n");
  for (const waitmodel::Scenario &s : waitmodel::Scenarios()) {
    for (Start start : {Start::New, Start::Configured}) {
      for (const Word &word : waitmodel::Words()) {
        busrun::Bus bus(s.json);
        if (start == Start::Configured)
          bus.Run({});
        busrun::Result r = bus.Run(word.args);
        std::vector<waitmodel::Controller> controllers = waitmodel::ControllersAt(s, start);
        waitmodel::Waits expected = waitmodel::Run(controllers, word);
        bool same = r.waits == expected;
        failed = failed || !same;
        printf("| %s | %s | %s | %u | %u | %s |\n", s.name.c_str(), waitmodel::StartName(start),
               word.label.c_str(), waitmodel::Total(r.waits), waitmodel::Total(expected),
               same ? "yes" : "**no**");
      }
    }
  }
  printf("\n");
}

// ---------------------------------------------------------------------------------------------
// 2. Wall time with real pauses

std::vector<std::string> SimArgs(const Scratch &dir, bool fresh, bool instant,
                                 const std::vector<std::string> &extra) {
  std::vector<std::string> a = {PANELCFG_SIM_BIN, "--state", dir / "state.json", "--dir",
                                dir / "panel"};
  if (fresh)
    a.emplace_back("--fresh");
  if (instant)
    a.emplace_back("--instant");
  a.insert(a.end(), extra.begin(), extra.end());
  return a;
}

// One timed run of the built-in bus from a start state; the configured state is prepared by
// an instant run without a word.
ChildRun TimedSimRun(const fs::path &base, Start start, const Word &word, bool instant) {
  Scratch dir(base);
  if (start == Start::Configured)
    Spawn(SimArgs(dir, true, true, {}));
  return Spawn(SimArgs(dir, start == Start::New, instant, word.args));
}

void WallTable(const fs::path &base, int repeat) {
  const waitmodel::Scenario &bus = waitmodel::Scenarios().front();
  printf("## 2. Wall time with real pauses (panelcfg-sim, built-in bus)\n\n"
         "*Protocol* is the sum of the prescribed pauses; *wall* the elapsed time of the whole "
         "panelcfg-sim process (start, scenario, run, list files, state file), median of %d; "
         "*added* = wall - protocol, allowed up to 1 %% of the protocol total plus 5 ms. *Bare "
         "pauses* is the same sequence of pauses slept by a bare loop (the machine's own "
         "lateness in waking up, which no program avoids); *instant* the same run with the "
         "pauses skipped. Panel directory and state under %s%s.\n\n",
         repeat, base.c_str(), IsTmpfs(base) ? " (tmpfs)" : "");
  printf("| start | word | protocol (ms) | wall (ms) | added (ms) | wall / protocol | allowed "
         "(ms) | within | bare pauses (ms) | instant (ms) |\n");
  printf("|---|---|---:|---:|---:|---:|---:|---|---:|---:|\n");
  double sumProtocol = 0;
  double sumWall = 0;
  double sumBare = 0;
  for (Start start : {Start::New, Start::Configured}) {
    for (const Word &word : waitmodel::Words()) {
      std::vector<waitmodel::Controller> controllers = waitmodel::ControllersAt(bus, start);
      waitmodel::Waits waits = waitmodel::Run(controllers, word);
      double protocol = waitmodel::Total(waits);
      std::vector<double> walls;
      std::vector<double> bares;
      std::vector<double> instants;
      bool statusOk = true;
      for (int i = 0; i < repeat; i++) {
        ChildRun real = TimedSimRun(base, start, word, false);
        // Two PCT controllers configured; a status that read every controller exits with 0.
        statusOk = statusOk && real.status == (word.op == waitmodel::Op::Status ? 0 : 2);
        walls.push_back(real.wallMs);
        bares.push_back(BarePausesMs(waits));
        instants.push_back(TimedSimRun(base, start, word, true).wallMs);
      }
      double wall = Median(walls);
      double bare = Median(bares);
      double added = wall - protocol;
      double allowed = protocol * 0.01 + 5;
      bool within = added <= allowed && statusOk;
      failed = failed || !within;
      sumProtocol += protocol;
      sumWall += wall;
      sumBare += bare;
      printf("| %s | %s | %.0f | %.1f | %.1f | %.4f | %.1f | %s | %.1f | %.1f |\n",
             waitmodel::StartName(start), word.label.c_str(), protocol, wall, added,
             wall / protocol, allowed, within ? "yes" : "**no**", bare, Median(instants));
    }
  }
  printf("| all | | %.0f | %.1f | %.1f | %.4f | | | %.1f | |\n\n", sumProtocol, sumWall,
         sumWall - sumProtocol, sumWall / sumProtocol, sumBare);
}

// The list files are written to a fresh file and renamed over the old one (no flush to disk):
// the panel directory on disk should cost about as much as in memory.
// 2c. Panels plugged in at once: one hotplug handler per new panel, each its own process on one
// simulated bus with real pauses, as udev starts them.

// Starts the handlers of panels 1-1 .. 1-n of bus at once; the time until the last has exited,
// and whether every one exited with 0.
ChildRun PlugInAtOnce(const Scratch &dir, const fs::path &bus, int n) {
  std::vector<pid_t> pids;
  timespec t0{};
  timespec t1{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  for (int i = 1; i <= n; i++)
    pids.push_back(StartChild(
        SimArgs(dir, false, false, {"--scenario", bus, "--hotplug", "1-" + std::to_string(i)})));
  ChildRun r;
  r.status = 0;
  for (pid_t pid : pids) {
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st) || WEXITSTATUS(st) != 0)
      r.status = 1;
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  r.wallMs = Ms(t0, t1);
  return r;
}

// How many controllers of bus read in mouse mode afterwards.
int InMouseMode(const Scratch &dir, const fs::path &bus) {
  const fs::path out = dir / "status.txt";
  std::vector<std::string> args = SimArgs(dir, false, true, {"--scenario", bus, "--status"});
  std::string cmd;
  for (const std::string &a : args)
    cmd += "'" + a + "' ";
  cmd += ">'" + out.string() + "' 2>/dev/null";
  if (system(cmd.c_str()) == -1)
    return -1;
  std::ifstream in(out);
  std::string line;
  int n = 0;
  while (std::getline(in, line))
    n += line.find("mode 2 (mouse)") != std::string::npos ? 1 : 0;
  return n;
}

void HotplugTable(const fs::path &base, int repeat) {
  const double runPauses = 3780; // a new current PCT panel's --mouse, table 1
  printf("## 2c. New panels plugged in at once (panelcfg-sim --hotplug, real pauses)\n\n"
         "Each panel's handler is its own process on one simulated bus, as udev starts them "
         "(site mode mouse in Util.conf, new current-generation panels); *wall* is the time until "
         "the last handler has exited, the median of %d. Targets: one panel within its run's "
         "pauses (%.0f ms) + 500 ms; eight within 1.25 x one panel's time + 1 s; sixteen with "
         "none left unconfigured and no lock wait given up.\n\n",
         repeat, runPauses);
  printf("| panels | wall (ms) | all exited 0 | in mouse mode | target (ms) | within |\n"
         "|---:|---:|---|---:|---:|---|\n");
  double one = 0;
  for (int n : {1, 8, 16}) {
    std::vector<double> walls;
    bool ok = true;
    int inMode = n;
    for (int k = 0; k < repeat; k++) {
      Scratch dir(base);
      const fs::path bus = dir / "bus.json";
      std::ofstream(bus) << "{\"devices\":[" << [n] {
        std::string d;
        for (int i = 0; i < n; i++)
          d += std::string(i == 0 ? "" : ",") + "{\"model\":\"pct-current\"}";
        return d;
      }() << "]}";
      Spawn(SimArgs(dir, false, true, {"--scenario", bus, "--site-mode", "mouse"}));
      const ChildRun r = PlugInAtOnce(dir, bus, n);
      ok = ok && r.status == 0;
      inMode = std::min(inMode, InMouseMode(dir, bus));
      walls.push_back(r.wallMs);
    }
    const double wall = Median(walls);
    if (n == 1)
      one = wall;
    const double target = n == 1 ? runPauses + 500 : n == 8 ? 1.25 * one + 1000 : 0;
    const bool within = ok && inMode == n && (target == 0 || wall <= target);
    failed = failed || !within;
    char targetText[32] = "-";
    if (target > 0)
      snprintf(targetText, sizeof targetText, "%.0f", target);
    printf("| %d | %.0f | %s | %d | %s | %s |\n", n, wall, ok ? "yes" : "**no**", inMode,
           targetText, within ? "yes" : "**no**");
  }
  printf("\n");
}

void FlushTable(const fs::path &memory) {
  fs::path disk = fs::temp_directory_path();
  printf("### 2b. The list files on disk and in memory\n\n"
         "Median wall time of 7 instant runs of panelcfg-sim (configured built-in bus, no word: "
         "six list files written and renamed), with the panel directory in memory and on "
         "disk.\n\n");
  printf("| panel directory | file system | wall (ms) |\n|---|---|---:|\n");
  for (const fs::path &base : {memory, disk}) {
    std::vector<double> walls;
    for (int i = 0; i < 7; i++)
      walls.push_back(
          TimedSimRun(base, Start::Configured, waitmodel::Words().front(), true).wallMs);
    printf("| %s | %s | %.1f |\n", base.c_str(), IsTmpfs(base) ? "tmpfs" : "disk", Median(walls));
  }
  printf("\n");
}

// ---------------------------------------------------------------------------------------------
// 3. CPU time of a run over many devices

// CPU time (user + system) of this process, in milliseconds.
double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void CpuTable(const fs::path &base) {
  printf("## 3. CPU time of a run over devices that are no panels\n\n"
         "In this process, on the virtual bus, panelcfg's run without a word repeated *runs* "
         "times. *Run* is its CPU time (user + system) per run; *bus* the virtual bus's share "
         "(the enumerations that usb_find_busses and usb_find_devices make, and the one after "
         "the run), measured alone; *panelcfg* = run - bus, the utility's own scan. "
         "*Marginal* is its extra time per extra device against the row above. Last two "
         "columns: the whole panelcfg-sim --instant process on a scenario file with the same "
         "devices (scenario parsing and state file included), median of 5.\n\n");
  printf("| devices | runs | run (ms) | bus (ms) | panelcfg (ms) | panelcfg per device (us) "
         "| marginal (us/device) | panelcfg-sim CPU (ms) | panelcfg-sim peak RSS (KiB) |\n");
  printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  int prevN = 0;
  double prevOwn = 0;
  for (int n : {10, 100, 1000}) {
    std::string json = PlainBus(n);
    busrun::Bus bus(json);
    int runs = std::max(2000, 1000000 / n);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    bus.Run({}, false); // warm-up
    // Runs and enumerations alternate in rounds, so that a change of load or clock speed
    // falls on both alike.
    constexpr int kRounds = 20;
    double runCpu = 0;
    double busCpu = 0;
    for (int round = 0; round < kRounds; round++) {
      double t0 = CpuMs();
      for (int i = 0; i < runs / kRounds; i++)
        bus.Run({}, false);
      double t1 = CpuMs();
      for (int i = 0; i < runs / kRounds; i++) {
        usb_init();
        usb_find_busses();
        usb_find_devices();
        vusb::ReEnumerate();
        vusb::ClearLog();
      }
      double t2 = CpuMs();
      runCpu += t1 - t0;
      busCpu += t2 - t1;
    }
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(null);
    double run = runCpu / runs;
    double enumeration = busCpu / runs;
    double own = run - enumeration;

    Scratch dir(base);
    std::ofstream(dir / "bus.json") << json;
    std::vector<std::string> sim = {PANELCFG_SIM_BIN, "--instant",      "--fresh",
                                    "--scenario",     dir / "bus.json", "--state",
                                    dir / "s.json",   "--dir",          dir / "panel"};
    std::vector<double> simCpu;
    for (int i = 0; i < 5; i++)
      simCpu.push_back(Spawn(sim).cpuMs);
    long rss = PeakRssKiB(sim);
    std::string marginal;
    if (prevN > 0) {
      char m[32];
      snprintf(m, sizeof m, "%.3f", (own - prevOwn) * 1e3 / (n - prevN));
      marginal = m;
    }
    printf("| %d | %d | %.4f | %.4f | %.4f | %.3f | %s | %.1f | %ld |\n", n, runs, run, enumeration,
           own, own * 1e3 / n, marginal.c_str(), Median(simCpu), rss);
    prevN = n;
    prevOwn = own;
  }
  printf("\n");
}

// ---------------------------------------------------------------------------------------------
// 4. Peak resident memory

void MemoryTable(const fs::path &base) {
  printf("## 4. Peak resident memory\n\n"
         "VmHWM of each program just before it exits.\n\n");
  printf("| program | run | peak RSS (KiB) |\n|---|---|---:|\n");
  // The real program on the system's libusb: a full run where the machine has no USB bus
  // (nothing is opened or written), else the read-only listing.
  bool noBus = access("/dev/bus/usb", F_OK) != 0 && access("/proc/bus/usb", F_OK) != 0;
  std::vector<std::string> real = {PANELCFG_BIN};
  if (!noBus)
    real.emplace_back("--list");
  printf("| panelcfg | %s | %ld |\n",
         noBus ? "no word, empty bus (system libusb)" : "--list (system libusb)", PeakRssKiB(real));
  Scratch fresh(base);
  printf("| panelcfg-sim --instant | built-in bus, new, no word | %ld |\n",
         PeakRssKiB(SimArgs(fresh, true, true, {})));
  printf("| panelcfg-sim --instant | built-in bus, configured, --mouse | %ld |\n",
         PeakRssKiB(SimArgs(fresh, false, true, {"--mouse"})));
  printf("| panelcfg-sim --instant | 1,000 devices that are no panels | table 3 |\n\n");
}

void Machine() {
  struct utsname u {};
  uname(&u);
  printf("# panelcfg benchmarks\n\n");
  printf("- processors: %ld online, %s\n", sysconf(_SC_NPROCESSORS_ONLN),
         FirstLineWith("/proc/cpuinfo", "model name").c_str());
  printf("- memory: %s\n", FirstLineWith("/proc/meminfo", "MemTotal").c_str());
  printf("- system: %s %s %s\n", u.sysname, u.release, u.machine);
  printf("- compiler: g++ %s, %s build\n", __VERSION__, PANELCFG_BUILD_TYPE);
  printf("- load when started: %s\n\n", FirstLineWith("/proc/loadavg", "").c_str());
}

} // namespace

int main(int argc, char **argv) {
  bool wall = true;
  int repeat = 3;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--no-wall") == 0) {
      wall = false;
    } else if (strcmp(argv[i], "--repeat") == 0 && i + 1 < argc && atoi(argv[i + 1]) > 0) {
      repeat = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: panelcfg-bench [--no-wall] [--repeat N]\n");
      return 2;
    }
  }
  prctl(PR_SET_TIMERSLACK, 1UL); // the bare pauses wake as panelcfg's do
  fs::path memory = MemoryBase();
  Machine();
  WaitTable();
  if (wall) {
    WallTable(memory, repeat);
    HotplugTable(memory, repeat);
    FlushTable(memory);
  }
  CpuTable(memory);
  MemoryTable(memory);
  printf("Result: %s\n", failed ? "a run waited other than the protocol prescribes, or "
                                  "exceeded a bound (marked **no**)"
                                : "every run within its bounds");
  return failed ? 1 : 0;
}
