// Runs a program in a private mount namespace whose /opt and /run are empty tmpfs, with the panel
// directory /opt/.touch_panel/ bound to a directory of the test. Nothing reaches the real /opt,
// and the run lock in /run is the child's own. The panel directory may also be read-only or full.
#pragma once

#include <string>
#include <vector>

namespace realstack {

struct ChildRun {
  enum class Outcome {
    Ran,         // the program ran to its end; status, out and err are set
    Unavailable, // this machine allows no private mount namespace (not root, no CAP_SYS_ADMIN)
    Failed,      // anything else went wrong; why says what
  };
  Outcome outcome = Outcome::Failed;
  std::string why;
  int status = -1; // exit status; 128 + signal when the program was killed
  std::string out; // standard output
  std::string err; // standard error
};

// How the panel directory reaches the program.
enum class PanelMount {
  Bound,    // the test's directory itself
  ReadOnly, // the test's directory, bound read-only
  Full,     // a copy of the test's directory on a small file system left without room; what the
            // program leaves there replaces the test's directory when it has ended
};

// Runs binary with args (after argv[0]) and the current environment plus env ("NAME=value",
// replacing variables of the same name). panelDir becomes /opt/.touch_panel/ for the program;
// work holds its captured output.
ChildRun RunWithPrivateOpt(const std::string &binary, const std::vector<std::string> &args,
                           const std::vector<std::string> &env, const std::string &panelDir,
                           const std::string &work, PanelMount mount = PanelMount::Bound);

} // namespace realstack
