// The bus the simulator runs on when no scenario file is given.
#pragma once

extern const char kDefaultScenario[];
