# -*- coding: utf-8 -*-
# The collection's shared helpers without Ansible or a device: mervix-cli's
# events to a device's result, a plan merged with a run, the task's message,
# the command lines of a run and a plan, and the record read as a ledger.
#
#   python3 -m unittest discover -s integrations/ansible/tests/unit
#
# MERVIX_VERSION (set by CTest) is checked against galaxy.yml.

import importlib.util
import json
import os
import re
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTION = os.path.dirname(os.path.dirname(HERE))
source = importlib.util.spec_from_file_location(
    'mervix_cli', os.path.join(COLLECTION, 'plugins', 'module_utils', 'mervix_cli.py'))
mervix_cli = importlib.util.module_from_spec(source)
source.loader.exec_module(mervix_cli)

SHA = 'ab' * 32
DEV = '10.0.0.5:2222'


def started(device=DEV, **extra):
    event = dict(event='run_started', device=device, image='fw.img', size=131072, sha256=SHA, version='1.05')
    event.update(extra)
    return event


def acked(acknowledged, device=DEV):
    return dict(event='block_acknowledged', device=device, acknowledged=acknowledged, total=131072)


def ended(outcome, exit_code, cause=None, failure=None, device=DEV):
    event = dict(event='run_ended', device=device, outcome=outcome, exit_code=exit_code, failure=failure,
                 duration_ms=120, sha256_sent=SHA if outcome == 'finished' else None, retries_used=0)
    if cause is not None:
        event['cause'] = cause
    return event


NAK = dict(origin='device refusal', phase='size', text='NAK(Download size error)', detail='refusal flags 0x0020',
           nak_flags=0x20)


class RunRowsTest(unittest.TestCase):
    # (case, events, what the one row must hold)
    CASES = [
        ('finished', [started(), acked(65536), acked(131072), ended('finished', 0, 'finished')],
         dict(outcome='finished', cause='finished', exit_code=0, changed=True, sha256=SHA, version='1.05',
              acknowledged=131072, sha256_sent=SHA)),
        ('refused before any block', [started(), ended('failed', 1, 'refused', NAK)],
         dict(outcome='failed', cause='refused', exit_code=1, changed=False, failure=NAK)),
        ('link lost after a block: the flash is partly written',
         [started(), acked(65536), ended('failed', 4, 'link')],
         dict(outcome='failed', cause='link', changed=True, acknowledged=65536)),
        ('not reached by a halted roll-out', [ended('not_started', 9, 'budget')],
         dict(outcome='not_started', cause='budget', changed=False, image=None)),
        ('mervix-cli killed during the run', [started(), acked(65536)],
         dict(outcome='none', cause='failure', exit_code=None, changed=True)),
    ]

    def test_cases(self):
        for case, events, expected in self.CASES:
            with self.subTest(case):
                rows = mervix_cli.run_rows(events)
                self.assertEqual(len(rows), 1)
                for key, value in expected.items():
                    self.assertEqual(rows[0][key], value, key)

    def test_devices_in_the_order_they_first_appear(self):
        events = [started('b:1'), started('a:1'), ended('finished', 0, 'finished', device='a:1'),
                  ended('failed', 3, 'connect', device='b:1'), ended('not_started', 9, 'budget', device='c:1')]
        self.assertEqual([row['device'] for row in mervix_cli.run_rows(events)], ['b:1', 'a:1', 'c:1'])

    def test_a_preparation_that_failed_has_no_device(self):
        failure = dict(origin='file', phase='prepare', text="'fw.mot' line 3: bad checksum", detail='')
        events = [dict(event='box', text='Could not convert file'),
                  dict(event='run_ended', outcome='failed', exit_code=7, started=False, failure=failure)]
        self.assertEqual(mervix_cli.run_rows(events), [])
        self.assertEqual(mervix_cli.preparation_failure(events), failure)


def plan(device, action, group=None):
    return dict(device=device, name=None, group=group, image='fw.img', sha256=SHA, version='1.05', answer='normal',
                status=1, nak_flags=0, detail='', action=action, changed=action == 'write')


class MergeRowsTest(unittest.TestCase):
    def test_skipped_devices_keep_their_place_and_groups_come_from_the_plan(self):
        # d:1 was to be written but the run never reached it: it is not skipped.
        planned = [plan('a:1', 'write', 'leaves'), plan('b:1', 'skip', 'leaves'), plan('c:1', 'none', 'core'),
                   plan('d:1', 'write', 'core')]
        ran = mervix_cli.run_rows([started('a:1'), acked(131072, 'a:1'), ended('finished', 0, 'finished', device='a:1'),
                                   started('c:1'), ended('failed', 3, 'connect', device='c:1')])
        merged = mervix_cli.merge_rows(planned, ran)
        self.assertEqual([(r['device'], r['outcome'], r['group'], r['changed']) for r in merged],
                         [('a:1', 'finished', 'leaves', True), ('b:1', 'skipped', 'leaves', False),
                          ('c:1', 'failed', 'core', False)])


def row(device, outcome, cause, exit_code, failure=None, name=None):
    return dict(device=device, name=name, outcome=outcome, cause=cause, exit_code=exit_code, failure=failure)


class SummaryMessageTest(unittest.TestCase):
    # (case, rows, rc, check mode, fallback, pieces the message must hold)
    CASES = [
        ('all written', [row('a:1', 'finished', 'finished', 0), row('b:1', 'skipped', 'finished', 0)], 0, False, '',
         ['2 devices: 1 written, 1 already finished']),
        ('a refusal names the device, its cause, its exit code and the failure',
         [row('a:1', 'finished', 'finished', 0), row('b:1', 'failed', 'refused', 1, NAK, name='leaf-2')], 1, False, '',
         ['1 did not finish', 'leaf-2 (b:1): refused (exit 1) NAK(Download size error): refusal flags 0x0020']),
        ('a check names what would not be written',
         [dict(plan('a:1', 'none'), answer='no_connection', detail='Connection refused')], 3, True, '',
         ['0 would be written', '1 would not be written: a:1: no_connection Connection refused']),
        ('nothing ran: the fallback says why', [], 7, False, "cannot open the record file 'x'",
         ["cannot open the record file 'x'"]),
        ('nothing ran and nothing said', [], 2, False, '', ['exit code 2 (usage) before any device']),
        ('past five failures the rest are counted',
         [row('d%d:1' % k, 'failed', 'connect', 3) for k in range(7)], 3, False, '', ['d4:1', 'and 2 more']),
    ]

    def test_cases(self):
        for case, rows, rc, check_mode, fallback, pieces in self.CASES:
            with self.subTest(case):
                text = mervix_cli.summary_message(rows, rc, check_mode, fallback)
                for piece in pieces:
                    self.assertIn(piece, text)
        text = mervix_cli.summary_message([row('d%d:1' % k, 'failed', 'connect', 3) for k in range(7)], 3, False, '')
        self.assertNotIn('d5:1', text)


def params(**given):
    values = dict((key, None) for key in mervix_cli.download_options())
    values.update(force=False, executable='mervix-cli')
    values.update(given)
    return values


class CommandLineTest(unittest.TestCase):
    DEVICES = ['--inventory', '/tmp/t/device.csv']

    def argv(self, plan_only, **given):
        return mervix_cli.command_line('mervix-cli', 'download', params(**given), self.DEVICES, '/tmp/t', 'fw.mot',
                                       ['--base-address', '10000'], plan_only)

    # (case, plan, params, options that must follow each other, options that must be absent)
    CASES = [
        ('a run resumes from its record', False, dict(record='r.jsonl'), [['--resume', 'r.jsonl']],
         ['--record', '--plan']),
        ('a plan reads the record and never writes one', True, dict(record='r.jsonl'),
         [['--plan'], ['--resume', 'r.jsonl']], ['--record']),
        ('force writes every device and still records', False, dict(record='r.jsonl', force=True),
         [['--record', 'r.jsonl']], ['--resume']),
        ('a forced plan shows every device as to be written', True, dict(record='r.jsonl', force=True), [['--plan']],
         ['--resume', '--record']),
        ('no record, no ledger', False, {}, [], ['--resume', '--record']),
        ('seconds to the millisecond, counts as they are', False,
         dict(timeout=2.5, switch_pause=0.1, await_return=120.0, wave_pause=0, retries=2, max_failures='10%',
              port=2300),
         [['--timeout', '2.5'], ['--switch-pause', '0.1'], ['--await-return', '120'], ['--wave-pause', '0'],
          ['--retries', '2'],
          ['--max-failures', '10%'], ['--port', '2300']], []),
    ]

    def test_cases(self):
        for case, plan_only, given, together, absent in self.CASES:
            with self.subTest(case):
                argv = self.argv(plan_only, **given)
                self.assertEqual(argv[:6], ['mervix-cli', 'download', '--json', '--progress', 'never', '--yes'])
                # The file last, after "--": a file name that starts with "-" is no option.
                self.assertEqual(argv[-2:], ['--', 'fw.mot'])
                for options in together:
                    at = argv.index(options[0])
                    self.assertEqual(argv[at:at + len(options)], options)
                for option in absent:
                    self.assertNotIn(option, argv)
                at = argv.index('--work-dir')
                self.assertEqual(argv[at + 1], '/tmp/t')


class LedgerTest(unittest.TestCase):
    def test_the_latest_line_of_each_device_counts(self):
        lines = [
            json.dumps(dict(device='a:1', outcome='failed', cause='connect', sha256=SHA)),
            json.dumps(dict(device='b:1', outcome='finished', cause='finished', sha256=SHA)),
            '',
            json.dumps(dict(note='not a device run')),
            json.dumps(dict(device='a:1', outcome='finished', cause='finished', sha256=SHA, version='1.05')),
            '{"device":"b:1","outcome":"fai',  # cut short by a crash
        ]
        with tempfile.NamedTemporaryFile('w', suffix='.jsonl', delete=False) as record:
            record.write('\n'.join(lines))
        try:
            ledger = mervix_cli.read_ledger(record.name)
        finally:
            os.unlink(record.name)
        self.assertEqual(sorted(ledger), ['a:1', 'b:1'])
        self.assertEqual((ledger['a:1']['outcome'], ledger['a:1']['version']), ('finished', '1.05'))
        self.assertEqual(ledger['b:1']['outcome'], 'finished')
        self.assertEqual(mervix_cli.read_ledger(record.name), {})

    def test_the_diff_shows_changed_devices_before_and_after(self):
        rows = [dict(row('a:1', 'finished', 'finished', 0), changed=True, sha256=SHA, version='1.06', image='fw.img'),
                dict(row('b:1', 'skipped', 'finished', 0), changed=False)]
        ledger = {'a:1': dict(device='a:1', outcome='finished', cause='finished', sha256='cd' * 32, version='1.05',
                              start='2025-01-02T03:04:05.000Z')}
        diff = mervix_cli.diff_of(rows, ledger, 'r.jsonl')
        self.assertEqual(diff['before'], 'a:1: finished (finished): SHA-256 %s, version 1.05, started '
                                         '2025-01-02T03:04:05.000Z\n' % ('cd' * 32))
        self.assertEqual(diff['after'], 'a:1: SHA-256 %s, version 1.06, image fw.img\n' % SHA)


class EventsTest(unittest.TestCase):
    def test_only_event_objects_are_read(self):
        text = '\n'.join([
            '{"schema":1,"event":"log","t_ms":3,"text":"Download start"}',
            'Permanent write! Continue? [ok/cancel] ok (--yes)',
            '{"schema":1,"event":"run_ended","outcome":"finish',
            '{"schema":1,"t_ms":4}',
            '[1, 2]',
            '  {"schema":1,"event":"phase","phase":"size"}  ',
        ])
        self.assertEqual([event['event'] for event in mervix_cli.parse_events(text)], ['log', 'phase'])


class GalaxyTest(unittest.TestCase):
    @unittest.skipUnless(os.environ.get('MERVIX_VERSION'), 'MERVIX_VERSION not set')
    def test_the_collection_has_the_project_version(self):
        with open(os.path.join(COLLECTION, 'galaxy.yml')) as galaxy:
            version = re.search(r'^version:\s*(\S+)', galaxy.read(), re.M).group(1)
        self.assertEqual(version, os.environ['MERVIX_VERSION'])


if __name__ == '__main__':
    unittest.main()
