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
    controller, to make sure it knows C(--status) and C(--site-mode) (an older panelcfg would
    take C(--status --json) for a run without a word). A host without the program fails the
    task with one message that names it and says how to install it.
  - The site mode - the position mode that C(Util.conf) records and the hotplug handler of
    panelcfg gives every panel plugged in later, or at boot - is kept in step on every play,
    with C(panelcfg --site-mode MODE --json), before the controllers are read, also when no
    run is needed and when no panel is plugged in (see C(site_mode)). C(Util.conf) is the one
    place the site mode is kept; a run with a mode word writes it too.
  - When no PCT controller is found, the task reports it (C(missing), and a warning) and fails
    only when C(require_panel) is true, its default when C(device) is given.
  - After a run, a controller found without its kernel driver (the run took the driver off but
    could not take the controller over, for example because its claim was refused) is reset
    once with C(panelcfg --device DEVICE --recover), and the task fails saying so. With
    C(recover), controllers already without their driver are reset before anything else.
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
      - Only this controller, as panelcfg's C(--device) takes it - the kernel's port name of the
        USB device (C(1-2), C(1-1.4); the C(sysfs) of the status document), which stays the
        same across resets and reboots and so suits an inventory; C(BUS:DEV) (C(001:003), the
        numbers of the C(bus ... device ...) text of C(panelcfg --status)), which changes at
        every reset; or a hidraw node (C(hidraw0), C(/dev/hidraw0)).
      - Only a value that cannot be one word of a command line (empty, blanks, control
        characters, a leading C(-)) is refused by the module; panelcfg decides the rest. A
        device that names no USB device on the host is a missing panel (see C(require_panel)).
      - It is passed to panelcfg as C(--device DEVICE) with the status read and before the mode
        word, so the run touches no other controller. The program must offer C(--device) (its
        C(--help) names it); the module fails otherwise.
      - After the run the controller is found again by its kernel name (C(sysfs) of the status
        document), since a real controller comes back from its reset under a new device number.
    type: str
  site_mode:
    description:
      - Whether the host's site mode (C(Util.conf), which the hotplug handler gives every panel
        plugged in later) is set to C(mode). It is set with C(panelcfg --site-mode MODE --json)
        before the controllers are read, also when no run is needed and when no panel is
        plugged in, and makes the task C(changed) when it was another mode or none.
      - When false the site mode is left as the task found it - a run with a mode word writes
        C(Util.conf) too, so the module puts back what it recorded (or removes it) after the
        run.
      - Default true without C(device) and false with it, so a play for one device does not
        change the mode of the whole host unless asked.
    type: bool
    version_added: "1.1.0"
  require_panel:
    description:
      - Whether the task fails when no PCT controller is found (none plugged in, or C(device)
        names none). Otherwise it reports C(ok) (or C(changed) for the site mode) with the
        reason in C(missing) and a warning; the hotplug handler gives a panel plugged in later
        the site mode.
      - Default false without C(device) and true with it - a play that names a device expects
        that panel.
    type: bool
    version_added: "1.1.0"
  recover:
    description:
      - Before anything is judged, reset the controllers found without a kernel driver (C(readable)
        false, error code C(no-driver); left so by a run that was killed or whose claim was
        refused) with C(panelcfg --device DEVICE --recover), then read them again; the task is
        C(changed). Without it such a controller fails the task before anything is run.
      - In check mode the controllers are only named in C(recovered); what they hold can be
        read only after their reset.
    type: bool
    default: false
    version_added: "1.1.0"
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
    which panelcfg names C(panelcfg --recover)) fails the task before anything is run, unless
    C(recover) resets it first.
  - Ansible and the hotplug handler agree through C(Util.conf) alone - the handler gives a
    panel that appears the mode it records, and this module records C(mode) there (with
    C(site_mode)). Whether the handler runs at all is the host's (C(systemctl mask
    panelcfg-hotplug@.service) switches it off); the role M(panelcfg.panels.fleet) manages
    both.
attributes:
  check_mode:
    support: full
    description: Only the status and the site mode are read (C(--site-mode --json), which
      writes nothing); C(changed) says whether the site mode would be recorded, a controller
      reset or a run made.
  diff_mode:
    support: full
    description: Mode, identity state and USB ID of each controller before and after, and
      with C(site_mode) the site mode (C(site mode), C(none) for no C(Util.conf)).
seealso:
  - module: panelcfg.panels.panel_info
'''

EXAMPLES = r'''
- name: Put every panel of the site into mouse mode
  panelcfg.panels.panel_mode:
    mode: mouse
  become: true

- name: Only the panel on USB port 1-2, without caring for its identity block
  panelcfg.panels.panel_mode:
    mode: digitizer
    device: "1-2"
    valid_identity: false
  become: true

- name: Mouse mode for the site, also on hosts whose panel is not plugged in yet
  panelcfg.panels.panel_mode:
    mode: mouse
    require_panel: false
    recover: true
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
  description:
    - Whether the site mode was recorded, a controller reset or panelcfg run with the mode word
      (in check mode, whether it would be).
  returned: always
  type: bool
site_mode:
  description: The site mode of C(Util.conf), by the name of its mode (null for none).
  returned: when the program was found
  type: dict
  version_added: "1.1.0"
  contains:
    before:
      description: What C(Util.conf) recorded when the task began.
      type: str
      sample: digitizer
    after:
      description: What it records when the task ends (in check mode, would record).
      type: str
      sample: mouse
    managed:
      description: Whether the task set it (C(site_mode)).
      type: bool
    restored:
      description: The mode the run had written, before the module put back C(before).
      type: str
      returned: when a run changed an unmanaged site mode
missing:
  description: Why no controller was looked at (no PCT controller found), with panelcfg's text.
  returned: when no PCT controller was found
  type: str
  version_added: "1.1.0"
  sample: "no PCT controller found (panelcfg: panelcfg: no supported controller found)"
recovered:
  description: The C(--device) of each controller reset (or, in check mode, to be reset) with
    C(panelcfg --recover) because it had no kernel driver.
  returned: when a controller was found without its kernel driver
  type: list
  version_added: "1.1.0"
  elements: str
  sample: ["1-2"]
recover_runs:
  description: The C(panelcfg --device DEVICE --recover) runs, each with C(cmd), C(rc) (the
    number of controllers reset), C(stdout) and C(stderr).
  returned: when a controller was reset
  type: list
  version_added: "1.1.0"
  elements: dict
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

# Seconds a controller that a finished run left without its kernel driver is given to get one
# (a controller coming back from its reset has none for a moment) before it is taken as
# stranded there.
NO_DRIVER_GRACE = 5


def wait_for_controllers(module, program, keys, timeout, judge):
    """Read the status until judge(after) says every controller of keys is settled, or one that
    is not back is on the bus without a kernel driver for NO_DRIVER_GRACE seconds, or timeout.
    Returns (after, problems of judge, status run)."""
    deadline = time.monotonic() + timeout
    stranded_since = None
    while True:
        doc, status = ps.read_status(module, program)
        after = [d for d in ps.select(doc['devices']) if ps.key(d) in keys]
        settled, problems = judge(after)
        now = time.monotonic()
        if settled or now >= deadline:
            return after, problems, status
        if ps.only_stranded(keys, after):
            stranded_since = now if stranded_since is None else stranded_since
            if now - stranded_since >= NO_DRIVER_GRACE:
                return after, problems, status
        else:
            stranded_since = None
        time.sleep(1)


def back_readable(keys):
    def judge(after):
        waiting = ps.pending(keys, after)
        return not waiting, []
    return judge


def recover(module, program, devices):
    """Reset each controller of devices with panelcfg --device DEVICE --recover; returns the
    runs, and {key: (device, exit status)}."""
    runs, done = [], {}
    for d in devices:
        port = ps.recover_device(d)
        cmd = list(program) + ['--device', port, '--recover']
        rc, out, err = module.run_command(cmd)
        runs.append(dict(cmd=cmd, rc=rc, stdout=out, stderr=err))
        done[ps.key(d)] = (port, rc)
    return runs, done


def main():
    module = AnsibleModule(
        argument_spec=dict(
            mode=dict(type='str', required=True, choices=list(ps.MODES)),
            device=dict(type='str'),
            valid_identity=dict(type='bool', default=True),
            site_mode=dict(type='bool'),
            require_panel=dict(type='bool'),
            recover=dict(type='bool', default=False),
            program=dict(type='list', elements='str', default=['panelcfg']),
            timeout=dict(type='int', default=60),
        ),
        supports_check_mode=True,
    )
    p = module.params
    mode, valid_identity, timeout = p['mode'], p['valid_identity'], p['timeout']
    if not p['program']:
        module.fail_json(msg='program must name the program to run')
    device = None
    if p['device'] is not None:
        try:
            device = ps.device_word(p['device'])
        except ValueError as e:
            module.fail_json(msg=str(e))
    manage_site = p['site_mode'] if p['site_mode'] is not None else device is None
    require_panel = p['require_panel'] if p['require_panel'] is not None else device is not None

    needs = [('--site-mode', 'the site mode of Util.conf, which every run with a mode word '
                             'rewrites, cannot be kept')]
    if device is not None:
        needs.append(('--device', 'one controller cannot be chosen'))
    if p['recover']:
        needs.append(('--recover', 'controllers without their kernel driver cannot be reset'))
    program, help_text = ps.check_program(module, p['program'], needs)
    can_recover = ps.supports(help_text, '--recover')

    result = dict(changed=False, mode=mode)

    # The site mode first: Util.conf is what the hotplug handler gives every panel plugged in
    # later, so it is kept in step whatever the controllers plugged in now need.
    site_before, dummy = ps.site_mode(module, program)
    site = dict(before=site_before, after=site_before, managed=manage_site)
    result['site_mode'] = site
    if manage_site and site_before != mode:
        result['changed'] = True
        if module.check_mode:
            site['after'] = mode
        else:
            site['after'], dummy = ps.site_mode(module, program, mode)

    def show_diff(before, after):
        if module._diff:
            result['diff'] = ps.diff(before, after, site['before'], site['after'], manage_site)

    def keep_site_mode():
        # A run on the whole bus with a mode word writes Util.conf too (a run on one device
        # does not); unless the site mode is this task's to set, it gets back what it recorded.
        if manage_site or module.check_mode:
            return
        now, dummy = ps.site_mode(module, program)
        if now != site_before:
            ps.site_mode(module, program, site_before or 'none')
            site['restored'] = now

    doc, status = ps.read_status(module, program, device)
    before = ps.select(doc['devices'])
    keys = set(ps.key(d) for d in before)
    result['controllers_before'] = before

    stranded = ps.no_driver(before)
    if stranded and p['recover']:
        result['changed'] = True
        result['recovered'] = [ps.recover_device(d) for d in stranded]
        if module.check_mode:
            # What the controllers hold is read only after their reset.
            result['controllers_after'] = before
            show_diff(before, before)
            module.exit_json(**result)
        result['recover_runs'], dummy = recover(module, program, stranded)
        back, dummy, status = wait_for_controllers(
            module, program, keys, timeout, back_readable(set(ps.key(d) for d in stranded)))
        back = dict((ps.key(d), d) for d in back)
        before = [back.get(ps.key(d), d) for d in before]
        result['controllers_before'] = before

    if not before:
        said = ps.messages(status['stdout'], status['stderr'])
        where = ' as device %s' % device if device is not None else ''
        failed = ' (%s exited with %d)' % (' '.join(status['cmd']), status['rc']) \
            if status['rc'] not in (0, 2) else ''
        missing = 'no PCT controller found%s%s%s' % (
            where, ' (panelcfg: %s)' % '; '.join(said) if said else '', failed)
        result.update(controllers_after=[], missing=missing, messages=said)
        show_diff([], [])
        if require_panel:
            module.fail_json(msg=missing, **result)
        module.warn('%s; %s' % (
            missing, 'the site mode is recorded (Util.conf), so the hotplug handler gives it '
            'to a panel plugged in later' if site['after'] == mode else
            'nothing done (require_panel is false)'))
        module.exit_json(**result)

    bad = ps.unreadable(before)
    if bad:
        hint = ''
        if ps.no_driver(before):
            hint = (' (reset with panelcfg --recover, it is still without its kernel driver: '
                    're-plug it)' if p['recover'] else
                    ' (recover: true resets controllers left without their kernel driver)')
        module.fail_json(msg='panelcfg could not read every controller: %s%s' % (
            '; '.join(bad), hint),
            messages=bad + ps.messages('', status['stderr']), **result)

    if not any(ps.differences(d, mode, valid_identity) for d in before):
        result['controllers_after'] = before
        show_diff(before, before)
        module.exit_json(**result)

    result['changed'] = True
    if module.check_mode:
        predicted = [ps.predict(d, mode) for d in before]
        result['controllers_after'] = predicted
        show_diff(before, predicted)
        module.exit_json(**result)

    cmd = list(program)
    if device is not None:
        cmd += ['--device', device]
    cmd.append(ps.MODE_WORDS[mode])
    rc, out, err = module.run_command(cmd)
    result['run'] = dict(cmd=cmd, rc=rc, stdout=out, stderr=err)
    keep_site_mode()

    after, problems, status = wait_for_controllers(
        module, program, keys, timeout,
        lambda after: ps.judge(before, after, mode, valid_identity))

    # A controller the run left without its kernel driver (the claim refused after the detach)
    # stays dead until it is reset: reset it now, and say so rather than that a run was stopped.
    stranded = ps.no_driver(after)
    stranded_problems = []
    if stranded:
        lost = set(ps.key(d) for d in stranded)
        if can_recover:
            result['recover_runs'], done = recover(module, program, stranded)
            result['recovered'] = [port for port, dummy in done.values()]
            back, dummy, status = wait_for_controllers(
                module, program, lost, timeout, back_readable(lost))
            back = dict((ps.key(d), d) for d in back)
        else:
            done, back = {}, {}
        for d in stranded:
            port, reset = done.get(ps.key(d), (ps.recover_device(d), None))
            stranded_problems.append(ps.stranded_problem(d, port, reset, back.get(ps.key(d))))
        after = [back.get(ps.key(d), d) for d in after]
        problems = [pr for pr in problems
                    if not any(pr.startswith(ps.address(d) + ':') for d in stranded)]
    said = ps.messages(out, err) + ps.unreadable([d for d in after if d not in stranded])
    problems = stranded_problems + problems
    result.update(controllers_after=after, messages=said)
    show_diff(before, after)
    if problems:
        module.fail_json(
            msg='not every controller reached %s mode: %s%s' % (
                mode, '; '.join(problems),
                '; panelcfg said: %s' % ' '.join(said) if said else ''),
            problems=problems, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
