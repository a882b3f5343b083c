"""Playbooks of the collection against panelcfg-sim, whose state stands in for a host's panels.

Each simulated host is localhost with a state file and a directory of its own. ansible-playbook
runs with the callback of callback_plugins/, so the tests read every task's result per host.
Environment: PANELCFG_SIM (the simulator; default the release build's) and
ANSIBLE_COLLECTIONS_PATH (where the collection is installed; default this tree).
"""

import json
import os
import subprocess
import sys

import pytest
import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SIM = os.path.abspath(os.environ.get(
    'PANELCFG_SIM', os.path.join(ROOT, 'build/release/src/app/src/sim/panelcfg-sim')))

# A current-generation controller whose parameter writes (command 0xA8) all fail: its identity
# block cannot be written, so panelcfg refuses it ("check fail") and leaves it in digitizer mode.
REFUSING = {
    'devices': [{
        'name': 'stuck', 'model': 'pct-current', 'bus': 1, 'vid': '0x2575', 'pid': '0x8753',
        'identity': '0x12048170', 'strings': {'0x3C': 'zUZOVoDODeRIRArI'},
        'faults': {'transfers': [
            {'reportId': '0x08', 'command': '0xA8', 'times': -1, 'result': 'EIO'}]},
    }],
}
# Nothing panelcfg supports on the bus.
EMPTY = {
    'devices': [{'name': 'hub', 'model': 'plain', 'bus': 1, 'vid': '0x0F0F', 'pid': '0x0101',
                 'interfaceClass': 9, 'driver': 'hub'}],
}
# One current-generation controller on port 1-1; CLAIM_REFUSED is the same bus while another
# program holds its interface: a run takes the kernel driver off, then its claim is refused.
ONE_PANEL = {
    'devices': [{
        'name': 'panel', 'model': 'pct-current', 'bus': 1, 'vid': '0x2575', 'pid': '0x8753',
        'identity': '0x12048170', 'strings': {'0x3C': 'zUZOVoDODeRIRArI'},
    }],
}
CLAIM_REFUSED = {
    'devices': [dict(ONE_PANEL['devices'][0], faults={'claimErrno': 'EBUSY'})],
}
# systemctl for the role's tests: the mask of each host's hotplug unit is a file in the directory
# TEST_SYSTEMCTL_DIR, and every call is logged there.
SYSTEMCTL = """#!/bin/sh
dir=$TEST_SYSTEMCTL_DIR
echo "$*" >>"$dir/calls"
case "$1" in
show) if [ -e "$dir/masked" ]; then echo LoadState=masked; else echo LoadState=loaded; fi ;;
is-enabled) if [ -e "$dir/masked" ]; then echo masked; else echo indirect; fi ;;
mask) touch "$dir/masked" ;;
unmask) rm -f "$dir/masked" ;;
*) exit 1 ;;
esac
"""


def sim_help():
    if not os.access(SIM, os.X_OK):
        return ''
    out = subprocess.run([SIM, '--help'], capture_output=True, text=True, check=False)
    return out.stdout + out.stderr


def offers(option):
    return any(option in line.split() for line in sim_help().splitlines())


pytestmark = pytest.mark.skipif(
    not offers('--status'),
    reason='%s does not offer --status (its --help does not name it), so there is no status '
           'document to read: the playbook tests need a simulator built with --status' % SIM)


class Fleet:
    """Simulated hosts, each localhost with its own simulator state and directory."""

    def __init__(self, tmp_path):
        self.tmp = tmp_path
        self.hosts = {}
        self.vars = {}
        self.bin = tmp_path / 'bin'
        self.bin.mkdir()
        systemctl = self.bin / 'systemctl'
        systemctl.write_text(SYSTEMCTL)
        systemctl.chmod(0o755)

    def host(self, name, scenario=None, **host_vars):
        base = self.tmp / name
        base.mkdir()
        (base / 'systemd').mkdir()
        program = [SIM, '--instant', '--state', str(base / 'state.json'),
                   '--dir', str(base / 'touch_panel')]
        if scenario is not None:
            program += ['--scenario', self.scenario(name, 'scenario.json', scenario)]
        self.hosts[name] = program
        self.vars[name] = host_vars
        return program

    def scenario(self, name, file_name, scenario):
        path = self.tmp / name / file_name
        path.write_text(json.dumps(scenario))
        return str(path)

    def util_conf(self, name):
        """The host's Util.conf, the site mode the hotplug handler gives new panels."""
        path = self.tmp / name / 'touch_panel' / 'Util.conf'
        return path.read_text() if path.exists() else None

    def systemctl(self, name):
        """The calls of systemctl on the host, and whether its hotplug unit is masked."""
        base = self.tmp / name / 'systemd'
        calls = base / 'calls'
        return (calls.read_text().splitlines() if calls.exists() else [],
                (base / 'masked').exists())

    def state(self, name):
        path = self.tmp / name / 'state.json'
        return path.read_bytes() if path.exists() else None

    def sim(self, name, *words):
        return subprocess.run(self.hosts[name] + list(words), capture_output=True, text=True,
                              check=False)

    def status(self, name):
        return json.loads(self.sim(name, '--status', '--json').stdout)

    def play(self, playbook, *options, **extra):
        inventory = self.tmp / 'inventory.yml'
        inventory.write_text(yaml.safe_dump({'all': {'hosts': dict(
            (name, dict({'ansible_connection': 'local',
                         'ansible_python_interpreter': '/usr/bin/python3',
                         # The role's apt and systemctl tasks become root; the tests need not.
                         'ansible_become': False,
                         'panelcfg_program': program,
                         'test_bin': str(self.bin),
                         'systemctl_dir': str(self.tmp / name / 'systemd')},
                        **self.vars[name]))
            for name, program in self.hosts.items())}}))
        env = dict(os.environ, ANSIBLE_STDOUT_CALLBACK='results', ANSIBLE_NOCOLOR='1',
                   ANSIBLE_CALLBACK_PLUGINS=os.path.join(HERE, 'callback_plugins'),
                   ANSIBLE_RETRY_FILES_ENABLED='0', ANSIBLE_LOCAL_TEMP=str(self.tmp / 'tmp'),
                   ANSIBLE_REMOTE_TMP=str(self.tmp / 'tmp'))
        env.setdefault('ANSIBLE_COLLECTIONS_PATH', os.path.dirname(HERE))
        cmd = ['ansible-playbook', '-i', str(inventory), os.path.join(HERE, 'playbooks', playbook),
               '-e', json.dumps(extra)] + list(options)
        done = subprocess.run(cmd, capture_output=True, text=True, env=env, check=False)
        try:
            return Play(json.loads(done.stdout))
        except ValueError:
            sys.stderr.write(done.stdout + done.stderr)
            raise


class Play:
    def __init__(self, doc):
        self.doc = doc
        self.stats = doc['stats']

    def result(self, host, task):
        for play in self.doc['plays']:
            for t in play['tasks']:
                if t['task']['name'] == task and host in t['hosts']:
                    return t['hosts'][host]
        raise KeyError('%s: %s' % (host, task))

    def once(self, task):
        """The result of a run_once task, on whichever host it ran."""
        for play in self.doc['plays']:
            for t in play['tasks']:
                if t['task']['name'] == task:
                    (result,) = t['hosts'].values()
                    return result
        raise KeyError(task)


def modes(controllers):
    return dict((c['id'], c['mode']['number']) for c in controllers)


def test_first_play_switches_the_second_only_reads(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('panel-a')
    first = fleet.play('mode.yml', mode='mouse')
    r = first.result('panel-a', 'Set the mode')
    assert first.stats['panel-a']['changed'] == 1 and not r.get('failed')
    assert r['run']['cmd'] == fleet.hosts['panel-a'] + ['--mouse']
    assert modes(r['controllers_before']) == {'2575:8753': 1, '22b9:0040': 1}
    # The current-generation controller comes back under the mouse product ID.
    assert modes(r['controllers_after']) == {'2575:9969': 2, '22b9:0040': 2}
    assert [c['identity']['state'] for c in r['controllers_after']] == ['valid', 'valid']
    assert modes(d for d in fleet.status('panel-a')['devices'] if d['family'] == 'pct') == {
        '2575:9969': 2, '22b9:0040': 2}

    state = fleet.state('panel-a')
    second = fleet.play('mode.yml', mode='mouse')
    r = second.result('panel-a', 'Set the mode')
    assert second.stats['panel-a']['changed'] == 0 and second.stats['panel-a']['ok'] == 1
    assert not r['changed'] and 'run' not in r
    # Status reads only: no controller was taken over, written or reset.
    assert fleet.state('panel-a') == state

    # Chip 8 revision 368 numbers the hybrid modes the other way round: hybrid-d is mode 4,
    # as on the legacy controller.
    predicted = fleet.play('mode.yml', '--check', mode='hybrid-d').result('panel-a', 'Set the mode')
    hybrid = fleet.play('mode.yml', mode='hybrid-d').result('panel-a', 'Set the mode')
    assert hybrid['changed'] and modes(hybrid['controllers_after']) == {
        '2575:9968': 4, '22b9:0040': 4}
    # Named as asked for; the legacy controller cannot tell its hybrid modes apart.
    assert [c['mode']['name'] for c in hybrid['controllers_after']] == ['hybrid-d', 'hybrid']
    assert [c['mode'] for c in predicted['controllers_after']] == [
        c['mode'] for c in hybrid['controllers_after']]
    assert not fleet.play('mode.yml', mode='hybrid-d').result('panel-a', 'Set the mode')['changed']


def test_check_mode_predicts_and_touches_nothing(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('panel-b')
    fleet.sim('panel-b', '--digitizer')  # valid identity blocks, digitizer mode
    state = fleet.state('panel-b')

    # Digitizer mode already: nothing to do, with or without check mode.
    r = fleet.play('mode.yml', '--check', mode='digitizer').result('panel-b', 'Set the mode')
    assert not r['changed']

    checked = fleet.play('mode.yml', '--check', '--diff', mode='mouse')
    r = checked.result('panel-b', 'Set the mode')
    assert r['changed'] and 'run' not in r
    assert fleet.state('panel-b') == state
    assert modes(r['controllers_after']) == {'2575:9969': 2, '22b9:0040': 2}
    assert r['diff']['before']['bus 001 device 003'] == {
        'id': '2575:8753', 'mode': 'digitizer', 'identity': 'valid', 'readable': True}
    assert r['diff']['after']['bus 001 device 003']['id'] == '2575:9969'

    real = fleet.play('mode.yml', mode='mouse').result('panel-b', 'Set the mode')
    assert real['changed'] and fleet.state('panel-b') != state
    assert modes(real['controllers_after']) == modes(r['controllers_after'])
    r = fleet.play('mode.yml', '--check', mode='mouse').result('panel-b', 'Set the mode')
    assert not r['changed']


def test_refused_switch_and_missing_controllers_fail_with_panelcfg_text(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('stuck', REFUSING)
    fleet.host('empty', EMPTY)
    play = fleet.play('mode.yml', mode='mouse', timeout=1, require_panel=True)

    r = play.result('stuck', 'Set the mode')
    assert r['failed'] and r['changed']
    assert 'EE:check fail,not support this touch screen.' in r['messages']
    assert 'EE:check fail,not support this touch screen.' in r['msg']
    assert r['problems'] == ['bus 001 device 002 (2575:8753): mode 1 (digitizer), wanted 2 for '
                             'mouse, product ID 8753, wanted 9969 in mouse mode, identity block '
                             'invalid']

    r = play.result('empty', 'Set the mode')
    # Failed, for a panel is required; changed, for the site mode was recorded all the same.
    assert r['failed'] and r['changed']
    assert r['messages'] == ['panelcfg: no supported controller found']
    assert r['msg'] == ('no PCT controller found (panelcfg: panelcfg: no supported controller '
                        'found)')
    assert fleet.util_conf('empty') == '[SETUP]\nPOSMODE=2\n'


def test_each_host_of_the_fleet_is_reported_on_its_own(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('fresh')
    fleet.host('configured')
    fleet.sim('configured', '--mouse')
    fleet.host('stuck', REFUSING)
    configured = fleet.state('configured')

    play = fleet.play('site.yml', panelcfg_site_mode='mouse')
    task = "Set the site's position mode"
    assert play.result('fresh', task)['changed']
    assert not play.result('configured', task)['changed']
    assert play.stats['configured']['changed'] == 0 and play.stats['configured']['failures'] == 0
    assert fleet.state('configured') == configured
    assert play.stats['stuck']['failures'] == 1
    assert 'EE:check fail,not support this touch screen.' in play.result('stuck', task)['messages']

    for host in ('fresh', 'configured'):
        info = play.result(host, 'Read the panels')
        assert info['status']['schema'] == 1
        assert modes(info['pct']) == {'2575:9969': 2, '22b9:0040': 2}
        lines = play.result(host, 'Report the panels of the host')['msg']
        assert [ln.split(': ', 1)[0] for ln in lines] == [
            'bus 001 device 003', 'bus 002 device 002', 'bus 002 device 003']
        assert 'mode 2 [mouse], identity valid' in lines[0]
    entries = play.once('Report the panels of the fleet')['msg']
    # The failed host first, with what failed; then the others in the order of the inventory
    # (which has them sorted).
    assert [list(e) for e in entries] == [['stuck'], ['configured'], ['fresh']]
    report = dict(pair for e in entries for pair in e.items())
    assert report['fresh'] == play.result('fresh', 'Report the panels of the host')['msg']
    assert report['configured'] == play.result('configured', 'Report the panels of the host')['msg']
    assert report['stuck'] == [
        'failed: ' + play.result('stuck', task)['msg'],
        'bus 001 device 002: 2575:8753 PCT current, mode 1 [digitizer], identity invalid']


@pytest.mark.skipif(not offers('--device'), reason='%s does not offer --device' % SIM)
def test_one_device_leaves_the_others_alone(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('panel-d')
    r = fleet.play('mode.yml', mode='mouse', device='001:003').result('panel-d', 'Set the mode')
    assert r['changed'] and r['run']['cmd'][-3:] == ['--device', '001:003', '--mouse']
    assert modes(r['controllers_after']) == {'2575:9969': 2}
    after = fleet.play('info.yml').result('panel-d', 'Read the panels')
    assert modes(after['pct']) == {'2575:9969': 2, '22b9:0040': 1}


MOUSE_CONF = '[SETUP]\nPOSMODE=2\n'
DIGITIZER_CONF = '[SETUP]\nPOSMODE=1\n'


def test_site_mode_is_kept_in_step_when_no_run_is_needed(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('kiosk')
    fleet.sim('kiosk', '--mouse')
    # The panels are in mouse mode, but the hotplug handler would give the next one digitizer.
    fleet.sim('kiosk', '--site-mode', 'digitizer')
    state = fleet.state('kiosk')

    r = fleet.play('mode.yml', mode='mouse').result('kiosk', 'Set the mode')
    assert r['changed'] and not r.get('failed') and 'run' not in r
    assert r['site_mode'] == {'before': 'digitizer', 'after': 'mouse', 'managed': True}
    assert fleet.util_conf('kiosk') == MOUSE_CONF
    assert fleet.state('kiosk') == state  # no controller touched

    r = fleet.play('mode.yml', mode='mouse').result('kiosk', 'Set the mode')
    assert not r['changed'] and r['site_mode'] == {'before': 'mouse', 'after': 'mouse',
                                                   'managed': True}


def test_a_host_without_a_panel_records_the_site_mode(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('waiting', EMPTY)
    play = fleet.play('mode.yml', mode='hybrid-d')
    r = play.result('waiting', 'Set the mode')
    missing = 'no PCT controller found (panelcfg: panelcfg: no supported controller found)'
    assert r['changed'] and not r.get('failed') and play.stats['waiting']['failures'] == 0
    assert r['missing'] == missing
    assert r['warnings'] == [missing + '; the site mode is recorded (Util.conf), so the hotplug '
                             'handler gives it to a panel plugged in later']
    assert r['controllers_before'] == [] and r['controllers_after'] == []
    assert fleet.util_conf('waiting') == '[SETUP]\nPOSMODE=3\n'

    # Required, the panel fails the task; the site mode is in step already.
    r = fleet.play('mode.yml', mode='hybrid-d', require_panel=True).result('waiting', 'Set the mode')
    assert r['failed'] and not r['changed'] and r['msg'] == missing
    assert fleet.util_conf('waiting') == '[SETUP]\nPOSMODE=3\n'


@pytest.mark.skipif(not offers('--device'), reason='%s does not offer --device' % SIM)
def test_one_device_by_its_port_leaves_the_site_mode_unless_asked(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('desk')
    fleet.sim('desk', '--site-mode', 'digitizer')

    r = fleet.play('mode.yml', mode='mouse', device='1-2').result('desk', 'Set the mode')
    assert r['changed'] and not r.get('failed')
    assert r['run']['cmd'][-3:] == ['--device', '1-2', '--mouse']
    assert modes(r['controllers_after']) == {'2575:9969': 2}
    # A run on one device leaves Util.conf alone: nothing to put back.
    assert r['site_mode'] == {'before': 'digitizer', 'after': 'digitizer', 'managed': False}
    assert fleet.util_conf('desk') == DIGITIZER_CONF

    # Asked for, the site mode follows; the controller is in mouse mode already.
    r = fleet.play('mode.yml', mode='mouse', device='1-2', site_mode=True).result(
        'desk', 'Set the mode')
    assert r['changed'] and 'run' not in r
    assert r['site_mode'] == {'before': 'digitizer', 'after': 'mouse', 'managed': True}
    assert fleet.util_conf('desk') == MOUSE_CONF

    # A named device that is not there fails the task by default, and touches nothing.
    r = fleet.play('mode.yml', mode='digitizer', device='9-9').result('desk', 'Set the mode')
    assert r['failed'] and not r['changed']
    assert r['msg'] == ('no PCT controller found as device 9-9 (panelcfg: panelcfg: --device '
                        '9-9: no such USB device)')
    assert fleet.util_conf('desk') == MOUSE_CONF


def test_check_mode_shows_the_site_mode_and_writes_nothing(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('kiosk')
    fleet.sim('kiosk', '--mouse')
    fleet.sim('kiosk', '--site-mode', 'none')
    state = fleet.state('kiosk')

    r = fleet.play('mode.yml', '--check', '--diff', mode='mouse').result('kiosk', 'Set the mode')
    assert r['changed'] and 'run' not in r
    assert r['site_mode'] == {'before': None, 'after': 'mouse', 'managed': True}
    assert r['diff']['before']['site mode'] == 'none'
    assert r['diff']['after']['site mode'] == 'mouse'
    assert r['diff']['before']['bus 001 device 003'] == r['diff']['after']['bus 001 device 003']
    assert fleet.util_conf('kiosk') is None and fleet.state('kiosk') == state

    fleet.sim('kiosk', '--site-mode', 'mouse')
    r = fleet.play('mode.yml', '--check', '--diff', mode='digitizer').result('kiosk', 'Set the mode')
    assert r['changed']
    assert (r['diff']['before']['site mode'], r['diff']['after']['site mode']) == (
        'mouse', 'digitizer')
    assert r['diff']['after']['bus 001 device 003']['mode'] == 'digitizer'
    assert fleet.util_conf('kiosk') == MOUSE_CONF and fleet.state('kiosk') == state


def refused_claim_host(fleet, name):
    """A host of ONE_PANEL whose mode runs meet a refused claim (the other runs do not): a
    program standing in for panelcfg that gives the simulator CLAIM_REFUSED for them."""
    fleet.host(name, ONE_PANEL)
    plain = fleet.scenario(name, 'plain.json', ONE_PANEL)
    refused = fleet.scenario(name, 'refused.json', CLAIM_REFUSED)
    wrapper = fleet.tmp / name / 'panelcfg'
    wrapper.write_text(
        '#!/bin/sh\ncase " $* " in\n'
        '*" --digitizer "*|*" --mouse "*|*" --hybrid-d "*|*" --hybrid-m "*) scenario=%s ;;\n'
        '*) scenario=%s ;;\nesac\nexec %s --scenario "$scenario" "$@"\n' % (refused, plain, SIM))
    wrapper.chmod(0o755)
    base = fleet.tmp / name
    fleet.hosts[name] = [str(wrapper), '--instant', '--state', str(base / 'state.json'),
                         '--dir', str(base / 'touch_panel')]


def test_a_controller_left_without_its_driver_is_reset_and_named(tmp_path):
    fleet = Fleet(tmp_path)
    refused_claim_host(fleet, 'held')
    play = fleet.play('mode.yml', mode='mouse')
    r = play.result('held', 'Set the mode')
    assert r['failed'] and r['changed']
    assert r['recovered'] == ['1-1']
    assert [run['cmd'][-3:] for run in r['recover_runs']] == [['--device', '1-1', '--recover']]
    assert [run['rc'] for run in r['recover_runs']] == [1]
    assert r['problems'] == [
        'bus 001 device 002 (2575:8753) was left without its kernel driver by the run: panelcfg '
        'took the driver off but could not take the controller over (see messages), so it was '
        'not configured; it was reset with panelcfg --device 1-1 --recover and is back with its '
        'kernel driver, in mode 1 (digitizer)']
    assert 'Unable to claim interface: Device or resource busy' in r['messages']
    assert 'a run was stopped' not in r['msg']
    after = fleet.status('held')['devices']
    assert [(d['readable'], d['driver_bound']) for d in after] == [(True, True)]


def test_recover_resets_stranded_controllers_first(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('stranded', ONE_PANEL)
    refused = fleet.scenario('stranded', 'refused.json', CLAIM_REFUSED)
    fleet.sim('stranded', '--scenario', refused, '--mouse')  # leaves the controller driverless
    state = fleet.state('stranded')

    r = fleet.play('mode.yml', mode='mouse').result('stranded', 'Set the mode')
    assert r['failed'] and 'run' not in r
    assert r['msg'] == (
        'panelcfg could not read every controller: bus 001 device 002: no kernel driver is bound '
        'to this controller (a run was stopped while it held it?); panelcfg --recover resets it '
        '(recover: true resets controllers left without their kernel driver)')

    r = fleet.play('mode.yml', '--check', mode='mouse', recover=True).result(
        'stranded', 'Set the mode')
    assert r['changed'] and r['recovered'] == ['1-1'] and 'recover_runs' not in r
    assert fleet.state('stranded') == state

    r = fleet.play('mode.yml', mode='mouse', recover=True).result('stranded', 'Set the mode')
    assert r['changed'] and not r.get('failed')
    assert r['recovered'] == ['1-1'] and [x['rc'] for x in r['recover_runs']] == [1]
    assert [d['readable'] for d in r['controllers_before']] == [True]
    assert modes(r['controllers_after']) == {'2575:9969': 2}


def test_a_host_without_panelcfg_gets_one_message(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('bare')
    fleet.hosts['bare'] = [str(tmp_path / 'bare' / 'panelcfg'), '--status']
    r = fleet.play('mode.yml', mode='mouse').result('bare', 'Set the mode')
    assert r['failed'] and not r['changed']
    assert r['msg'] == (
        'panelcfg is not installed on this host: %s is no executable file; install the Debian '
        'package panelcfg on the host (apt install panelcfg, or the role panelcfg.panels.fleet '
        'with panelcfg_install: true), or name the program with the option program'
        % (tmp_path / 'bare' / 'panelcfg'))
    fleet.hosts['bare'] = ['panelcfg-not-installed-here']
    r = fleet.play('info.yml').result('bare', 'Read the panels')
    assert r['failed'] and r['msg'].startswith(
        'panelcfg is not installed on this host: no program panelcfg-not-installed-here in the '
        'search path (')
    assert 'Traceback' not in r['msg'] and 'exception' not in r


def test_the_role_switches_hotplug_and_reports_failed_and_unreachable_hosts_first(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('a-kiosk')
    fleet.host('b-empty', EMPTY)
    fleet.host('c-stuck', REFUSING)
    # No ssh server listens on port 1: the host cannot be reached.
    fleet.host('d-gone', ansible_connection='ssh', ansible_host='127.0.0.1', ansible_port=1,
               ansible_ssh_common_args='-o ConnectTimeout=2 -o BatchMode=yes')

    play = fleet.play('site.yml', panelcfg_site_mode='mouse', panelcfg_hotplug=False)
    hotplug = 'Switch the hotplug handler on or off'
    for host in ('a-kiosk', 'b-empty', 'c-stuck'):
        assert play.result(host, hotplug)['changed']
        assert fleet.systemctl(host) == (
            ['show panelcfg-hotplug@.service', 'is-enabled panelcfg-hotplug@.service',
             'mask panelcfg-hotplug@.service'], True)
        assert fleet.util_conf(host) == MOUSE_CONF
    assert play.stats['d-gone']['unreachable'] == 1
    assert play.stats['b-empty']['failures'] == 0 and play.stats['c-stuck']['failures'] == 1

    entries = play.once('Report the panels of the fleet')['msg']
    assert [list(e) for e in entries] == [['c-stuck'], ['d-gone'], ['a-kiosk'], ['b-empty']]
    report = dict(pair for e in entries for pair in e.items())
    assert report['c-stuck'][0] == 'failed: ' + play.result(
        'c-stuck', "Set the site's position mode")['msg']
    assert report['d-gone'][0].startswith('unreachable: ')
    assert report['a-kiosk'] == play.result('a-kiosk', 'Report the panels of the host')['msg']
    assert report['b-empty'] == []

    again = fleet.play('site.yml', panelcfg_site_mode='mouse', panelcfg_hotplug=False)
    assert not again.result('a-kiosk', hotplug)['changed']
    assert fleet.systemctl('a-kiosk')[0][3:] == [
        'show panelcfg-hotplug@.service', 'is-enabled panelcfg-hotplug@.service']
    on = fleet.play('site.yml', panelcfg_site_mode='mouse')
    assert on.result('a-kiosk', hotplug)['changed']
    assert fleet.systemctl('a-kiosk')[0][-1] == 'unmask panelcfg-hotplug@.service'
    assert fleet.systemctl('a-kiosk')[1] is False
    # null leaves the unit alone.
    calls = fleet.systemctl('a-kiosk')[0]
    alone = fleet.play('site.yml', panelcfg_site_mode='mouse', panelcfg_hotplug=None)
    assert alone.result('a-kiosk', hotplug)['skipped']
    assert fleet.systemctl('a-kiosk')[0] == calls
