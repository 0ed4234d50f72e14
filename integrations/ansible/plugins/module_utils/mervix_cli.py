# -*- coding: utf-8 -*-
# Copyright: the mervix developers
# MIT License (see LICENSE in the mervix repository)
"""What the collection's modules share: running mervix-cli with --json and
turning its events into a task's result.

The download modules always hand mervix-cli an inventory (one of a row for a
single device), so that every run is a roll-out: only a roll-out plans (--plan), keeps the
record (--record) and resumes from it (--resume). A roll-out's events name
their device; the result has one entry per device.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import csv
import json
import os
import shutil
import subprocess
import tempfile

# mervix-cli's exit codes and the record's cause names that they stand for.
EXIT_CAUSES = {
    0: 'finished',
    1: 'refused',
    2: 'usage',
    3: 'connect',
    4: 'link',
    5: 'stopped',
    6: 'timeout',
    7: 'input',
    8: 'unknown',
    9: 'budget',
    10: 'not_returned',
}

# How many devices a failure message names before it counts the rest.
NAMED_IN_MESSAGE = 5


def cause_of_exit(rc):
    """The cause name of a mervix-cli exit code ('failure' for any other)."""
    return EXIT_CAUSES.get(rc, 'failure')


def seconds_text(value):
    """Seconds as mervix-cli takes them: digits with at most one decimal
    point, to the millisecond (0.1 -> '0.1', 3.0 -> '3')."""
    text = '%.3f' % value
    return text.rstrip('0').rstrip('.') if '.' in text else text


def parse_events(text):
    """The JSON events of --json output, one object a line, in order. Lines
    that are not an event (a stray line of text) are passed over."""
    events = []
    for line in text.splitlines():
        line = line.strip()
        if not line.startswith('{'):
            continue
        try:
            event = json.loads(line)
        except ValueError:
            continue
        if isinstance(event, dict) and isinstance(event.get('event'), str):
            events.append(event)
    return events


def read_ledger(path):
    """The latest line of each device in a record file, by device
    ('host:port'); empty when the file is missing. A line that is not a
    device's record (one cut short by a crash) is passed over, as
    mervix-cli itself does."""
    latest = {}
    if not path or not os.path.isfile(path):
        return latest
    with open(path, 'rb') as record:
        for raw in record:
            try:
                line = json.loads(raw.decode('utf-8', 'replace'))
            except ValueError:
                continue
            if isinstance(line, dict) and isinstance(line.get('device'), str):
                latest[line['device']] = line
    return latest


def plan_rows(events):
    """One row per device of a plan's events: what a run would do."""
    rows = []
    for event in events:
        if event['event'] != 'plan':
            continue
        row = dict((key, event.get(key)) for key in (
            'device', 'name', 'group', 'image', 'sha256', 'version', 'answer', 'status', 'nak_flags', 'detail',
            'action'))
        row['changed'] = row['action'] == 'write'
        rows.append(row)
    return rows


def skipped_row(plan_row):
    """The result of a device the record says finished with this image."""
    row = dict((key, plan_row.get(key)) for key in ('device', 'name', 'group', 'image', 'sha256', 'version'))
    row.update(outcome='skipped', cause='finished', exit_code=0, changed=False, failure=None, duration_ms=0,
               sha256_sent=None, retries_used=0, acknowledged=0)
    return row


def run_rows(events):
    """One row per device of a run's events, in the order the devices first
    appear: the image it got, how its run ended and why. A device changed
    when its flash took bytes (an acknowledged block), finished or not."""
    rows = {}
    order = []
    for event in events:
        device = event.get('device')
        kind = event['event']
        if device is None or kind not in ('run_started', 'block_acknowledged', 'run_ended'):
            continue
        row = rows.get(device)
        if row is None:
            row = rows[device] = {'device': device, 'name': event.get('name'), 'group': None, 'image': None,
                                  'size': None, 'sha256': None, 'version': None, 'acknowledged': 0}
            order.append(device)
        if kind == 'run_started':
            for key in ('image', 'size', 'sha256', 'version'):
                row[key] = event.get(key)
        elif kind == 'block_acknowledged':
            row['acknowledged'] = max(row['acknowledged'], event.get('acknowledged') or 0)
        else:
            exit_code = event.get('exit_code')
            row.update(outcome=event.get('outcome'), exit_code=exit_code,
                       cause=event.get('cause') or cause_of_exit(exit_code), failure=event.get('failure'),
                       duration_ms=event.get('duration_ms'), sha256_sent=event.get('sha256_sent'),
                       retries_used=event.get('retries_used'))
    for device in order:
        row = rows[device]
        row['changed'] = row['acknowledged'] > 0
        # A device whose run never ended (mervix-cli was killed) did not finish.
        if 'outcome' not in row:
            row.update(outcome='none', exit_code=None, cause='failure', failure=None, duration_ms=None,
                       sha256_sent=None, retries_used=None)
    return [rows[device] for device in order]


def preparation_failure(events):
    """The failure of a run that ended before any device was reached (a file
    that cannot be read or converted, a pinned SHA-256 that differs): its
    run_ended names no device."""
    for event in events:
        if event['event'] == 'run_ended' and 'device' not in event and event.get('failure'):
            return event['failure']
    return None


def merge_rows(plan, ran):
    """A run's rows with the devices its plan skipped, in the plan's order."""
    by_device = dict((row['device'], row) for row in ran)
    merged = []
    for planned in plan:
        row = by_device.pop(planned['device'], None)
        if row is None and planned['action'] == 'skip':
            row = skipped_row(planned)
        if row is not None:
            if row.get('group') is None:
                row['group'] = planned.get('group')
            merged.append(row)
    return merged + [row for row in ran if row['device'] in by_device]


def label(row):
    return '%s (%s)' % (row['name'], row['device']) if row.get('name') else row['device']


def failure_text(row):
    failure = row.get('failure')
    if isinstance(failure, dict):
        text = failure.get('text') or ''
        detail = failure.get('detail') or ''
        if detail and detail not in text:
            return '%s: %s' % (text, detail) if text else detail
        return text
    return ''


def summary_message(rows, rc, check_mode, fallback):
    """The task's msg: the counts, and the devices that did not (or would
    not) get the image with their cause."""
    if check_mode:
        bad = [row for row in rows if row['action'] == 'none']
        written = sum(1 for row in rows if row['action'] == 'write')
        counts = '%d would be written' % written
    else:
        bad = [row for row in rows if row['exit_code'] != 0]
        written = sum(1 for row in rows if row['outcome'] == 'finished')
        counts = '%d written' % written
    skipped = sum(1 for row in rows if row.get('action') == 'skip' or row.get('outcome') == 'skipped')
    if not rows:
        return fallback or 'mervix-cli ended with exit code %d (%s) before any device' % (rc, cause_of_exit(rc))
    text = '%d device%s: %s, %d already finished with this image' % (
        len(rows), '' if len(rows) == 1 else 's', counts, skipped)
    if bad:
        if check_mode:
            why = ['%s: %s %s' % (label(row), row['answer'], row.get('detail') or '') for row in bad]
        else:
            why = ['%s: %s (exit %s) %s' % (label(row), row['cause'], row['exit_code'], failure_text(row))
                   for row in bad]
        shown = [item.strip() for item in why[:NAMED_IN_MESSAGE]]
        if len(bad) > NAMED_IN_MESSAGE:
            shown.append('and %d more' % (len(bad) - NAMED_IN_MESSAGE))
        text += '; %s %s: %s' % (len(bad), 'would not be written' if check_mode else 'did not finish',
                                  '; '.join(shown))
    elif rc != 0 and fallback:
        text += '; ' + fallback
    return text


def shared_value(rows, key):
    """The value every row has for |key|, or None when they differ."""
    values = set(row.get(key) for row in rows if row.get(key) is not None)
    return values.pop() if len(values) == 1 else None


def describe_recorded(line):
    if line is None:
        return 'no run recorded'
    return '%s (%s): SHA-256 %s, version %s, started %s' % (
        line.get('outcome'), line.get('cause'), line.get('sha256'), line.get('version'), line.get('start'))


def diff_of(rows, ledger, record):
    """What was (or would be) written to each changed device: before, what
    the record last said of it (the device cannot be read back); after, the
    image."""
    before = []
    after = []
    for row in rows:
        if not row['changed']:
            continue
        before.append('%s: %s\n' % (label(row), describe_recorded(ledger.get(row['device']))))
        after.append('%s: SHA-256 %s, version %s, image %s\n' % (
            label(row), row.get('sha256'), row.get('version'), row.get('image')))
    return {'before_header': record or '(no record)', 'after_header': 'image written', 'before': ''.join(before),
            'after': ''.join(after)}


def find_executable(module):
    """The mervix-cli to run: the option as a path, or found on PATH."""
    executable = module.params['executable']
    if os.sep in executable:
        if not os.access(executable, os.X_OK):
            module.fail_json(msg='mervix-cli is not an executable file at %s' % executable)
        return executable
    found = module.get_bin_path(executable)
    if not found:
        module.fail_json(msg='%s was not found on the PATH of %s: install mervix or set executable' % (
            executable, os.uname()[1]))
    return found


def invoke(argv):
    """Runs mervix-cli in the task's working folder (an inventory's relative
    image paths are taken from there); its standard input is empty, so that
    nothing waits for an answer. Returns the exit code, the events and
    standard error."""
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return (done.returncode, parse_events(done.stdout.decode('utf-8', 'replace')),
            done.stderr.decode('utf-8', 'replace'))


# The options every download module passes to mervix-cli as they are.
PASSED_OPTIONS = (
    ('port', '--port', str),
    ('timeout', '--timeout', seconds_text),
    ('retries', '--retries', str),
    ('switch_pause', '--switch-pause', seconds_text),
    ('await_return', '--await-return', seconds_text),
    ('jobs', '--jobs', str),
    ('canary', '--canary', str),
    ('max_failures', '--max-failures', str),
    ('wave_pause', '--wave-pause', seconds_text),
    ('expect_sha256', '--expect-sha256', str),
)


def download_options():
    """The options the firmware and user module downloads share."""
    return dict(
        host=dict(type='str'),
        name=dict(type='str'),
        group=dict(type='str'),
        inventory=dict(type='path'),
        port=dict(type='int'),
        src=dict(type='path', aliases=['file']),
        record=dict(type='path'),
        force=dict(type='bool', default=False),
        expect_sha256=dict(type='str'),
        timeout=dict(type='float'),
        retries=dict(type='int'),
        switch_pause=dict(type='float'),
        await_return=dict(type='float'),
        jobs=dict(type='int'),
        canary=dict(type='int'),
        max_failures=dict(type='str'),
        wave_pause=dict(type='float'),
        work_dir=dict(type='path'),
        executable=dict(type='str', default='mervix-cli'),
    )


DOWNLOAD_MODULE_RULES = dict(
    mutually_exclusive=[('host', 'inventory'), ('name', 'inventory'), ('group', 'inventory')],
    required_one_of=[('host', 'inventory')],
    supports_check_mode=True,
)


def write_inventory(path, host, name, group):
    """An inventory file of one device: its host, and its name and group
    when given."""
    columns = [('host', host), ('name', name), ('group', group)]
    given = [(column, value) for column, value in columns if value is not None]
    with open(path, 'w', newline='') as inventory:
        writer = csv.writer(inventory, lineterminator='\n')
        writer.writerow([column for column, _ in given])
        writer.writerow([value for _, value in given])


def command_line(executable, command, params, devices, work_dir, src, own_args, plan):
    """The mervix-cli command line of a download module's run or plan."""
    argv = [executable, command, '--json', '--progress', 'never', '--yes'] + devices
    for key, option, text in PASSED_OPTIONS:
        if params.get(key) is not None:
            argv += [option, text(params[key])]
    argv += own_args + ['--work-dir', work_dir]
    record = params.get('record')
    if plan:
        argv.append('--plan')
        if record and not params['force']:
            argv += ['--resume', record]
    elif record:
        # --resume skips what the record says finished with this image and
        # appends to it; force writes every device and still records.
        argv += ['--record' if params['force'] else '--resume', record]
    if src:
        argv += ['--', src]
    return argv


def run_download(module, command, own_args, links_source):
    """Runs a download module's task and ends it with exit_json or
    fail_json.

    |command| is mervix-cli's (download, module); |own_args| its own options.
    |links_source|: the source is an S-record firmware file, whose image
    mervix-cli writes beside it. It is linked into the task's own folder
    first, so that tasks sending the same file side by side (one per
    device, forks) never rewrite an image another one is sending.
    """
    params = module.params
    executable = find_executable(module)
    private = tempfile.mkdtemp(prefix='mervix-ansible-')
    try:
        work_dir = params['work_dir'] or private
        src = params['src']
        if src and links_source:
            linked = os.path.join(private, os.path.basename(src))
            os.symlink(os.path.abspath(src), linked)
            src = linked
        inventory = params['inventory']
        if params['host'] is not None:
            # The one device as an inventory of one row, which carries its
            # name and group into the record as well.
            inventory = os.path.join(private, 'device.csv')
            write_inventory(inventory, params['host'], params['name'], params['group'])
        devices = ['--inventory', inventory]

        record = params['record']
        ledger = read_ledger(record) if module._diff else {}
        commands = []
        stderr = []

        def run(plan):
            argv = command_line(executable, command, params, devices, work_dir, src, own_args, plan)
            commands.append(argv)
            rc, events, err = invoke(argv)
            stderr.append(err)
            return rc, events

        plan = []
        rows = None
        if module.check_mode or (record and not params['force'] and os.path.isfile(record)):
            # The plan of a check, or the one that finds the devices the
            # record has as finished with this image: they are not run.
            rc, events = run(plan=True)
            plan = plan_rows(events)
            if module.check_mode or (plan and all(row['action'] == 'skip' for row in plan)):
                rows = plan if module.check_mode else [skipped_row(row) for row in plan]
        if rows is None:
            rc, events = run(plan=False)
            rows = merge_rows(plan, run_rows(events))
            # The events name no group; the record lines just written do.
            recorded = read_ledger(record) if record else {}
            for row in rows:
                if row['group'] is None and row['device'] in recorded:
                    row['group'] = recorded[row['device']].get('group')
        failure = preparation_failure(events)
        err_lines = [line for line in ''.join(stderr).splitlines() if line.strip()]
        fallback = failure_text({'failure': failure}) if failure else (err_lines[-1] if err_lines and rc else '')
        result = dict(
            changed=any(row['changed'] for row in rows),
            rc=rc,
            cause=cause_of_exit(rc),
            msg=summary_message(rows, rc, module.check_mode, fallback),
            devices=rows,
            image=shared_value(rows, 'image'),
            sha256=shared_value(rows, 'sha256'),
            version=shared_value(rows, 'version'),
            record=record,
            cmd=commands[-1],
            stderr=''.join(stderr),
        )
        if module._diff:
            result['diff'] = diff_of(rows, ledger, record)
    finally:
        shutil.rmtree(private, ignore_errors=True)
    if rc != 0:
        module.fail_json(**result)
    module.exit_json(**result)
