# SPDX-License-Identifier: Apache-2.0
"""The lights-conformance command: its options and its run."""

import os
import sys
import tempfile
from dataclasses import dataclass, field
from typing import List, Optional

from pellix import report, scale
from pellix.conformance import CouldNotRun, binary, clauses, device, rebuild, reports
from pellix.conformance.verdicts import COULD_NOT_RUN, Module, Run

BROKEN_PIPE = 141

USAGE = f"""\
usage: lights-conformance [--junit FILE] [--keep-going] [--contract-only]
                          [--clause PATTERN]... [--gdb PORT] MODULE.so...
       lights-conformance [--clause PATTERN]... --list

Qualifies each MODULE.so, a lights module for the Pellix device, against the
module's contract and this platform's policies beyond it: binary facts on
this host, behaviour on the emulated device, every module in one boot.

  --junit FILE      also write the results as a JUnit XML report to FILE,
                    one testsuite per module
  --keep-going      run every clause; by default the kit stops at a module's
                    first failed clause
  --contract-only   judge the contract alone: policy clauses are not run
  --clause PATTERN  run only the clauses whose ids match PATTERN, a
                    shell-style pattern (* ? [...]: 'log.*', or an exact
                    id such as backlight.greys), in the list's order;
                    repeat it for more; the reports show only those
  --gdb PORT        with exactly one device clause and one module: that
                    clause's process stops on the device, the module
                    loaded, before the clause's first call into it, under
                    gdbserver; attach gdb-multiarch with
                    'target remote 127.0.0.1:PORT'. The clause has no time
                    limit then; its verdict is decided when it ends
  --list            print the clauses, one a line: ID, KIND (contract or
                    policy), TIME LIMIT in seconds (- for none), TITLE,
                    separated by tabs (with --clause, those selected)

PELLIX_TIMEOUT_SCALE (a positive number, default 1) multiplies every
clause's time limit.

Exits 0 when every clause judged passes, 1 when any fails, {COULD_NOT_RUN} when
the kit could not qualify (bad usage, a --clause that matches no clause,
not a module, its own set-up failed).
"""


@dataclass
class Options:
    junit: Optional[str] = None
    keep_going: bool = False
    contract_only: bool = False
    listing: bool = False
    help: bool = False
    patterns: List[str] = field(default_factory=list)
    gdb_port: Optional[int] = None
    modules: List[str] = field(default_factory=list)


# The options that take no value: the field each sets.
FLAGS = {"--keep-going": "keep_going", "--contract-only": "contract_only", "--list": "listing",
         "-h": "help", "--help": "help"}


def parse(argv: List[str]) -> Options:
    """The options, up to the first module (or --)."""
    options = Options()
    rest = list(argv)
    while rest and rest[0].startswith("-") and not options.help:
        argument = rest.pop(0)
        if argument == "--":
            break
        if argument in FLAGS:
            setattr(options, FLAGS[argument], True)
        elif argument in ("--junit", "--clause", "--gdb"):
            if not rest:
                raise CouldNotRun(f"{argument} needs a value (see --help)")
            value = rest.pop(0)
            if argument == "--junit":
                options.junit = value
            elif argument == "--clause":
                options.patterns.append(value)
            elif not value.isdigit() or not 1 <= int(value) <= 65535:
                raise CouldNotRun(f"--gdb takes a TCP port (1 to 65535), not '{value}'")
            else:
                options.gdb_port = int(value)
        else:
            raise CouldNotRun(f"unknown option {argument} (see --help)")
    options.modules = rest
    return options


def _gdb_clause(chosen: Optional[List[clauses.Clause]], options: Options) -> None:
    """Refuses --gdb but for one device clause of one module."""
    if chosen is None or len(chosen) != 1:
        count = "none" if chosen is None else f"{len(chosen)} clauses"
        raise CouldNotRun(f"--gdb debugs exactly one clause: --clause selected {count}")
    if chosen[0].seconds is None:
        raise CouldNotRun(f"--gdb debugs a clause on the device: {chosen[0].id} is a binary fact, read on this host")
    if len(options.modules) != 1:
        raise CouldNotRun("--gdb debugs one module")


def qualify(kit: device.Kit, listed: List[clauses.Clause], options: Options,
            check_module: Optional[binary.CheckModule] = None) -> int:
    """Qualifies the modules of OPTIONS against the clauses LISTED; prints
    the text report and writes the JUnit report; returns the exit status."""
    chosen = clauses.select(listed, options.patterns) if options.patterns else None
    if options.gdb_port is not None:
        _gdb_clause(chosen, options)
    for module_path in options.modules:
        binary.check_file(module_path)
    if options.junit is not None:
        folder = os.path.dirname(options.junit) or "."
        if not os.path.isdir(folder) or not os.access(folder, os.W_OK) or os.path.isdir(options.junit):
            raise CouldNotRun(f"cannot write the report {options.junit}")
    for part in (kit.judge, kit.runner):
        if not os.path.isfile(part):
            raise CouldNotRun(f"{part} is missing: {rebuild()}")
    try:
        per_mille = scale.from_environment()
    except scale.ScaleError as error:
        raise CouldNotRun(str(error)) from None

    run = Run(listed, [Module(number, path) for number, path in enumerate(options.modules, 1)],
              keep_going=options.keep_going, contract_only=options.contract_only,
              selected=None if chosen is None else frozenset(clause.id for clause in chosen),
              gdb_port=options.gdb_port)
    for module in run.modules:
        binary.judge_binary(run, module, check_module)
    try:
        scratch = tempfile.TemporaryDirectory(prefix="lights-conformance.")
    except OSError as error:
        raise CouldNotRun(f"no scratch directory: {error.strerror}") from None
    with scratch as folder:
        device.judge_on_device(kit, run, folder, per_mille)
    for module in run.modules:
        binary.decide_armv5te(run, module)

    print("\n\n".join("\n".join(reports.text(run, module)) for module in run.modules))
    sys.stdout.flush()
    if options.junit is not None:
        try:
            report.place(options.junit, reports.junit(run))
        except OSError:
            raise CouldNotRun(f"cannot write the report {options.junit}") from None
    return run.status()


def main(argv: List[str], prefix: Optional[str] = None, check_module: Optional[binary.CheckModule] = None) -> int:
    """The lights-conformance command. PREFIX is the installed tree the kit
    belongs to (by default the one above the command's bin/); CHECK_MODULE
    stands in for pellix.abi.check_module."""
    kit = device.Kit(prefix or os.path.dirname(os.path.dirname(os.path.realpath(sys.argv[0]))))
    try:
        options = parse(argv)
        if options.help:
            print(USAGE, end="")
            return 0
        listed = clauses.listed(kit.share)
        if options.listing:
            if options.modules:
                raise CouldNotRun("--list takes no module")
            shown = clauses.select(listed, options.patterns) if options.patterns else listed
            print("\n".join(clauses.list_line(clause) for clause in shown))
            return 0
        if not options.modules:
            print(USAGE, end="", file=sys.stderr)
            return COULD_NOT_RUN
        return qualify(kit, listed, options, check_module)
    except CouldNotRun as error:
        sys.stdout.flush()
        print(f"lights-conformance: {error}", file=sys.stderr)
        if isinstance(error, clauses.Unmatched):
            print("\n".join(clauses.list_line(clause) for clause in error.listed), file=sys.stderr)
        return COULD_NOT_RUN
    except BrokenPipeError:
        # As any command writing into a pipe nobody reads any more.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return BROKEN_PIPE
    except OSError as error:
        print(f"lights-conformance: {error}", file=sys.stderr)
        return COULD_NOT_RUN
