# -*- coding: utf-8 -*-
# Copyright: the panelcfg authors
# MIT License (see LICENSE)
"""panel_line: one line of text for a controller of the status document."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type


def panel_line(dev):
    """'bus 001 device 003: 2575:9969 PCT current, mode 2 [mouse], identity valid'."""
    head = 'bus %s device %s: %s' % (dev.get('bus'), dev.get('device'), dev.get('id'))
    if not dev.get('readable', True):
        err = dev.get('error') or {}
        return '%s %s unreadable: %s' % (head, str(dev.get('family')).upper(), err.get('text'))
    if dev.get('family') == 'resistive':
        fw = dev.get('firmware') or {}
        return '%s resistive, firmware %s, rotation %s' % (head, fw.get('version'), dev.get('rotation'))
    mode = dev.get('mode') or {}
    identity = dev.get('identity') or {}
    return '%s PCT %s, mode %s [%s], identity %s' % (
        head, dev.get('generation'), mode.get('number'), mode.get('name'), identity.get('state'))


class FilterModule(object):
    def filters(self):
        return {'panel_line': panel_line}
