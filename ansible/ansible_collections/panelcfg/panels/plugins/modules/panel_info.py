#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: the panelcfg authors
# MIT License (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: panel_info
short_description: Read the touch-panel controllers of a host with panelcfg --status
version_added: "1.0.0"
description:
  - Runs C(panelcfg --status --json) and returns its document as data. The status read takes
    no controller from its kernel driver, writes nothing and resets nothing; it takes panelcfg's
    run lock like a run.
  - Before that the program is asked for C(--help), which touches no controller, to make sure
    it knows C(--status) (an older panelcfg would take C(--status --json) for a run). A host
    without the program fails the task with one message that names it and says how to
    install it.
  - Controllers that could not be read are in the document with C(readable=false) and their
    C(error); they do not fail the task. Output that is no status document does, with
    panelcfg's own messages.
author:
  - the panelcfg authors (@panelcfg)
options:
  program:
    description:
      - The program to run, as a list of its words; the module appends C(--help) and
        C(--status --json). See M(panelcfg.panels.panel_mode).
    type: list
    elements: str
    default: [panelcfg]
notes:
  - panelcfg runs as root, so use C(become) on real hosts, or the controllers come back unreadable
    with the error code C(permission).
attributes:
  check_mode:
    support: full
    description: The module only reads; it runs the same in check mode.
  diff_mode:
    support: none
    description: There is nothing to compare; the module changes nothing.
seealso:
  - module: panelcfg.panels.panel_mode
'''

EXAMPLES = r'''
- name: Read the panels
  panelcfg.panels.panel_info:
  become: true
  register: panels

- name: Show each PCT controller's mode
  ansible.builtin.debug:
    msg: "{{ item.bus }}:{{ item.device }} {{ item.id }} {{ item.mode.name }}"
  loop: "{{ panels.pct }}"
'''

RETURN = r'''
status:
  description:
    - The whole document of C(panelcfg --status --json), schema 1.
  returned: always
  type: dict
  contains:
    schema:
      description: The version of the document's layout.
      type: int
      sample: 1
    command:
      description: Always C(status).
      type: str
    devices:
      description:
        - One entry per supported controller, with C(bus), C(device), C(id) (vendor:product),
          C(family) (C(pct) or C(resistive)), C(sysfs), C(manufacturer), C(product),
          C(driver_bound), C(driver), C(readable) and C(error) (null, or C(code) and C(text)).
        - PCT controllers add C(generation) (C(legacy) or C(current)), C(firmware) (C(version),
          C(chip_id), C(revision)), C(mode) (C(number), the number the controller stores, and
          C(name), the mode that was asked for to get it - C(digitizer), C(mouse), C(hybrid-d),
          C(hybrid-m), C(hybrid) where the controller cannot tell which hybrid mode, or
          C(unknown); which number a hybrid mode is stored as depends on the generation and
          firmware) and C(identity) (C(state) -
          C(valid), C(outdated), C(invalid) or C(unreadable); C(valid); C(home_id),
          C(firmware_revision) and C(serial) for valid and outdated blocks).
        - Resistive controllers add C(firmware) (C(version), C(supported)) and C(rotation).
      type: list
      elements: dict
pct:
  description: The PCT controllers of C(status.devices).
  returned: always
  type: list
  elements: dict
  sample:
    - bus: "001"
      device: "003"
      id: "2575:9969"
      family: pct
      sysfs: "1-1"
      readable: true
      error: null
      generation: current
      firmware: {version: "S1.2.04(r368)", chip_id: 8, revision: 368}
      mode: {number: 2, name: mouse}
      identity: {state: valid, valid: true, home_id: "2575:8753", firmware_revision: 368,
                 serial: "0123456789ABCDEF"}
unreadable:
  description: C(bus B device D) and the error text of each controller that could not be read.
  returned: always
  type: list
  elements: str
status_rc:
  description: The exit status of the status read (1 when some controller could not be read).
  returned: always
  type: int
messages:
  description: The lines panelcfg printed on standard error, such as that no supported
    controller was found.
  returned: always
  type: list
  elements: str
  sample: ["panelcfg: no supported controller found"]
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.panelcfg.panels.plugins.module_utils import panelcfg_status as ps


def main():
    module = AnsibleModule(
        argument_spec=dict(
            program=dict(type='list', elements='str', default=['panelcfg']),
        ),
        supports_check_mode=True,
    )
    program = module.params['program']
    if not program:
        module.fail_json(msg='program must name the program to run')
    program, dummy = ps.check_program(module, program)
    doc, status = ps.read_status(module, program)
    module.exit_json(
        changed=False,
        status=doc,
        pct=ps.select(doc['devices']),
        unreadable=ps.unreadable(doc['devices']),
        status_rc=status['rc'],
        messages=ps.messages('', status['stderr']),
    )


if __name__ == '__main__':
    main()
