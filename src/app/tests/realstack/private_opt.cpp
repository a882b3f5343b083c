#include "private_opt.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern char **environ;

namespace realstack {
namespace {

// Steps the child takes before it runs the program.
enum Step {
  kUnshare = 1,
  kPrivate,
  kTmpfs,
  kPanelDir,
  kBind,
  kRun,
  kStdio,
  kExec,
  kReadOnly,
  kSmallTmpfs,
  kFork,
  // Not failures: the child of a full panel directory tells where it is.
  kReady, // the namespace is set up; the parent fills the panel directory
  kEnded, // the program has ended; err is its wait status
};

const char *StepName(int step) {
  switch (step) {
  case kUnshare:
    return "unshare(CLONE_NEWNS)";
  case kPrivate:
    return "making / private";
  case kTmpfs:
    return "mounting a tmpfs on /opt";
  case kPanelDir:
    return "creating /opt/.touch_panel";
  case kBind:
    return "binding the panel directory";
  case kRun:
    return "mounting a tmpfs on /run";
  case kStdio:
    return "redirecting the standard streams";
  case kReadOnly:
    return "making the panel directory read-only";
  case kSmallTmpfs:
    return "mounting a small tmpfs on the panel directory";
  case kFork:
    return "fork";
  default:
    return "execve";
  }
}

struct SetupFailure {
  int step;
  int err;
};

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string NameOf(const std::string &entry) { return entry.substr(0, entry.find('=')); }

// Reads one report of the child; false on end of file or when none came within two minutes.
bool ReadReport(int fd, SetupFailure &report) {
  pollfd p{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, 120000);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0)
    return false;
  ssize_t n;
  do {
    n = read(fd, &report, sizeof report);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof report);
}

// Replaces the regular files of to with those of from, modes and owners kept, leaving out skip.
// Empty when done, else what went wrong.
std::string CopyFiles(const std::string &from, const std::string &to, const std::string &skip) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(to, ec)) {
    std::error_code missing;
    if (!fs::exists(fs::symlink_status(from + "/" + e.path().filename().string(), missing)))
      fs::remove_all(e.path(), ec);
  }
  for (const auto &e : fs::directory_iterator(from, ec)) {
    const std::string name = e.path().filename().string();
    struct stat st;
    if (name == skip || lstat(e.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      continue;
    const std::string target = to + "/" + name;
    fs::remove(target, ec);
    if (!fs::copy_file(e.path(), target, ec))
      return "copying " + name + ": " + ec.message();
    if (chown(target.c_str(), st.st_uid, st.st_gid) != 0 ||
        chmod(target.c_str(), st.st_mode & 07777) != 0)
      return "keeping the mode of " + name + ": " + strerror(errno);
  }
  return ec ? "listing " + from + ": " + ec.message() : "";
}

// Writes to the file at path until the file system is full.
std::string FillUp(const std::string &path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    return "creating " + path + ": " + strerror(errno);
  const std::string block(4096, '#');
  ssize_t n;
  do {
    n = write(fd, block.data(), block.size());
  } while (n > 0);
  const int err = errno;
  close(fd);
  return n < 0 && err == ENOSPC ? "" : "filling " + path + ": " + strerror(err);
}

} // namespace

ChildRun RunWithPrivateOpt(const std::string &binary, const std::vector<std::string> &args,
                           const std::vector<std::string> &env, const std::string &panelDir,
                           const std::string &work, PanelMount mount) {
  ChildRun r;
  if (geteuid() != 0) {
    r.outcome = ChildRun::Outcome::Unavailable;
    r.why = "a private mount namespace needs root";
    return r;
  }

  // Everything the child needs is prepared here: after fork it makes system calls only.
  std::vector<std::string> argStrings{binary};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings;
  for (char **e = environ; *e != nullptr; e++) {
    bool replaced = false;
    for (const std::string &mine : env)
      replaced = replaced || NameOf(mine) == NameOf(*e);
    if (!replaced)
      envStrings.emplace_back(*e);
  }
  envStrings.insert(envStrings.end(), env.begin(), env.end());
  std::vector<char *> argv;
  for (std::string &a : argStrings)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (std::string &e : envStrings)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  const std::string outPath = work + "/stdout";
  const std::string errPath = work + "/stderr";
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int report[2] = {-1, -1};
  int go[2] = {-1, -1}; // the parent lets a child of a full panel directory go on
  if (in < 0 || out < 0 || err < 0 || pipe2(report, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0) {
    r.why = std::string("preparing the child: ") + strerror(errno);
    for (int fd : {in, out, err, report[0], report[1], go[0], go[1]})
      if (fd >= 0)
        close(fd);
    return r;
  }
  const bool full = mount == PanelMount::Full;

  const pid_t pid = fork();
  if (pid == 0) {
    auto fail = [&](int step) {
      SetupFailure f{step, errno};
      ssize_t ignored = write(report[1], &f, sizeof f);
      (void)ignored;
      _exit(127);
    };
    if (unshare(CLONE_NEWNS) != 0)
      fail(kUnshare);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      fail(kPrivate);
    if (::mount("tmpfs", "/opt", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=4m") != 0)
      fail(kTmpfs);
    if (mkdir("/opt/.touch_panel", 0755) != 0)
      fail(kPanelDir);
    if (full) {
      // A few pages, which the parent fills up.
      if (::mount("tmpfs", "/opt/.touch_panel", "tmpfs", MS_NOSUID | MS_NODEV,
                  "mode=0755,size=64k") != 0)
        fail(kSmallTmpfs);
    } else if (::mount(panelDir.c_str(), "/opt/.touch_panel", nullptr, MS_BIND, nullptr) != 0) {
      fail(kBind);
    }
    if (mount == PanelMount::ReadOnly && ::mount(nullptr, "/opt/.touch_panel", nullptr,
                                                 MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
      fail(kReadOnly);
    // A /run of its own: the run lock of every test child is its own, never the machine's.
    if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=1m") != 0)
      fail(kRun);
    if (full) {
      // This child holds the namespace for the parent to fill the panel directory before the
      // program runs and to copy it back after; the program runs in a child of its own.
      char byte = 0;
      SetupFailure ready{kReady, 0};
      if (write(report[1], &ready, sizeof ready) != static_cast<ssize_t>(sizeof ready) ||
          read(go[0], &byte, 1) != 1)
        _exit(127);
      const pid_t program = fork();
      if (program < 0)
        fail(kFork);
      if (program > 0) {
        SetupFailure ended{kEnded, 0};
        while (waitpid(program, &ended.err, 0) < 0 && errno == EINTR) {
        }
        // Then it waits until the parent has copied the panel directory back.
        if (write(report[1], &ended, sizeof ended) == static_cast<ssize_t>(sizeof ended) &&
            read(go[0], &byte, 1) == 1)
          _exit(0);
        _exit(127);
      }
      prctl(PR_SET_PDEATHSIG, SIGKILL);
    }
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
      fail(kStdio);
    execve(argv[0], argv.data(), envp.data());
    fail(kExec);
  }
  close(report[1]);
  close(go[0]);
  close(in);
  close(out);
  close(err);
  if (pid < 0) {
    r.why = std::string("fork: ") + strerror(errno);
    close(report[0]);
    close(go[1]);
    return r;
  }

  SetupFailure failure{};
  ssize_t n;
  do {
    n = read(report[0], &failure, sizeof failure);
  } while (n < 0 && errno == EINTR);
  int programStatus = -1;
  if (full && n == static_cast<ssize_t>(sizeof failure) && failure.step == kReady) {
    // The panel directory as the test made it, then no room left; once the program has ended,
    // what it left goes back to the test's directory.
    const std::string inside = "/proc/" + std::to_string(pid) + "/root/opt/.touch_panel";
    std::string why = CopyFiles(panelDir, inside, "");
    if (why.empty())
      why = FillUp(inside + "/.fill");
    if (why.empty() && write(go[1], "g", 1) != 1)
      why = std::string("starting the program: ") + strerror(errno);
    SetupFailure ended{};
    if (why.empty() && !ReadReport(report[0], ended))
      why = binary + " did not end within two minutes";
    if (why.empty() && ended.step == kEnded) {
      programStatus = ended.err;
      why = CopyFiles(inside, panelDir, ".fill");
      n = 0; // the program ran
    } else if (why.empty()) {
      failure = ended; // the program's child could not start it
    }
    if (write(go[1], "g", 1) != 1 && why.empty())
      why = std::string("ending the child: ") + strerror(errno);
    if (!why.empty()) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      close(report[0]);
      close(go[1]);
      r.why = why;
      return r;
    }
  }
  close(report[0]);
  close(go[1]);

  // A safety net for a child that hangs; a run takes a few seconds at most.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  int wstatus = 0;
  for (;;) {
    pid_t done = waitpid(pid, &wstatus, WNOHANG);
    if (done == pid)
      break;
    if (done < 0 && errno != EINTR) {
      r.why = std::string("waitpid: ") + strerror(errno);
      return r;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      r.why = binary + " did not end within two minutes";
      return r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  if (n == static_cast<ssize_t>(sizeof failure)) {
    r.why = std::string(StepName(failure.step)) + ": " + strerror(failure.err);
    const bool refused = failure.err == EPERM || failure.err == EACCES || failure.err == ENOSYS ||
                         failure.err == EINVAL || (failure.step == kTmpfs && failure.err == ENOENT);
    r.outcome = failure.step <= kTmpfs && refused ? ChildRun::Outcome::Unavailable
                                                  : ChildRun::Outcome::Failed;
    return r;
  }
  r.outcome = ChildRun::Outcome::Ran;
  if (full)
    wstatus = programStatus;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.out = ReadAll(outPath);
  r.err = ReadAll(errPath);
  return r;
}

} // namespace realstack
