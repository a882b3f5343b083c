#include "resproto.h"
