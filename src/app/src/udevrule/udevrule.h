// The udev rule that hands every supported controller's hidraw node to the hotplug unit, made
// from the supported-device table so that the two cannot differ.
#pragma once

#include <string>

// The rule file's text: every vendor and product ID that ClassifyUSBID gives a family under any
// of the options (res, new_fw, alt_pct_vendors), matched on the USB parent of a hidraw node that
// is added. A product ID outside the table's product-ID sets stands for every such ID: the table
// treats them all alike.
std::string UdevRuleText();
