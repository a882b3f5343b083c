#include "private_opt.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

extern char **environ;

namespace realstack {
namespace {

// Steps the child takes before it runs the program.
enum Step { kUnshare = 1, kPrivate, kTmpfs, kPanelDir, kBind, kRun, kStdio, kExec };

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

} // namespace

ChildRun RunWithPrivateOpt(const std::string &binary, const std::vector<std::string> &args,
                           const std::vector<std::string> &env, const std::string &panelDir,
                           const std::string &work) {
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
  if (in < 0 || out < 0 || err < 0 || pipe2(report, O_CLOEXEC) != 0) {
    r.why = std::string("preparing the child: ") + strerror(errno);
    for (int fd : {in, out, err, report[0], report[1]})
      if (fd >= 0)
        close(fd);
    return r;
  }

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
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      fail(kPrivate);
    if (mount("tmpfs", "/opt", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=4m") != 0)
      fail(kTmpfs);
    if (mkdir("/opt/.touch_panel", 0755) != 0)
      fail(kPanelDir);
    if (mount(panelDir.c_str(), "/opt/.touch_panel", nullptr, MS_BIND, nullptr) != 0)
      fail(kBind);
    // A /run of its own: the run lock of every test child is its own, never the machine's.
    if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=1m") != 0)
      fail(kRun);
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
      fail(kStdio);
    execve(argv[0], argv.data(), envp.data());
    fail(kExec);
  }
  close(report[1]);
  close(in);
  close(out);
  close(err);
  if (pid < 0) {
    r.why = std::string("fork: ") + strerror(errno);
    close(report[0]);
    return r;
  }

  SetupFailure failure{};
  ssize_t n;
  do {
    n = read(report[0], &failure, sizeof failure);
  } while (n < 0 && errno == EINTR);
  close(report[0]);

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
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.out = ReadAll(outPath);
  r.err = ReadAll(errPath);
  return r;
}

} // namespace realstack
