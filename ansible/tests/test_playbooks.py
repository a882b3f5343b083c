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

    def host(self, name, scenario=None):
        base = self.tmp / name
        base.mkdir()
        program = [SIM, '--instant', '--state', str(base / 'state.json'),
                   '--dir', str(base / 'touch_panel')]
        if scenario is not None:
            path = base / 'scenario.json'
            path.write_text(json.dumps(scenario))
            program += ['--scenario', str(path)]
        self.hosts[name] = program
        return program

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
            (name, {'ansible_connection': 'local',
                    'ansible_python_interpreter': '/usr/bin/python3',
                    'panelcfg_program': program})
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
    play = fleet.play('mode.yml', mode='mouse', timeout=1)

    r = play.result('stuck', 'Set the mode')
    assert r['failed'] and r['changed']
    assert 'EE:check fail,not support this touch screen.' in r['messages']
    assert 'EE:check fail,not support this touch screen.' in r['msg']
    assert r['problems'] == ['bus 001 device 002 (2575:8753): mode 1 (digitizer), wanted 2 for '
                             'mouse, product ID 8753, wanted 9969 in mouse mode, identity block '
                             'invalid']

    r = play.result('empty', 'Set the mode')
    assert r['failed'] and not r['changed']
    assert r['messages'] == ['panelcfg: no supported controller found']
    assert r['msg'] == ('no PCT controller found (panelcfg: panelcfg: no supported controller '
                        'found)')


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
    report = play.once('Report the panels of the fleet')['msg']
    assert sorted(report) == ['configured', 'fresh']
    assert report['fresh'] == play.result('fresh', 'Report the panels of the host')['msg']


@pytest.mark.skipif(not offers('--device'), reason='%s does not offer --device' % SIM)
def test_one_device_leaves_the_others_alone(tmp_path):
    fleet = Fleet(tmp_path)
    fleet.host('panel-d')
    r = fleet.play('mode.yml', mode='mouse', device='001:003').result('panel-d', 'Set the mode')
    assert r['changed'] and r['run']['cmd'][-3:] == ['--device', '001:003', '--mouse']
    assert modes(r['controllers_after']) == {'2575:9969': 2}
    after = fleet.play('info.yml').result('panel-d', 'Read the panels')
    assert modes(after['pct']) == {'2575:9969': 2, '22b9:0040': 1}
