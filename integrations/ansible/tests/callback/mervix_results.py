# -*- coding: utf-8 -*-
# Copyright: the mervix developers
# MIT License (see LICENSE in the mervix repository)
"""Writes the result of every task run with a mervix.flash module as one
JSON object a line (host, module, status and the module's own result) into
the file named by MERVIX_RESULTS_FILE, for the tests to read."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
name: mervix_results
type: aggregate
short_description: The mervix.flash modules' results as JSON lines, for the tests
description:
  - Appends one JSON object per result of a mervix.flash module to the file MERVIX_RESULTS_FILE names.
requirements:
  - MERVIX_RESULTS_FILE set in the environment
'''

import json
import os

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'mervix_results'
    CALLBACK_NEEDS_ENABLED = True

    def _write(self, result, status):
        action = result._task.action
        if not action.startswith('mervix.flash.'):
            return
        line = {'host': result._host.get_name(), 'module': action.split('.')[-1], 'status': status,
                'result': result._result}
        with open(os.environ['MERVIX_RESULTS_FILE'], 'a') as out:
            out.write(json.dumps(line, default=str) + '\n')

    def v2_runner_on_ok(self, result):
        self._write(result, 'ok')

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._write(result, 'failed')

    def v2_runner_on_skipped(self, result):
        self._write(result, 'skipped')
