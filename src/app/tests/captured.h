// Test helper: what a call writes on standard output and standard error.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

struct Output {
  std::string out;
  std::string err;
};

// Runs f with standard output and standard error captured.
template <typename F> Output Captured(F f) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  f();
  fflush(stdout);
  Output o;
  o.err = testing::internal::GetCapturedStderr();
  o.out = testing::internal::GetCapturedStdout();
  return o;
}
