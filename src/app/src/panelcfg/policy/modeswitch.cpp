#include "modeswitch.h"
