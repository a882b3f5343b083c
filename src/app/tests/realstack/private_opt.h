// Runs a program in a private mount namespace whose /opt and /run are empty tmpfs, with the panel
// directory /opt/.touch_panel/ bound to a directory of the test. Nothing reaches the real /opt,
// and the run lock in /run is the child's own.
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

// Runs binary with args (after argv[0]) and the current environment plus env ("NAME=value",
// replacing variables of the same name). panelDir becomes /opt/.touch_panel/ for the program;
// work holds its captured output.
ChildRun RunWithPrivateOpt(const std::string &binary, const std::vector<std::string> &args,
                           const std::vector<std::string> &env, const std::string &panelDir,
                           const std::string &work);

} // namespace realstack
