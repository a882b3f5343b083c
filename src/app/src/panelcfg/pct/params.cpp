#include "params.h"
