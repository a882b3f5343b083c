#include "posmode.h"
