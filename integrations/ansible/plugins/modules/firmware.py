# -*- coding: utf-8 -*-
# Copyright: the mervix developers
# MIT License (see LICENSE in the mervix repository)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: firmware
short_description: Write firmware into network devices' flash with mervix-cli
version_added: 0.1.0
description:
  - Runs C(mervix-cli download) with C(--json) on the host the task runs on, for one device (I(host)) or the
    devices of an inventory (I(inventory)), and returns the outcome of each device.
  - A ready image is sent as it is. A Motorola S-record file (extension C(.mot)) is converted into an image from
    I(base_address) first, and with I(compress) coded into C(Inter.img).
  - With I(record), a device that finished with this image before is not written again.
author:
  - The mervix developers
extends_documentation_fragment:
  - mervix.flash.download
options:
  base_address:
    description:
      - The Base Address of an S-record file, 1 to 8 hexadecimal digits without C(0x) (C(10000)).
      - Required for an S-record I(src) unless every inventory row names its C(base_address).
    type: str
  compress:
    description:
      - Compress the converted S-record image with the LHA lh5 method (C(Inter.img)) before it is sent.
    type: bool
    default: false
  korvane:
    description:
      - Run with the setting C(Korvane) set, for devices on port 55550 that take their firmware uncompressed; the
        default port is then 55550 and nothing is compressed.
    type: bool
    default: false
requirements:
  - mervix-cli (the mervix package) on the host the task runs on
'''

EXAMPLES = r'''
- name: Write the firmware into one device, from the site's jump host
  mervix.flash.firmware:
    host: 10.0.1.21
    src: /srv/firmware/fw-1.05.mot
    base_address: "10000"
    compress: true
    record: /var/lib/mervix/leaf-a1.jsonl
  delegate_to: jump-north

- name: Write a ready image into a site's inventory, 10% failure budget, gateway group last
  mervix.flash.firmware:
    inventory: /srv/rollout/site-north.csv
    src: /srv/firmware/fw-1.05.img
    canary: 1
    max_failures: 10%
    await_return: 120
    record: /var/lib/mervix/north.jsonl
  register: north

- name: Name the devices that did not finish
  ansible.builtin.debug:
    msg: "{{ north.devices | rejectattr('cause', 'equalto', 'finished') | map(attribute='device') | list }}"
'''

RETURN = r'''
rc:
  description: The exit code of mervix-cli (of its plan in check mode); 0 when every device finished.
  returned: always
  type: int
  sample: 1
cause:
  description:
    - The most serious cause among the devices, as the exit code names it.
    - One of C(finished), C(refused), C(usage), C(connect), C(link), C(stopped), C(timeout), C(input),
      C(unknown), C(budget), C(not_returned), C(failure).
  returned: always
  type: str
  sample: refused
sha256:
  description: The SHA-256 of the image sent (lower-case hex), when all devices got the same one.
  returned: always
  type: str
  sample: 3f2a0c6d1e5b4a79c8d7e6f5a4b3c2d1e0f9a8b7c6d5e4f3a2b1c0d9e8f7a6b5
version:
  description: The firmware version in the image header, when all devices got the same one; null without one.
  returned: always
  type: str
  sample: "1.05"
image:
  description:
    - The file sent, when all devices got the same one.
    - For an S-record file, the converted image in the task's own folder, removed when the task ends.
  returned: always
  type: str
record:
  description: The record the runs were appended to (I(record)).
  returned: always
  type: str
  sample: /var/lib/mervix/north.jsonl
devices:
  description: One entry per device, in the roll-out's order.
  returned: always
  type: list
  elements: dict
  contains:
    device:
      description: The device as C(host:port) (an IPv6 host in brackets).
      type: str
      sample: "10.0.1.21:2222"
    name:
      description: The inventory's name of the device, or null.
      type: str
    group:
      description: The inventory's group of the device, or null.
      type: str
    changed:
      description:
        - True when the device acknowledged at least one block (in check mode, when it would be written).
      type: bool
    outcome:
      description:
        - How its run ended, C(finished), C(failed), C(stopped), C(cancelled), C(closed), C(not_started) (a halted
          roll-out did not reach it) or C(skipped) (the record says it finished with this image).
      type: str
      returned: when not in check mode
    cause:
      description: Why, as I(cause) above; C(finished) for a finished or skipped device.
      type: str
      returned: when not in check mode
    exit_code:
      description: The exit code of that cause.
      type: int
      returned: when not in check mode
    failure:
      description:
        - The failure as mervix-cli reports it (C(origin), C(phase), C(text), C(detail), C(nak_flags), ...), or null.
      type: dict
      returned: when not in check mode
    sha256:
      description: The SHA-256 of its image.
      type: str
    sha256_sent:
      description: The SHA-256 of the bytes sent in a finished run, else null.
      type: str
      returned: when not in check mode
    version:
      description: The version in its image header, or null.
      type: str
    image:
      description: The file sent to it.
      type: str
    size:
      description: The image's length in bytes.
      type: int
      returned: when the device's run started
    acknowledged:
      description: The bytes the device acknowledged.
      type: int
      returned: when not in check mode
    duration_ms:
      description: How long its run took, in milliseconds.
      type: int
      returned: when not in check mode
    retries_used:
      description: Transport retries its run took.
      type: int
      returned: when not in check mode
    action:
      description: What a run would do, C(write), C(skip) (finished before) or C(none) (not reachable).
      type: str
      returned: in check mode
    answer:
      description: Its answer to the status query, C(normal), C(download), C(refused), C(no_connection),
        C(no_answer) or C(invalid).
      type: str
      returned: in check mode
    detail:
      description: Why no answer came, or the frame that made no sense.
      type: str
      returned: in check mode
cmd:
  description: The last mervix-cli command line run.
  returned: always
  type: list
  elements: str
stderr:
  description: What mervix-cli wrote on standard error, in its own words (the summary by cause).
  returned: always
  type: str
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.mervix.flash.plugins.module_utils.mervix_cli import (
    DOWNLOAD_MODULE_RULES,
    download_options,
    run_download,
)


def is_srecord_file(path):
    return os.path.splitext(path)[1].lower() == '.mot'


def main():
    options = download_options()
    options.update(
        base_address=dict(type='str'),
        compress=dict(type='bool', default=False),
        korvane=dict(type='bool', default=False),
    )
    module = AnsibleModule(argument_spec=options, **DOWNLOAD_MODULE_RULES)
    params = module.params
    srecord = bool(params['src']) and is_srecord_file(params['src'])
    if srecord and params['host'] is not None and not params['base_address']:
        module.fail_json(msg='base_address is required to convert the S-record file %s' % params['src'])
    if params['host'] is not None and not params['src']:
        module.fail_json(msg='src is required with host')
    own = []
    if params['base_address']:
        own += ['--base-address', params['base_address']]
    if params['compress']:
        own.append('--compress')
    if params['korvane']:
        own.append('--korvane')
    run_download(module, 'download', own, links_source=srecord)


if __name__ == '__main__':
    main()
