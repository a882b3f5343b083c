#include "default_scenario.h"

// Two busses: a current-generation PCT controller between a hub and a keyboard on bus 1; a
// legacy PCT controller, a resistive controller and a flash disk on bus 2. The options turn
// resistive support on.
const char kDefaultScenario[] = R"json({
  "description": "default bus of panelcfg-sim",
  "options": { "res": 1 },
  "devices": [
    { "name": "hub", "model": "plain", "bus": 1, "vid": "0x0F0F", "pid": "0x0101",
      "interfaceClass": 9, "driver": "hub",
      "manufacturer": "Generic", "product": "USB 2.0 Hub" },
    { "name": "pct-current", "model": "pct-current", "bus": 1, "vid": "0x2575", "pid": "0x8753",
      "identity": "0x12048170",
      "manufacturer": "Tessel Panels", "product": "TP8753 Multi-Touch",
      "strings": { "0x3C": "zUZOVoDODeRIRArI" } },
    { "name": "keyboard", "model": "plain", "bus": 1, "vid": "0x0F0F", "pid": "0x0202",
      "interfaceSubClass": 1, "interfaceProtocol": 1,
      "manufacturer": "Generic", "product": "USB Keyboard" },
    { "name": "pct-legacy", "model": "pct-legacy", "bus": 2, "vid": "0x22B9", "pid": "0x0040",
      "identity": "0x3012A145",
      "manufacturer": "Tessel Panels", "product": "TP8752 Multi-Touch",
      "strings": { "3": "Velmarine" } },
    { "name": "resistive", "model": "resistive", "bus": 2, "vid": "0x1234", "pid": "0x8888",
      "firmware": "V2.9", "rotation": 0,
      "manufacturer": "Orrin Devices", "product": "RT-4W Resistive Touch" },
    { "name": "flash-disk", "model": "plain", "bus": 2, "vid": "0x0F0F", "pid": "0x0303",
      "interfaceClass": 8, "interfaceSubClass": 6, "interfaceProtocol": 80,
      "driver": "usb-storage", "manufacturer": "Generic", "product": "USB Flash Disk" }
  ]
}
)json";
