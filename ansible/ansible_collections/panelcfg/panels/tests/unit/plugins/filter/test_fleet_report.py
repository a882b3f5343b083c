# -*- coding: utf-8 -*-
# Copyright: the panelcfg authors
# MIT License (see LICENSE)
"""The fleet's report: the hosts that need attention first."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

from ansible_collections.panelcfg.panels.plugins.filter.fleet_report import fleet_report, host_report

PANEL = {"bus": "001", "device": "003", "id": "2575:9969", "family": "pct", "readable": True,
         "generation": "current", "mode": {"number": 2, "name": "mouse"},
         "identity": {"state": "valid"}}
LINE = "bus 001 device 003: 2575:9969 PCT current, mode 2 [mouse], identity valid"
SKIPPED = {"changed": False, "skipped": True}


def ok_host():
    return {"panelcfg_install_result": SKIPPED, "panelcfg_hotplug_result": {"changed": False},
            "panelcfg_mode_result": {"changed": False, "controllers_after": [PANEL]},
            "panelcfg_panels": {"status": {"devices": [PANEL]}}}


def test_hosts_are_ok_failed_or_unreachable_by_what_they_registered():
    assert host_report("a", ok_host(), ["a"]) == ("ok", [LINE])
    failed = {"panelcfg_mode_result": {"failed": True, "msg": "not every controller reached",
                                       "controllers_after": [PANEL]}}
    assert host_report("b", failed, []) == ("failed", ["failed: not every controller reached", LINE])
    missing = {"panelcfg_mode_result": {"failed": True, "msg": "no PCT controller found",
                                        "controllers_after": [], "missing": "no PCT controller found"}}
    assert host_report("b", missing, []) == (
        "failed", ["failed: no PCT controller found", "no PCT controller found"])
    apt = {"panelcfg_install_result": {"failed": True, "msg": "No package matching 'panelcfg'"}}
    assert host_report("c", apt, []) == ("failed", ["failed: No package matching 'panelcfg'"])
    gone = {"panelcfg_install_result": {"unreachable": True, "msg": "ssh: connect refused"}}
    assert host_report("d", gone, []) == ("unreachable", ["unreachable: ssh: connect refused"])
    assert host_report("e", {}, []) == ("unreachable", ["unreachable: no task ran on it"])
    # Out of the play after a task that registers nothing.
    assert host_report("f", ok_host(), []) == ("failed", ["failed: see its tasks", LINE])


def test_the_fleet_report_puts_the_hosts_needing_attention_first():
    hosts = ["a", "b", "c", "d"]
    hostvars = [ok_host(), {"panelcfg_mode_result": {"failed": True, "msg": "m"}}, ok_host(), {}]
    assert fleet_report(hosts, hostvars, ["a", "c"]) == [
        {"b": ["failed: m"]}, {"d": ["unreachable: no task ran on it"]}, {"a": [LINE]}, {"c": [LINE]}]
    assert fleet_report([], [], []) == []
