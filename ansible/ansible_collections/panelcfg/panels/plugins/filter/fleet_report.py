# -*- coding: utf-8 -*-
# Copyright: the panelcfg authors
# MIT License (see LICENSE)
"""fleet_report: the panels of a play's hosts, the hosts that need attention first."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

from ansible_collections.panelcfg.panels.plugins.filter.panel_line import panel_line

# What the role panelcfg.panels.fleet registers, in the order its tasks run.
RESULTS = ('panelcfg_install_result', 'panelcfg_deb_result', 'panelcfg_hotplug_result',
           'panelcfg_mode_result', 'panelcfg_panels')


def _get(mapping, name):
    try:
        value = mapping.get(name)
    except Exception:  # a variable that cannot be templated tells nothing either
        return None
    return value if hasattr(value, 'get') else None


def _panels(hostvars):
    """The lines of the host's panels: those read last, else those of the mode task."""
    info = _get(hostvars, 'panelcfg_panels')
    status = info.get('status') if info is not None else None
    if hasattr(status, 'get') and status.get('devices') is not None:
        return [panel_line(d) for d in status['devices']]
    mode = _get(hostvars, 'panelcfg_mode_result') or {}
    controllers = mode.get('controllers_after') or mode.get('controllers_before') or []
    lines = [panel_line(d) for d in controllers]
    if mode.get('missing'):
        lines.append(mode['missing'])
    return lines


def host_report(name, hostvars, active):
    """(state, lines) of one host: state 'unreachable', 'failed' or 'ok'."""
    found = False
    for result in RESULTS:
        r = _get(hostvars, result)
        if r is None:
            continue
        found = True
        if r.get('unreachable'):
            return 'unreachable', ['unreachable: %s' % (r.get('msg') or 'no connection')]
        if r.get('failed'):
            return 'failed', ['failed: %s' % (r.get('msg') or 'see the task %s' % result)] + \
                _panels(hostvars)
    if name in active:
        return 'ok', _panels(hostvars)
    if not found:
        return 'unreachable', ['unreachable: no task ran on it']
    return 'failed', ['failed: see its tasks'] + _panels(hostvars)


def fleet_report(hosts, hostvars, active):
    """[{host: lines}] for hosts (ansible_play_hosts_all), hostvars the vars of each host in the
    same order and active the hosts still in the play (ansible_play_hosts): the unreachable and
    failed hosts first, then the rest, each group in the order of hosts."""
    attention, rest = [], []
    for name, vars_ in zip(hosts, hostvars):
        state, lines = host_report(name, vars_ or {}, active or [])
        (rest if state == 'ok' else attention).append({name: lines})
    return attention + rest


class FilterModule(object):
    def filters(self):
        return {'fleet_report': fleet_report}
