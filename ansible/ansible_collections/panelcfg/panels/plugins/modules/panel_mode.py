#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: the panelcfg authors
# MIT License (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: panel_mode
short_description: Set the position mode of a host's PCT touch-panel controllers
version_added: "1.0.0"
description:
  - Reads the controllers with C(panelcfg --status --json) and runs C(panelcfg) with the mode
    word (C(--digitizer), C(--mouse), C(--hybrid-d), C(--hybrid-m)) only when some PCT controller
    is not in the wanted mode or, with C(valid_identity), has no valid identity block.
  - After a run it reads the status again, waiting up to C(timeout) seconds for the controllers
    to come back from the reset that ends a run, and fails unless every controller it looked at
    reached the wanted mode.
  - A host whose controllers are configured already sees nothing but status reads, so a second
    play reports ok.
  - Before the first status read the program is asked for C(--help), which touches no
    controller, to make sure it knows C(--status) (an older panelcfg would take
    C(--status --json) for a run without a word).
  - Resistive controllers have no position mode; they are left out of the decision and of the
    results. The run that switches the PCT controllers checks them as every panelcfg run does.
  - The mode number a controller stores after a hybrid word depends on its generation and
    firmware (legacy controllers have one hybrid mode, 4; most current-generation firmware has
    the two hybrid numbers swapped), as the panelcfg manual page describes. A controller is in
    the wanted mode when its mode is named so - by the rule of the C(name) of the status
    document's C(mode), applied to the stored number - and, for current-generation controllers,
    it has the product ID that goes with the mode. A legacy controller storing 4 cannot tell its
    hybrid modes apart (C(hybrid)) and counts as being in either. A run writes the number
    panelcfg writes for the mode.
author:
  - the panelcfg authors (@panelcfg)
options:
  mode:
    description:
      - The position mode the PCT controllers are to be in.
    type: str
    required: true
    choices: [digitizer, mouse, hybrid-d, hybrid-m]
  device:
    description:
      - Only the controller at this USB address, as C(BUS:DEV) (C(001:003)), the numbers of the
        C(bus ... device ...) text of C(panelcfg --status).
      - It is passed to panelcfg as a leading C(--device BUS:DEV) before the mode word, so the
        run touches no other controller. The program must offer C(--device) (its C(--help)
        names it); the module fails otherwise.
      - After the run the controller is found again by its kernel name (C(sysfs) of the status
        document), since a real controller comes back from its reset under a new device number.
    type: str
  valid_identity:
    description:
      - Whether each controller must also have a valid identity block. A controller in the
        wanted mode whose identity block is C(outdated), C(invalid) or C(unreadable) then needs
        a run too (every mode run writes a valid block), and the result must show it valid.
    type: bool
    default: true
  program:
    description:
      - The program to run, as a list of its words; the module appends C(--help),
        C(--status --json) or the mode word. Use it for a panelcfg outside the search path, or
        for the simulator with its own options, for example
        C([panelcfg-sim, --instant, --state, /srv/sim/state.json, --dir, /srv/sim/touch_panel]).
    type: list
    elements: str
    default: [panelcfg]
  timeout:
    description:
      - Seconds to wait after a run for every controller to be back on the bus and readable.
        The status is read about once a second until then.
    type: int
    default: 60
notes:
  - panelcfg runs as root, so use C(become) on real hosts. Its messages (not
    running as root, no controller found, the lock of another run not taken in time, a
    controller that failed its check) are returned in C(messages) as it printed them.
  - A controller that cannot be read (for example one left without its kernel driver, for
    which panelcfg names C(panelcfg --recover)) fails the task before anything is run.
attributes:
  check_mode:
    support: full
    description: Only the status is read; C(changed) says whether a run would be made.
  diff_mode:
    support: full
    description: Mode, identity state and USB ID of each controller before and after.
seealso:
  - module: panelcfg.panels.panel_info
'''

EXAMPLES = r'''
- name: Put every panel of the site into mouse mode
  panelcfg.panels.panel_mode:
    mode: mouse
  become: true

- name: Only the panel at bus 1 device 3, without caring for its identity block
  panelcfg.panels.panel_mode:
    mode: digitizer
    device: "001:003"
    valid_identity: false
  become: true

- name: The simulator, with a state of its own for this host
  panelcfg.panels.panel_mode:
    mode: hybrid-d
    program:
      - panelcfg-sim
      - --instant
      - --state
      - "/var/tmp/sim/{{ inventory_hostname }}/state.json"
      - --dir
      - "/var/tmp/sim/{{ inventory_hostname }}/touch_panel"
    timeout: 10
'''

RETURN = r'''
changed:
  description: Whether panelcfg was run with the mode word (in check mode, whether it would be).
  returned: always
  type: bool
mode:
  description: The mode asked for.
  returned: always
  type: str
  sample: mouse
controllers_before:
  description:
    - The PCT controllers looked at, as the C(devices) entries of the status document before
      any run (see M(panelcfg.panels.panel_info) for their keys).
  returned: when a status document was read
  type: list
  elements: dict
  sample:
    - bus: "001"
      device: "003"
      id: "2575:8753"
      family: pct
      sysfs: "1-1"
      readable: true
      generation: current
      mode: {number: 1, name: digitizer}
      identity: {state: valid, valid: true}
controllers_after:
  description:
    - The same controllers after the run; without a run, the same as C(controllers_before).
    - In check mode, what a run is expected to leave.
  returned: when a status document was read
  type: list
  elements: dict
run:
  description:
    - The mode run. The exit status of panelcfg is the number of PCT controllers it handled,
      not a verdict; the module judges by the status read after the run.
  returned: when panelcfg was run with the mode word
  type: dict
  contains:
    cmd:
      description: The command, as the list of its words.
      type: list
      elements: str
      sample: [panelcfg, --mouse]
    rc:
      description: Its exit status.
      type: int
      sample: 2
    stdout:
      description: What it printed on standard output.
      type: str
      sample: "II:Firmware Version:S1.2.04(r368) ChipID:8\nII:check pass\nII:Set to mouse\n"
    stderr:
      description: What it printed on standard error.
      type: str
      sample: ""
messages:
  description:
    - panelcfg's own complaints, as it printed them - the C(EE:) lines of its standard output
      and the lines of its standard error - and the C(error) texts of controllers it could not
      read.
  returned: on failure, and after a run
  type: list
  elements: str
  sample: ["EE:check fail,not support this touch screen."]
problems:
  description: What is wrong with each controller that did not reach the mode.
  returned: on failure after a run
  type: list
  elements: str
  sample: ["bus 001 device 003 (2575:8753): mode 1 (digitizer), wanted 2 for mouse"]
'''

import time

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.panelcfg.panels.plugins.module_utils import panelcfg_status as ps


def wait_for_controllers(module, program, before, timeout, valid_identity, mode):
    """Read the status until every controller of before is back and readable, or timeout."""
    deadline = time.monotonic() + timeout
    before_keys = set(ps.key(d) for d in before)
    while True:
        doc, status = ps.read_status(module, program)
        after = [d for d in ps.select(doc['devices']) if ps.key(d) in before_keys]
        settled, problems = ps.judge(before, after, mode, valid_identity)
        if settled or time.monotonic() >= deadline:
            return after, problems, status
        time.sleep(1)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            mode=dict(type='str', required=True, choices=list(ps.MODES)),
            device=dict(type='str'),
            valid_identity=dict(type='bool', default=True),
            program=dict(type='list', elements='str', default=['panelcfg']),
            timeout=dict(type='int', default=60),
        ),
        supports_check_mode=True,
    )
    p = module.params
    mode, program, valid_identity = p['mode'], p['program'], p['valid_identity']
    if not program:
        module.fail_json(msg='program must name the program to run')
    device = None
    if p['device'] is not None:
        try:
            device = ps.parse_device(p['device'])
        except ValueError as e:
            module.fail_json(msg=str(e))

    ps.check_program(module, program, device)
    doc, status = ps.read_status(module, program)
    before = ps.select(doc['devices'], device)
    result = dict(changed=False, mode=mode, controllers_before=before)

    if not before:
        said = ps.messages(status['stdout'], status['stderr'])
        where = 'at bus %03d device %03d ' % device if device else ''
        failed = ' (%s exited with %d)' % (' '.join(status['cmd']), status['rc']) \
            if status['rc'] != 0 else ''
        module.fail_json(msg='no PCT controller found %s%s%s' % (
            where, '(panelcfg: %s)' % '; '.join(said) if said else '', failed),
            messages=said, **result)
    bad = ps.unreadable(before)
    if bad:
        module.fail_json(msg='panelcfg could not read every controller: %s' % '; '.join(bad),
                         messages=bad + ps.messages('', status['stderr']), **result)

    if not any(ps.differences(d, mode, valid_identity) for d in before):
        result['controllers_after'] = before
        if module._diff:
            result['diff'] = ps.diff(before, before)
        module.exit_json(**result)

    result['changed'] = True
    if module.check_mode:
        predicted = [ps.predict(d, mode) for d in before]
        result['controllers_after'] = predicted
        if module._diff:
            result['diff'] = ps.diff(before, predicted)
        module.exit_json(**result)

    cmd = list(program)
    if device is not None:
        cmd += ['--device', p['device']]
    cmd.append(ps.MODE_WORDS[mode])
    rc, out, err = module.run_command(cmd)
    result['run'] = dict(cmd=cmd, rc=rc, stdout=out, stderr=err)

    after, problems, status = wait_for_controllers(
        module, program, before, p['timeout'], valid_identity, mode)
    said = ps.messages(out, err) + ps.unreadable(after)
    result.update(controllers_after=after, messages=said)
    if module._diff:
        result['diff'] = ps.diff(before, after)
    if problems:
        module.fail_json(
            msg='not every controller reached %s mode: %s%s' % (
                mode, '; '.join(problems),
                '; panelcfg said: %s' % ' '.join(said) if said else ''),
            problems=problems, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
