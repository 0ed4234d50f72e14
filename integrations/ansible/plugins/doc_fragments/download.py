# -*- coding: utf-8 -*-
# Copyright: the mervix developers
# MIT License (see LICENSE in the mervix repository)
"""The options and notes the firmware and user module downloads share."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):

    DOCUMENTATION = r'''
options:
  host:
    description:
      - The device, as C(host), C(host:port), C([IPv6]:port), C([IPv6]) or a bare IPv6 address.
      - One device a task. Exactly one of I(host) and I(inventory) is given.
    type: str
  name:
    description:
      - With I(host), the device's name in the record, the report and mervix-cli's messages (the inventory
        hostname, say).
    type: str
  group:
    description:
      - With I(host), the device's group in the record, which the report counts by (its site, say).
    type: str
  inventory:
    description:
      - A roll-out's inventory on the host the task runs on, a CSV file with a header row.
      - Its columns are C(host), and optionally C(name), C(port), C(image), C(base_address), C(module_address),
        C(sha256), C(group); other columns are copied into the record.
      - Groups run one after the other; I(jobs), I(canary), I(max_failures) and I(wave_pause) apply.
      - An C(image) column's relative paths are taken from the task's working folder.
    type: path
  port:
    description:
      - The device's port when I(host) (or an inventory row) names none.
    type: int
  src:
    description:
      - The file to write, on the host the task runs on.
      - May be left out when every inventory row names its C(image).
    type: path
    aliases: [file]
  record:
    description:
      - The record on the host the task runs on, one JSON object a line for each device run, appended to; the file
        is created, its folder must exist.
      - It is the roll-out's ledger. A device whose latest line says it finished with the image's SHA-256 is not
        written again and reports C(ok), not C(changed).
      - Without it every run writes every device.
      - C(mervix-cli report) reads it back.
    type: path
  force:
    description:
      - Write every device even when I(record) says it finished with this image; the runs are still recorded.
    type: bool
    default: false
  expect_sha256:
    description:
      - Send nothing, to any device, unless the prepared image has this SHA-256 (64 hexadecimal digits).
      - An inventory's C(sha256) column pins each row's own.
    type: str
  timeout:
    description:
      - The longest silence of a device, in seconds.
      - Without it each connect attempt waits 20 s, each reply 30 s and each block's acknowledgement 120 s.
      - C(0) waits for replies without limit.
    type: float
  retries:
    description:
      - Transport failures (a refused or reset connection, no reply in time) retried per device, 5 s apart.
      - A refusal by the device is never retried.
    type: int
  switch_pause:
    description:
      - The pause between the device's switch into download mode and the reconnect, in seconds (3 by default).
    type: float
  await_return:
    description:
      - After the write, wait up to this many seconds for the device to answer in normal mode again.
      - A device that does not fails with cause C(not_returned).
    type: float
  jobs:
    description:
      - With I(inventory), at most this many devices at a time (16 by default).
    type: int
  canary:
    description:
      - With I(inventory), write the first N devices alone first and go on only when all N finished.
    type: int
  max_failures:
    description:
      - With I(inventory), the failure budget, as a count (C(3)) or a share of the devices (C(10%)).
      - Once reached no further device starts; the rest end with cause C(budget).
    type: str
  wave_pause:
    description:
      - With I(inventory), the pause between two groups, in seconds.
    type: float
  work_dir:
    description:
      - Where the compressed or converted work image (C(Inter.img), C(inter.img)) is written.
      - By default a folder of the task's own, removed when it ends, so that tasks running side by side never
        share one.
    type: path
  executable:
    description:
      - The mervix-cli program on the host the task runs on, as a path or a name looked up on its PATH.
    type: str
    default: mervix-cli
notes:
  - The task runs C(mervix-cli) on the host it runs on, which must reach the devices over TCP. With one Ansible host
    a device, run it on the site's jump host or the controller with C(delegate_to).
  - Check mode is C(mervix-cli --plan), which asks every device for its status once and sends nothing else; a
    device that would not be written (it does not answer, or it refuses) fails the check.
  - Diff mode shows, for every device written or that would be written, what the record last said of it and the
    image it gets. The device cannot be read back.
  - A device changed when it acknowledged at least one block, so a failed run can leave it changed (its flash
    partly written).
  - Messages of mervix-cli, such as a failure's text, are in the language of the locale it runs under.
attributes:
  check_mode:
    support: full
    description: Asks each device for its status once and writes nothing.
  diff_mode:
    support: full
    description: The recorded state before and the image after, per device.
seealso:
  - module: mervix.flash.probe
'''
