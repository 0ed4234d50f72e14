# -*- coding: utf-8 -*-
# Copyright: the mervix developers
# MIT License (see LICENSE in the mervix repository)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: probe
short_description: Ask a network device for its download status with mervix-cli
version_added: 0.1.0
description:
  - Runs C(mervix-cli probe --json) on the host the task runs on; it sends the device one status query and
    nothing else (no switch, no size, no data) and says whether it is in normal mode, in download mode or refuses.
  - Never changes anything, and runs in check mode too.
  - Fails when no answer came (the connection was refused, timed out, or the answer made no sense); a refusal is an
    answer.
author:
  - The mervix developers
options:
  host:
    description:
      - The device, as C(host), C(host:port), C([IPv6]:port), C([IPv6]) or a bare IPv6 address.
    type: str
    required: true
  port:
    description:
      - The device's port when I(host) names none (2222 by default).
    type: int
  timeout:
    description:
      - The longest wait for the connection and for the reply, in seconds (by default 20 s and 30 s).
    type: float
  executable:
    description:
      - The mervix-cli program on the host the task runs on, as a path or a name looked up on its PATH.
    type: str
    default: mervix-cli
attributes:
  check_mode:
    support: full
    description: The status query writes nothing, so it is sent in check mode too.
  diff_mode:
    support: none
requirements:
  - mervix-cli (the mervix package) on the host the task runs on
seealso:
  - module: mervix.flash.firmware
  - module: mervix.flash.user_module
'''

EXAMPLES = r'''
- name: Is the device there, and in normal mode?
  mervix.flash.probe:
    host: "{{ mervix_address }}"
    timeout: 5
  delegate_to: "{{ mervix_jump_host }}"
  register: status
  failed_when: status.failed or status.mode != 'normal'
'''

RETURN = r'''
device:
  description: The device asked, as C(host:port).
  returned: always
  type: str
  sample: "10.0.1.21:2222"
answer:
  description: C(status), C(nak) (it refused), C(invalid) (out of protocol), or null when no answer came.
  returned: always
  type: str
  sample: status
mode:
  description: C(normal) (status 1) or C(download) (status 2 or 3).
  returned: when the answer is a status
  type: str
  sample: normal
status:
  description: The status number the device answered.
  returned: when the answer is a status
  type: int
  sample: 1
nak_flags:
  description: The refusal's flag word.
  returned: when the answer is a refusal
  type: int
reasons:
  description: The refusal's reasons, in mervix-cli's words.
  returned: when the answer is a refusal
  type: str
  sample: NAK(Dial-in/Dial-out is used)
frame:
  description: The frame that made no sense, in hex.
  returned: when the answer is invalid
  type: str
reason:
  description: Why no answer came, in mervix-cli's words.
  returned: when no answer came
  type: str
  sample: Connection refused
rc:
  description: The exit code of mervix-cli, 0 whenever the device answered.
  returned: always
  type: int
cause:
  description: What the exit code stands for (C(finished) when the device answered, C(connect), C(link), C(timeout),
    C(usage)).
  returned: always
  type: str
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.mervix.flash.plugins.module_utils.mervix_cli import (
    cause_of_exit,
    find_executable,
    invoke,
    seconds_text,
)

ANSWER_KEYS = ('device', 'answer', 'mode', 'status', 'nak_flags', 'reasons', 'frame', 'reason')


def main():
    module = AnsibleModule(
        argument_spec=dict(
            host=dict(type='str', required=True),
            port=dict(type='int'),
            timeout=dict(type='float'),
            executable=dict(type='str', default='mervix-cli'),
        ),
        supports_check_mode=True,
    )
    params = module.params
    argv = [find_executable(module), 'probe', '--json', '--host', params['host']]
    if params['port'] is not None:
        argv += ['--port', str(params['port'])]
    if params['timeout'] is not None:
        argv += ['--timeout', seconds_text(params['timeout'])]
    rc, events, stderr = invoke(argv)
    answers = [event for event in events if event['event'] == 'probe']
    result = dict(changed=False, rc=rc, cause=cause_of_exit(rc), cmd=argv, stderr=stderr)
    if answers:
        result.update((key, answers[0][key]) for key in ANSWER_KEYS if key in answers[0])
    if rc != 0:
        lines = [line for line in stderr.splitlines() if line.strip()]
        module.fail_json(msg=result.get('reason') or (lines[-1] if lines else 'mervix-cli probe ended with %d' % rc),
                         **result)
    if result.get('answer') == 'status':
        result['msg'] = '%s is in %s mode (status %s)' % (result['device'], result['mode'], result['status'])
    else:
        result['msg'] = '%s answered %s' % (result.get('device'), result.get('answer'))
    module.exit_json(**result)


if __name__ == '__main__':
    main()
