# -*- coding: utf-8 -*-
# Copyright: the panelcfg authors
# MIT License (see LICENSE)
"""Reading `panelcfg --status --json` and deciding what a mode run has to do.

The functions here take the parsed status document and plain values, so the modules stay thin
and the decisions can be tested without a controller or a program to run.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os

MODES = ('digitizer', 'mouse', 'hybrid-d', 'hybrid-m')
MODE_WORDS = {
    'digitizer': '--digitizer',
    'mouse': '--mouse',
    'hybrid-d': '--hybrid-d',
    'hybrid-m': '--hybrid-m',
}
MODE_NUMBERS = {'digitizer': 1, 'mouse': 2, 'hybrid-d': 3, 'hybrid-m': 4}
HYBRIDS = ('hybrid-d', 'hybrid-m')

# Product IDs a current-generation controller enumerates with outside digitizer mode.
MOUSE_PRODUCT = '9969'
HYBRID_PRODUCT = '9968'

SCHEMA = 1


class StatusError(Exception):
    """The program's output is not a status document this module understands."""


class ReportError(StatusError):
    """panelcfg printed, instead of its report, a document that says why it could not report
    (a top-level error: bad usage, no such device, the run lock not taken in time)."""

    def __init__(self, code, text):
        StatusError.__init__(self, text)
        self.code = code
        self.text = text


def _report_error(doc):
    err = doc.get('error')
    if isinstance(err, dict):
        raise ReportError(err.get('code'), err.get('text') or err.get('code') or 'an error')


def _parse_document(text, command):
    """Parse panelcfg's JSON document of command; raise StatusError (ReportError for panelcfg's
    own error document)."""
    try:
        doc = json.loads(text)
    except ValueError as e:
        raise StatusError('the output is not JSON (%s)' % e)
    if not isinstance(doc, dict):
        raise StatusError('the output is not a JSON object')
    if doc.get('schema') != SCHEMA:
        raise StatusError('%s schema %r, this module reads schema %d'
                          % (command, doc.get('schema'), SCHEMA))
    if doc.get('command') != command:
        raise StatusError('the document is of command %r, not "%s"' % (doc.get('command'), command))
    _report_error(doc)
    return doc


def parse_status(text):
    """Parse the stdout of `--status --json` into the document; raise StatusError."""
    doc = _parse_document(text, 'status')
    devices = doc.get('devices')
    if not isinstance(devices, list) or not all(isinstance(d, dict) for d in devices):
        raise StatusError('the document has no list of devices')
    return doc


def parse_device(text):
    """'001:003' or '1:3' -> (1, 3); raise ValueError on anything else."""
    parts = text.split(':') if isinstance(text, str) else []
    if len(parts) != 2 or not all(p.isdigit() for p in parts):
        raise ValueError('device must be BUS:DEV, e.g. 001:003, not %r' % (text,))
    return int(parts[0], 10), int(parts[1], 10)


def parse_site_mode(text):
    """Parse the stdout of `--site-mode [MODE] --json` into (name or None, changed); raise
    StatusError (ReportError for panelcfg's own error document)."""
    doc = _parse_document(text, 'site-mode')
    site = doc.get('site_mode')
    if site is None:
        return None, bool(doc.get('changed'))
    if not isinstance(site, dict) or site.get('name') not in MODES:
        raise StatusError('the document names no site mode panelcfg writes: %r' % (site,))
    return site['name'], bool(doc.get('changed'))


def device_word(text):
    """The device as panelcfg's --device takes it: BUS:DEV (001:003), the kernel's name of the
    USB device (1-2, 1-1.4) or a hidraw node (hidraw0, /dev/hidraw0). Only what cannot be one
    word of a command line is refused here (ValueError); panelcfg decides the rest."""
    if not isinstance(text, str) or not text.strip():
        raise ValueError('device must name a device: BUS:DEV (001:003), the port name of the USB '
                         'device (1-2) or a hidraw node (hidraw0), not %r' % (text,))
    if text != text.strip() or any(c.isspace() or ord(c) < 32 or ord(c) == 127 for c in text):
        raise ValueError('device must be one word without blanks or control characters, not %r'
                         % (text,))
    if text.startswith('-'):
        raise ValueError('device must not start with "-" (it would be read as an option of '
                         'panelcfg): %r' % (text,))
    return text


def address(dev):
    """The bus and device number of a status entry, as the text of panelcfg names them."""
    return 'bus %s device %s' % (dev.get('bus'), dev.get('device'))


def key(dev):
    """What identifies a controller across its reset.

    The kernel name of the USB device stays when the controller re-enumerates; the device
    number does not on a real bus, so it is used only where the kernel name is unknown.
    """
    if dev.get('sysfs'):
        return 'sysfs:' + dev['sysfs']
    return 'usb:%d:%d' % (int(dev.get('bus', 0)), int(dev.get('device', 0)))


def select(devices, device=None):
    """The PCT controllers of a status document, or only the one at device (BUS, DEV)."""
    found = [d for d in devices if d.get('family') == 'pct']
    if device is not None:
        found = [d for d in found
                 if (int(d.get('bus', -1)), int(d.get('device', -1))) == device]
    return found


def _product(dev):
    return str(dev.get('id') or '').partition(':')[2].lower()


def _qualifying_firmware(dev):
    # Current-generation firmware on which the hybrid words map straight to modes 3 and 4;
    # on all other firmware panelcfg writes the other hybrid number.
    fw = dev.get('firmware') or {}
    chip, rev = fw.get('chip_id'), fw.get('revision')
    if chip is None or rev is None:
        return False
    return (chip == 2 and rev > 407) or (chip == 8 and 391 < rev < 800)


def expected_number(dev, mode):
    """The mode number the controller reports once panelcfg has switched it to mode."""
    if mode in ('digitizer', 'mouse'):
        return MODE_NUMBERS[mode]
    if dev.get('generation') == 'legacy':
        return 4
    if (mode == 'hybrid-d') == _qualifying_firmware(dev):
        return 3
    return 4


def mode_name(dev, number=None):
    """The mode that was asked for to get the number the controller stores (its reported number
    when number is None): 'digitizer', 'mouse', 'hybrid-d', 'hybrid-m', 'hybrid' where the
    controller cannot tell which hybrid mode (a legacy controller's 4, firmware not read) or
    'unknown' outside 1 to 4; None when no mode was read.

    It is the rule of the mode's name in the status document, applied here to the number so that
    a document that names the hybrid modes by their number alone reads the same.
    """
    if number is None:
        number = (dev.get('mode') or {}).get('number')
        if number is None:
            return None
    if number in (1, 2):
        return MODES[number - 1]
    if number not in (3, 4):
        return 'unknown'
    legacy = dev.get('generation') == 'legacy'
    if (legacy and number == 4) or (not legacy and not (dev.get('firmware') or {}).get('chip_id')):
        return 'hybrid'
    if legacy:
        return 'hybrid-d'
    return 'hybrid-d' if expected_number(dev, 'hybrid-d') == number else 'hybrid-m'


def in_mode(dev, mode):
    """Whether the controller is in mode; one that cannot tell its hybrid modes apart is in
    either."""
    name = mode_name(dev)
    return name == mode or (name == 'hybrid' and mode in HYBRIDS)


def expected_product(dev, mode):
    """The product ID of a current-generation controller in mode; None when it does not tell."""
    if dev.get('generation') != 'current':
        return None
    if mode == 'mouse':
        return MOUSE_PRODUCT
    if mode in ('hybrid-d', 'hybrid-m'):
        return HYBRID_PRODUCT
    identity = dev.get('identity') or {}
    home = identity.get('home_id')
    return str(home).partition(':')[2].lower() if home else None


def differences(dev, mode, valid_identity):
    """Why a run must handle this readable controller: an empty list when it need not."""
    reasons = []
    if not in_mode(dev, mode):
        reasons.append('mode %s (%s), wanted %d for %s' % (
            (dev.get('mode') or {}).get('number'), mode_name(dev), expected_number(dev, mode),
            mode))
    product = expected_product(dev, mode)
    if product is not None and _product(dev) != product:
        reasons.append('product ID %s, wanted %s in %s mode' % (_product(dev), product, mode))
    state = (dev.get('identity') or {}).get('state')
    if valid_identity and state != 'valid':
        reasons.append('identity block %s' % state)
    return reasons


def no_driver(devices):
    """The controllers of devices that have no kernel driver bound (error code no-driver)."""
    return [d for d in devices
            if not d.get('readable', True) and (d.get('error') or {}).get('code') == 'no-driver']


def recover_device(dev):
    """The --device DEVICE that names this controller for panelcfg --recover: its port name,
    which survives the reset, or else its bus and device number."""
    return dev.get('sysfs') or '%s:%s' % (dev.get('bus'), dev.get('device'))


def pending(keys, after):
    """The keys of keys whose controller is not back readable in after (missing or unreadable)."""
    readable = set(key(d) for d in after if d.get('readable', True))
    return set(keys) - readable


def only_stranded(keys, after):
    """Whether every controller of keys that is not back readable is on the bus without a kernel
    driver: after a run has ended no driver comes to such a controller by itself."""
    waiting = pending(keys, after)
    stranded = set(key(d) for d in no_driver(after))
    return bool(waiting) and waiting <= stranded


def stranded_problem(dev, port, reset, back):
    """What to say of a controller that a run left without its kernel driver.

    dev is its entry after the run, port the --device DEVICE it was reset with, reset the exit
    status of `panelcfg --device DEVICE --recover` (the number of controllers reset; None: not
    tried, panelcfg offers no --recover) and back its entry after that reset (None: not on the
    bus again).
    """
    head = ('%s (%s) was left without its kernel driver by the run: panelcfg took the driver '
            'off but could not take the controller over (see messages), so it was not '
            'configured' % (address(dev), dev.get('id')))
    if reset is None:
        return '%s; reset it with panelcfg --device %s --recover (this panelcfg offers no ' \
               '--recover) or re-plug it' % (head, port)
    if reset < 1:
        return '%s; panelcfg --device %s --recover could not reset it either: re-plug it' % (
            head, port)
    if back is None:
        return '%s; it was reset with panelcfg --device %s --recover but is not back on the ' \
               'bus' % (head, port)
    if not back.get('readable', True):
        return '%s; it was reset with panelcfg --device %s --recover and is back, but %s' % (
            head, port, unreadable([back])[0].partition(': ')[2])
    return '%s; it was reset with panelcfg --device %s --recover and is back with its kernel ' \
           'driver, in mode %s (%s)' % (head, port, (back.get('mode') or {}).get('number'),
                                        mode_name(back))


def unreadable(devices):
    """'bus B device D: text' for every controller of devices that could not be read."""
    lines = []
    for d in devices:
        if d.get('readable', True):
            continue
        err = d.get('error') or {}
        lines.append('%s: %s' % (address(d), err.get('text') or err.get('code') or 'unreadable'))
    return lines


def summary(dev):
    """A controller as one entry of the diff: what the mode and identity checks look at."""
    return {
        'id': dev.get('id'),
        'mode': mode_name(dev),
        'identity': (dev.get('identity') or {}).get('state'),
        'readable': dev.get('readable', True),
    }


def predict(dev, mode):
    """The status entry a run to mode leaves for a readable controller."""
    after = dict(dev)
    number = expected_number(dev, mode)
    after['mode'] = {'number': number, 'name': mode_name(dev, number)}
    product = expected_product(dev, mode)
    if product is not None:
        after['id'] = '%s:%s' % (str(dev.get('id')).partition(':')[0], product)
    identity = dict(dev.get('identity') or {})
    # Every mode run makes the identity block of the controllers it handles valid.
    identity['state'] = 'valid'
    identity['valid'] = True
    after['identity'] = identity
    return after


SITE_MODE_KEY = 'site mode'


def diff(before, after, site_before=None, site_after=None, site=False):
    """The diff of the module: one entry per controller, by address, and with site the site
    mode of Util.conf (its mode's name, or 'none')."""
    result = {
        'before': dict((address(d), summary(d)) for d in before),
        'after': dict((address(d), summary(d)) for d in after),
    }
    if site:
        result['before'][SITE_MODE_KEY] = site_before or 'none'
        result['after'][SITE_MODE_KEY] = site_after or 'none'
    return result


def judge(before, after, mode, valid_identity):
    """Compare the controllers after a run with those before it.

    Returns (settled, problems): settled is False while some controller of before is missing
    from after or not readable again (it may still be coming back from its reset); problems
    lists what is wrong with each controller, empty when every one reached the mode.
    """
    now = dict((key(d), d) for d in after)
    settled = True
    problems = []
    for d in before:
        a = now.get(key(d))
        if a is None:
            settled = False
            problems.append('%s (%s) did not come back after its reset' % (address(d), d.get('id')))
        elif not a.get('readable', True):
            settled = False
            problems.extend(unreadable([a]))
        else:
            reasons = differences(a, mode, valid_identity)
            if reasons:
                problems.append('%s (%s): %s' % (address(a), a.get('id'), ', '.join(reasons)))
    return settled, problems


def messages(stdout, stderr):
    """panelcfg's own complaints in a run's output: its EE: lines and what it put on stderr."""
    lines = [ln for ln in (stdout or '').splitlines() if ln.startswith('EE:')]
    lines.extend(ln for ln in (stderr or '').splitlines() if ln.strip())
    return lines


def supports(help_text, option):
    """Whether the program's --help text names option (older panelcfg has no --status: given
    `--status --json` it would ignore both words and run as if given none)."""
    return any(option in ln.split() for ln in (help_text or '').splitlines())


INSTALL_HINT = ('install the Debian package panelcfg on the host (apt install panelcfg, or the role '
                'panelcfg.panels.fleet with panelcfg_install: true), or name the program with the '
                'option program')


def missing_program(name, found, path):
    """The message for a program that is not on the host; None when it was found.

    name is the first word of program, found what the search gave (None: nothing), path the
    search path looked through.
    """
    if found:
        return None
    if '/' in name:
        return 'panelcfg is not installed on this host: %s is no executable file; %s' % (
            name, INSTALL_HINT)
    return 'panelcfg is not installed on this host: no program %s in the search path (%s); %s' % (
        name, path, INSTALL_HINT)


def find_program(module, program):
    """program with its first word found on the host (a path to the executable); fails the
    module with one message naming the program when it is not there."""
    name = program[0]
    if '/' in name:
        found = name if os.path.isfile(name) and os.access(name, os.X_OK) else None
    else:
        found = module.get_bin_path(name)
    said = missing_program(name, found, os.environ.get('PATH', ''))
    if said:
        module.fail_json(msg=said)
    return [found] + list(program[1:])


def check_program(module, program, needs=()):
    """Find program and fail the module unless it knows --status and every option of needs,
    a list of (option, what it is needed for). Returns (program found, its --help text)."""
    program = find_program(module, program)
    rc, out, err = module.run_command(program + ['--help'])
    text = (out or '') + (err or '')
    if rc != 0 or not supports(text, '--status'):
        module.fail_json(
            msg='%s does not offer --status (its --help does not name it): it is older than '
                'this collection, which reads the controllers only through --status'
                % ' '.join(program),
            rc=rc, stdout=out, stderr=err)
    for option, why in needs:
        if not supports(text, option):
            module.fail_json(
                msg='%s does not offer %s (its --help does not name it), so %s'
                    % (' '.join(program), option, why),
                rc=rc, stdout=out, stderr=err)
    return program, text


def read_status(module, program, device=None):
    """Run `program [--device DEVICE] --status --json`; return (document, result of the run).

    A document whose controllers could not all be read (exit status 1) is returned as it is,
    and so is a device that is not on the bus (panelcfg's error no-such-device): as a document
    without devices whose error says so. Output that is no status document fails the module
    with panelcfg's own text.
    """
    cmd = list(program) + (['--device', device] if device is not None else []) + [
        '--status', '--json']
    rc, out, err = module.run_command(cmd)
    run = {'cmd': cmd, 'rc': rc, 'stdout': out, 'stderr': err}
    try:
        doc = parse_status(out)
    except ReportError as e:
        if e.code == 'no-such-device':
            return {'schema': SCHEMA, 'command': 'status', 'devices': [],
                    'error': {'code': e.code, 'text': e.text}}, run
        module.fail_json(msg='%s failed: %s' % (' '.join(cmd), e.text),
                         messages=messages(out, err), rc=rc, stdout=out, stderr=err)
    except StatusError as e:
        said = messages(out, err)
        module.fail_json(
            msg='%s printed no status document: %s%s' % (
                ' '.join(cmd), '; '.join(said) if said else 'exit status %d' % rc,
                '' if said else ' (%s)' % e),
            messages=said, rc=rc, stdout=out, stderr=err)
    return doc, run


def site_mode(module, program, mode=None):
    """Run `program --site-mode [MODE] --json`: without mode it only reads. Returns the name of
    the site mode Util.conf records afterwards (None: none) and the result of the run; fails
    the module with panelcfg's text when Util.conf cannot be read or written."""
    cmd = list(program) + ['--site-mode'] + ([mode] if mode else []) + ['--json']
    rc, out, err = module.run_command(cmd)
    run = {'cmd': cmd, 'rc': rc, 'stdout': out, 'stderr': err}
    try:
        name, dummy = parse_site_mode(out)
    except StatusError as e:
        said = messages(out, err)
        module.fail_json(
            msg='%s could not %s the site mode (Util.conf): %s' % (
                ' '.join(cmd), 'record' if mode else 'read',
                e.text if isinstance(e, ReportError) else (
                    '; '.join(said) if said else 'exit status %d (%s)' % (rc, e))),
            messages=said, rc=rc, stdout=out, stderr=err)
    if rc != 0 or (mode and name != (None if mode == 'none' else mode)):
        said = messages(out, err)
        module.fail_json(
            msg='%s could not record the site mode (Util.conf): %s' % (
                ' '.join(cmd), '; '.join(said) if said else 'exit status %d' % rc),
            messages=said, rc=rc, stdout=out, stderr=err)
    return name, run
