# SPDX-License-Identifier: Apache-2.0
"""lights-conformance's host side: it qualifies lights module binaries,
clause by clause, their binary facts here (pellix.abi) and their behaviour
on the emulated device, where the judge runs each clause in a process of
its own (conformance/device/).

  clauses   the clause list: the binary clauses, declared here with the
            binary checks each is made of, around the device clauses the
            judge lists
  verdicts  a run's verdicts per module, and its exit status
  binary    what was handed over, and the binary clauses' verdicts
  device    one boot of the judge for every module, and its lines
  reports   the text and JUnit reports
  command   the options and the run, for the lights-conformance command
"""


class CouldNotRun(Exception):
    """The kit could not qualify: bad usage, a file that is no module, or
    its own set-up failing. The message says why."""
