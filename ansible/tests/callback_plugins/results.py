# -*- coding: utf-8 -*-
# Copyright: the panelcfg authors
# MIT License (see LICENSE)
"""A stdout callback for the playbook tests: every task's result per host, as one JSON document.

ansible-core has no JSON callback of its own (it lives in a separate collection), so the tests
bring this one: {"plays": [{"tasks": [{"task": {"name"}, "hosts": {HOST: RESULT}}]}],
"stats": {HOST: {"ok", "changed", "failures", "unreachable", "skipped"}}}.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
name: results
type: stdout
short_description: every task's result per host as one JSON document
description:
  - Written for the playbook tests of panelcfg.panels.
'''

import json

from ansible.plugins.callback import CallbackBase


def _name(task):
    # The name as written, without the role's name before it.
    return task.name or task.get_name()


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'stdout'
    CALLBACK_NAME = 'results'

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.plays = []

    def v2_playbook_on_play_start(self, play):
        self.plays.append({'play': {'name': play.get_name()}, 'tasks': []})

    def v2_playbook_on_task_start(self, task, is_conditional):
        self.plays[-1]['tasks'].append({'task': {'name': _name(task)}, 'hosts': {}})

    def v2_playbook_on_handler_task_start(self, task):
        self.v2_playbook_on_task_start(task, False)

    def _record(self, result, **flags):
        entry = dict(result._result)
        entry.update(flags)
        tasks = self.plays[-1]['tasks']
        for t in reversed(tasks):
            if t['task']['name'] == _name(result._task):
                t['hosts'][result._host.get_name()] = entry
                return

    def v2_runner_on_ok(self, result, **kwargs):
        self._record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, failed=True)

    def v2_runner_on_skipped(self, result):
        self._record(result, skipped=True)

    def v2_runner_on_unreachable(self, result):
        self._record(result, unreachable=True)

    def v2_playbook_on_stats(self, stats):
        summary = {}
        for host in sorted(stats.processed.keys()):
            s = stats.summarize(host)
            summary[host] = {'ok': s['ok'], 'changed': s['changed'], 'failures': s['failures'],
                             'unreachable': s['unreachable'], 'skipped': s['skipped']}
        self._display.display(json.dumps({'plays': self.plays, 'stats': summary}, indent=1,
                                         sort_keys=True, default=str))
