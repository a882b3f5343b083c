#include "stop.h"

#include <csignal>
#include <cstdio>

namespace {

volatile sig_atomic_t firstSignal = 0;
volatile sig_atomic_t signalCount = 0;
bool controllerInHand = false;
bool finalReset = false;

void OnStopSignal(int sig) {
  if (firstSignal == 0)
    firstSignal = sig;
  if (signalCount < 2)
    signalCount = signalCount + 1;
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

} // namespace

void InstallStopSignals() {
  struct sigaction sa = {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  // Interrupted system calls resume, so that no output and no transfer is lost to a signal;
  // the pauses look at the signals themselves.
  sa.sa_flags = SA_RESTART;
  for (int sig : kStopSignals)
    sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void ClearStopSignals() {
  firstSignal = 0;
  signalCount = 0;
  controllerInHand = false;
  finalReset = false;
}

int StopSignal() { return firstSignal; }

const char *StopSignalName(int sig) {
  switch (sig) {
  case SIGINT:
    return "SIGINT";
  case SIGTERM:
    return "SIGTERM";
  case SIGHUP:
    return "SIGHUP";
  case SIGQUIT:
    return "SIGQUIT";
  default: {
    static char text[24];
    snprintf(text, sizeof text, "signal %d", sig);
    return text;
  }
  }
}

void SetControllerInHand(bool inHand) { controllerInHand = inHand; }

void SetFinalReset(bool resetting) { finalReset = resetting; }

bool ProtocolAbandoned() { return signalCount >= 2 && controllerInHand && !finalReset; }
