// Prints the udev rule of the package (see udevrule.h); run by the build.
#include <cstdio>

#include "udevrule.h"

int main() {
  fputs(UdevRuleText().c_str(), stdout);
  return 0;
}
