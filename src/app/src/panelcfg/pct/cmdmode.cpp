#include "cmdmode.h"
