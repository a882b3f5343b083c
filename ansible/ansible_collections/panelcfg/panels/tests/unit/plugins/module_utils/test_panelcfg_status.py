# -*- coding: utf-8 -*-
# Copyright: the panelcfg authors
# MIT License (see LICENSE)
"""The decisions of panel_mode on status documents as panelcfg --status --json prints them."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import copy
import json

import pytest

from ansible_collections.panelcfg.panels.plugins.module_utils import panelcfg_status as ps

CURRENT = {
    "bus": "001", "device": "003", "id": "2575:8753", "family": "pct", "sysfs": "1-1",
    "manufacturer": "Tessel Panels", "product": "TP8753 Multi-Touch",
    "driver_bound": True, "driver": "usbhid", "readable": True, "error": None,
    "generation": "current",
    "firmware": {"version": "S1.2.04(r368)", "chip_id": 8, "revision": 368},
    "mode": {"number": 1, "name": "digitizer"},
    "identity": {"state": "valid", "valid": True, "home_id": "2575:8753",
                 "firmware_revision": 368, "serial": "0123456789ABCDEF"},
}
LEGACY = {
    "bus": "002", "device": "002", "id": "22b9:0040", "family": "pct", "sysfs": "2-1",
    "manufacturer": "Tessel Panels", "product": "TP8752 Multi-Touch",
    "driver_bound": True, "driver": "usbhid", "readable": True, "error": None,
    "generation": "legacy",
    "firmware": {"version": "S3.0.12(r325)", "chip_id": 10, "revision": 325},
    "mode": {"number": 1, "name": "digitizer"},
    "identity": {"state": "invalid", "valid": False},
}
RESISTIVE = {
    "bus": "002", "device": "003", "id": "1234:8888", "family": "resistive", "sysfs": "2-2",
    "manufacturer": "Orrin Devices", "product": "RT-4W Resistive Touch",
    "driver_bound": True, "driver": "usbhid", "readable": True, "error": None,
    "firmware": {"version": "V2.9", "supported": True}, "rotation": 0,
}
NO_DRIVER = {
    "bus": "001", "device": "004", "id": "2575:8753", "family": "pct", "sysfs": None,
    "manufacturer": None, "product": None, "driver_bound": False, "driver": None,
    "readable": False,
    "error": {"code": "no-driver",
              "text": "no kernel driver is bound to this controller; panelcfg --recover resets it"},
    "generation": None, "firmware": None, "mode": None, "identity": None,
}


def dev(base, **changes):
    d = copy.deepcopy(base)
    d.update(changes)
    return d


def document(*devices, **top):
    doc = {"schema": 1, "command": "status", "devices": list(devices)}
    doc.update(top)
    return json.dumps(doc)


def test_parse_status_takes_a_status_document_and_refuses_anything_else():
    assert ps.parse_status(document(CURRENT, RESISTIVE))["devices"][1]["rotation"] == 0
    assert ps.parse_status(document())["devices"] == []
    for text, said in [
        # An older panelcfg ignores --status --json and runs: its run lines are no JSON.
        ("II:Firmware Version:S1.2.04(r368) ChipID:8\nII:PCT Devices:1\n", "not JSON"),
        ("[]", "not a JSON object"),
        (document(schema=2), "schema 2"),
        (document(command="list"), "'list'"),
        (json.dumps({"schema": 1, "command": "status"}), "no list of devices"),
        (json.dumps({"schema": 1, "command": "status", "devices": ["x"]}), "no list"),
    ]:
        with pytest.raises(ps.StatusError, match=said):
            ps.parse_status(text)


def test_device_addresses_and_the_key_that_survives_a_reset():
    assert ps.parse_device("001:003") == (1, 3)
    assert ps.parse_device("2:10") == (2, 10)
    for bad in ["1-3", "001:", "a:1", "1:2:3", "", None]:
        with pytest.raises(ValueError):
            ps.parse_device(bad)
    assert ps.address(CURRENT) == "bus 001 device 003"
    assert ps.key(CURRENT) == "sysfs:1-1"
    # The re-enumerated controller has a new device number but the same kernel name.
    assert ps.key(dev(CURRENT, device="007", id="2575:9969")) == "sysfs:1-1"
    assert ps.key(NO_DRIVER) == "usb:1:4"


def test_select_keeps_pct_controllers_and_the_one_asked_for():
    devices = [CURRENT, RESISTIVE, LEGACY]
    assert ps.select(devices) == [CURRENT, LEGACY]
    assert ps.select(devices, (2, 2)) == [LEGACY]
    assert ps.select(devices, (2, 3)) == []  # the resistive controller has no mode
    assert ps.select([], None) == []


@pytest.mark.parametrize("mode, chip, rev, generation, number", [
    ("digitizer", 8, 368, "current", 1),
    ("mouse", 8, 368, "current", 2),
    # Firmware outside chip 8 r392..799 and chip 2 r408.. has the hybrid numbers swapped.
    ("hybrid-d", 8, 368, "current", 4),
    ("hybrid-m", 8, 368, "current", 3),
    ("hybrid-d", 8, 392, "current", 3),
    ("hybrid-m", 8, 799, "current", 4),
    ("hybrid-d", 8, 800, "current", 4),
    ("hybrid-d", 2, 407, "current", 4),
    ("hybrid-d", 2, 408, "current", 3),
    # Legacy controllers have the one hybrid mode 4.
    ("hybrid-d", 10, 500, "legacy", 4),
    ("hybrid-m", 10, 500, "legacy", 4),
])
def test_expected_mode_number_follows_generation_and_firmware(mode, chip, rev, generation, number):
    d = dev(CURRENT, generation=generation,
            firmware={"version": "x", "chip_id": chip, "revision": rev})
    assert ps.expected_number(d, mode) == number


@pytest.mark.parametrize("generation, chip, rev, number, name", [
    ("current", 8, 368, 1, "digitizer"),
    ("legacy", 10, 325, 2, "mouse"),
    # Current firmware outside chip 8 r392..799 and chip 2 r408.. stores hybrid-d as 4.
    ("current", 8, 368, 4, "hybrid-d"),
    ("current", 8, 368, 3, "hybrid-m"),
    ("current", 8, 800, 4, "hybrid-d"),
    ("current", 2, 407, 3, "hybrid-m"),
    ("current", 8, 392, 3, "hybrid-d"),
    ("current", 8, 799, 4, "hybrid-m"),
    ("current", 2, 408, 3, "hybrid-d"),
    ("current", 2, 408, 4, "hybrid-m"),
    # A legacy controller's 4 is either hybrid mode; firmware not read cannot tell either.
    ("legacy", 10, 325, 4, "hybrid"),
    ("legacy", 10, 325, 3, "hybrid-d"),
    ("current", None, None, 4, "hybrid"),
    ("current", 8, 368, 5, "unknown"),
])
def test_mode_name_is_the_mode_asked_for(generation, chip, rev, number, name):
    d = dev(CURRENT, generation=generation, mode={"number": number, "name": "?"},
            firmware=None if chip is None else {"version": "x", "chip_id": chip, "revision": rev})
    assert ps.mode_name(d) == name
    assert ps.mode_name(dev(d, mode=None), number) == name
    assert ps.mode_name(dev(d, mode=None)) is None


def test_differences_name_mode_product_id_and_identity():
    assert ps.differences(CURRENT, "digitizer", True) == []
    assert ps.differences(CURRENT, "mouse", True) == [
        "mode 1 (digitizer), wanted 2 for mouse", "product ID 8753, wanted 9969 in mouse mode"]
    # Mouse mode reported, but still under the home product ID: panelcfg would write the ID.
    assert ps.differences(dev(CURRENT, mode={"number": 2, "name": "mouse"}), "mouse", True) == [
        "product ID 8753, wanted 9969 in mouse mode"]
    mouse = dev(CURRENT, id="2575:9969", mode={"number": 2, "name": "mouse"})
    assert ps.differences(mouse, "mouse", True) == []
    assert ps.differences(mouse, "digitizer", True) == [
        "mode 2 (mouse), wanted 1 for digitizer", "product ID 9969, wanted 8753 in digitizer mode"]
    hybrid = dev(CURRENT, id="2575:9968", mode={"number": 4, "name": "hybrid-d"})
    assert ps.differences(hybrid, "hybrid-d", True) == []
    assert ps.differences(hybrid, "hybrid-m", True) == ["mode 4 (hybrid-d), wanted 3 for hybrid-m"]
    # A document that names the modes by number alone reads the same.
    assert ps.differences(dev(hybrid, mode={"number": 4, "name": "hybrid-m"}), "hybrid-m",
                          True) == ["mode 4 (hybrid-d), wanted 3 for hybrid-m"]
    # A legacy controller storing 4 is in either hybrid mode, whatever wrote it.
    legacy_hybrid = dev(LEGACY, mode={"number": 4, "name": "hybrid"})
    assert ps.differences(legacy_hybrid, "hybrid-d", False) == []
    assert ps.differences(legacy_hybrid, "hybrid-m", False) == []
    assert ps.differences(legacy_hybrid, "mouse", False) == ["mode 4 (hybrid), wanted 2 for mouse"]
    # Legacy controllers keep their product ID; only the identity block differs here.
    assert ps.differences(LEGACY, "digitizer", True) == ["identity block invalid"]
    assert ps.differences(LEGACY, "digitizer", False) == []
    outdated = dev(CURRENT, identity=dict(CURRENT["identity"], state="outdated"))
    assert ps.differences(outdated, "digitizer", True) == ["identity block outdated"]


def test_unreadable_controllers_carry_panelcfg_text():
    assert ps.unreadable([CURRENT, RESISTIVE]) == []
    assert ps.unreadable([CURRENT, NO_DRIVER]) == [
        "bus 001 device 004: no kernel driver is bound to this controller; "
        "panelcfg --recover resets it"]


def test_predict_is_what_judge_accepts_after_a_run():
    before = [CURRENT, LEGACY]
    for mode in ps.MODES:
        after = [ps.predict(d, mode) for d in before]
        assert ps.judge(before, after, mode, True) == (True, [])
    assert ps.predict(CURRENT, "mouse")["id"] == "2575:9969"
    assert ps.predict(LEGACY, "hybrid-d")["mode"] == {"number": 4, "name": "hybrid"}
    assert ps.predict(LEGACY, "hybrid-m")["mode"] == {"number": 4, "name": "hybrid"}
    assert ps.predict(CURRENT, "hybrid-d")["mode"] == {"number": 4, "name": "hybrid-d"}
    assert ps.predict(CURRENT, "hybrid-m")["mode"] == {"number": 3, "name": "hybrid-m"}
    assert ps.diff([CURRENT], [ps.predict(CURRENT, "hybrid-d")])["after"] == {
        "bus 001 device 003": {"id": "2575:9968", "mode": "hybrid-d", "identity": "valid",
                               "readable": True}}
    assert ps.diff([CURRENT], [ps.predict(CURRENT, "mouse")]) == {
        "before": {"bus 001 device 003": {"id": "2575:8753", "mode": "digitizer",
                                          "identity": "valid", "readable": True}},
        "after": {"bus 001 device 003": {"id": "2575:9969", "mode": "mouse",
                                         "identity": "valid", "readable": True}},
    }


def test_judge_waits_for_controllers_coming_back_and_names_those_that_did_not_switch():
    before = [CURRENT, LEGACY]
    back = dev(CURRENT, device="007", id="2575:9969", mode={"number": 2, "name": "mouse"})
    legacy_mouse = dev(LEGACY, mode={"number": 2, "name": "mouse"},
                       identity={"state": "valid", "valid": True})
    assert ps.judge(before, [back, legacy_mouse], "mouse", True) == (True, [])
    # The current-generation controller is still away after its reset.
    assert ps.judge(before, [legacy_mouse], "mouse", True) == (
        False, ["bus 001 device 003 (2575:8753) did not come back after its reset"])
    # Back on the bus, but not readable yet.
    coming = dev(NO_DRIVER, sysfs="1-1", device="007")
    assert ps.judge(before, [coming, legacy_mouse], "mouse", True) == (
        False, ["bus 001 device 007: no kernel driver is bound to this controller; "
                "panelcfg --recover resets it"])
    # Readable and still in digitizer mode: settled, and the controller is named.
    assert ps.judge(before, [back, LEGACY], "mouse", False) == (
        True, ["bus 002 device 002 (22b9:0040): mode 1 (digitizer), wanted 2 for mouse"])


def test_messages_are_panelcfg_own_lines():
    out = ("II:Firmware Version:S1.2.04(r368) ChipID:8\n"
           "EE:check fail,not support this touch screen.\nII:PCT Devices:1\n")
    err = "panelcfg: not running as root: panelcfg must run as root\n\n"
    assert ps.messages(out, err) == ["EE:check fail,not support this touch screen.",
                                     "panelcfg: not running as root: panelcfg must run as root"]
    assert ps.messages(None, None) == []


def test_supports_reads_the_options_of_the_help_text():
    text = ("Usage: panelcfg [WORD [MODE|ARG [not]]]\n"
            "  --status      read every supported controller; touches none\n"
            "  --list        list every USB device\n")
    assert ps.supports(text, "--status")
    assert not ps.supports(text, "--device")
    # A word that merely contains the option is not the option.
    assert not ps.supports("  --statusbar  x\n", "--status")


def test_device_word_takes_port_names_bus_dev_and_hidraw_nodes_and_leaves_the_rest_to_panelcfg():
    for word in ["1-2", "1-1.4", "001:003", "2:10", "hidraw0", "/dev/hidraw0", "usb9"]:
        assert ps.device_word(word) == word
    for bad, said in [("", "must name a device"), ("  ", "must name a device"), (None, "must name"),
                      ("1-2 ", "one word"), ("1 2", "one word"), ("1-\x012", "one word"),
                      ("--mouse", 'must not start with "-"'), ("-1", 'must not start')]:
        with pytest.raises(ValueError, match=said):
            ps.device_word(bad)


def test_a_report_that_failed_is_read_as_its_error():
    no_device = json.dumps({"schema": 1, "command": "status", "error": {
        "code": "no-such-device", "text": "--device 9-9: no such USB device"}})
    with pytest.raises(ps.ReportError) as e:
        ps.parse_status(no_device)
    assert (e.value.code, e.value.text) == ("no-such-device", "--device 9-9: no such USB device")


def site_doc(site_mode, changed=False, **top):
    doc = {"schema": 1, "command": "site-mode", "site_mode": site_mode, "changed": changed}
    doc.update(top)
    return json.dumps(doc)


def test_parse_site_mode_reads_the_name_of_util_conf_mode():
    assert ps.parse_site_mode(site_doc({"number": 2, "name": "mouse"}, True)) == ("mouse", True)
    assert ps.parse_site_mode(site_doc({"number": 3, "name": "hybrid-d"})) == ("hybrid-d", False)
    assert ps.parse_site_mode(site_doc(None)) == (None, False)
    for text, said in [
        ("site mode 2 (mouse)\n", "not JSON"),
        (site_doc(None, schema=2), "schema 2"),
        (site_doc(None, command="status"), "'status'"),
        (site_doc({"number": 7, "name": "unknown"}), "no site mode panelcfg writes"),
    ]:
        with pytest.raises(ps.StatusError, match=said):
            ps.parse_site_mode(text)
    with pytest.raises(ps.ReportError, match="cannot read"):
        ps.parse_site_mode(json.dumps({"schema": 1, "command": "site-mode", "error": {
            "code": "unreadable", "text": "cannot read /opt/.touch_panel/Util.conf: Is a directory"}}))


def test_the_diff_shows_the_site_mode_when_the_task_keeps_it():
    assert ps.diff([CURRENT], [CURRENT], None, "mouse", True) == {
        "before": {"bus 001 device 003": ps.summary(CURRENT), "site mode": "none"},
        "after": {"bus 001 device 003": ps.summary(CURRENT), "site mode": "mouse"},
    }
    assert "site mode" not in ps.diff([], [], "mouse", "mouse", False)["before"]


def test_controllers_without_a_driver_are_reset_by_their_port():
    assert ps.no_driver([CURRENT, NO_DRIVER, RESISTIVE]) == [NO_DRIVER]
    unreadable = dev(CURRENT, readable=False, error={"code": "permission", "text": "x"})
    assert ps.no_driver([unreadable]) == []
    assert ps.recover_device(dev(NO_DRIVER, sysfs="1-2")) == "1-2"
    assert ps.recover_device(NO_DRIVER) == "001:004"


def test_only_stranded_is_true_when_every_controller_not_back_has_no_driver():
    stranded = dev(NO_DRIVER, sysfs="1-1")
    keys = {"sysfs:1-1", "sysfs:2-1"}
    assert ps.only_stranded(keys, [stranded, LEGACY])
    # The other controller is not back yet: it may still be on its way.
    assert not ps.only_stranded(keys, [stranded])
    assert ps.pending(keys, [stranded]) == keys
    assert not ps.only_stranded(keys, [CURRENT, LEGACY])
    assert not ps.only_stranded(keys, [dev(stranded, error={"code": "read-failed"}), LEGACY])


def test_stranded_problem_names_the_real_cause_and_the_reset():
    stranded = dev(NO_DRIVER, sysfs="1-1", device="002")
    head = ("bus 001 device 002 (2575:8753) was left without its kernel driver by the run: "
            "panelcfg took the driver off but could not take the controller over (see messages), "
            "so it was not configured; ")
    back = dev(CURRENT, device="003")
    assert ps.stranded_problem(stranded, "1-1", 1, back) == head + (
        "it was reset with panelcfg --device 1-1 --recover and is back with its kernel driver, "
        "in mode 1 (digitizer)")
    assert ps.stranded_problem(stranded, "1-1", 1, None) == head + (
        "it was reset with panelcfg --device 1-1 --recover but is not back on the bus")
    assert ps.stranded_problem(stranded, "1-1", 1, stranded) == head + (
        "it was reset with panelcfg --device 1-1 --recover and is back, but no kernel driver is "
        "bound to this controller; panelcfg --recover resets it")
    assert ps.stranded_problem(stranded, "1-1", 0, None) == head + (
        "panelcfg --device 1-1 --recover could not reset it either: re-plug it")
    assert ps.stranded_problem(stranded, "1-1", None, None) == head + (
        "reset it with panelcfg --device 1-1 --recover (this panelcfg offers no --recover) or "
        "re-plug it")
    for problem in [ps.stranded_problem(stranded, "1-1", n, None) for n in (None, 0, 1)]:
        assert "a run was stopped" not in problem


class Failed(Exception):
    pass


class FakeModule:
    """What check_program uses of AnsibleModule: the programs on the host and their --help."""

    def __init__(self, found=None, help_text="", rc=0):
        self.found = found or {}
        self.help_text = help_text
        self.rc = rc
        self.commands = []

    def get_bin_path(self, name):
        return self.found.get(name)

    def run_command(self, cmd):
        self.commands.append(cmd)
        return self.rc, self.help_text, ""

    def fail_json(self, **kwargs):
        raise Failed(kwargs["msg"])


HELP = ("  --status      show the mode\n  --site-mode [MODE]  show, or record\n"
        "  --device DEVICE handle that one device only\n")


def test_a_missing_program_is_one_message_naming_it():
    install = ("install the Debian package panelcfg on the host (apt install panelcfg, or the "
               "role panelcfg.panels.fleet with panelcfg_install: true), or name the program "
               "with the option program")
    assert ps.missing_program("panelcfg", None, "/usr/bin:/bin") == (
        "panelcfg is not installed on this host: no program panelcfg in the search path "
        "(/usr/bin:/bin); " + install)
    assert ps.missing_program("/opt/x/panelcfg", None, "/bin") == (
        "panelcfg is not installed on this host: /opt/x/panelcfg is no executable file; " + install)
    assert ps.missing_program("panelcfg", "/usr/sbin/panelcfg", "/bin") is None

    module = FakeModule()
    with pytest.raises(Failed, match="^panelcfg is not installed on this host: no program panelcfg "):
        ps.check_program(module, ["panelcfg"])
    assert module.commands == []  # nothing was run
    with pytest.raises(Failed, match="/nonexistent/panelcfg is no executable file"):
        ps.check_program(FakeModule(), ["/nonexistent/panelcfg", "--instant"])


def test_check_program_runs_the_program_found_and_wants_the_options_needed():
    module = FakeModule({"panelcfg": "/usr/sbin/panelcfg"}, HELP)
    assert ps.check_program(module, ["panelcfg"], [("--site-mode", "x")]) == (
        ["/usr/sbin/panelcfg"], HELP)
    assert module.commands == [["/usr/sbin/panelcfg", "--help"]]
    with pytest.raises(Failed) as e:
        ps.check_program(module, ["panelcfg"], [("--recover", "controllers cannot be reset")])
    assert str(e.value) == ("/usr/sbin/panelcfg does not offer --recover (its --help does not "
                            "name it), so controllers cannot be reset")
    with pytest.raises(Failed, match="does not offer --status"):
        ps.check_program(FakeModule({"panelcfg": "/bin/panelcfg"}, "  --list\n"), ["panelcfg"])
