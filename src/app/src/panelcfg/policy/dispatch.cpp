#include "dispatch.h"
