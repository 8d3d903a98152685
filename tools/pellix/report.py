# SPDX-License-Identifier: Apache-2.0
"""Reports: the JUnit XML the kit and the test runner write and read, and
placing any output file safely.

A report is a list of suites, each a list of cases with one outcome:
"pass", "fail", "error" (the case could not run) or "skipped". Counts are
always derived from the cases, never kept beside them.
"""

import os
import tempfile
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field
from typing import Dict, Iterable, List

OUTCOMES = ("pass", "fail", "error", "skipped")


class ReportError(ValueError):
    """A report that cannot be read as JUnit XML."""


@dataclass
class Case:
    name: str
    classname: str = ""
    outcome: str = "pass"
    message: str = ""
    seconds: float = 0.0
    properties: Dict[str, str] = field(default_factory=dict)

    def __post_init__(self) -> None:
        if self.outcome not in OUTCOMES:
            raise ValueError(f"unknown outcome '{self.outcome}'")


@dataclass
class Suite:
    name: str
    cases: List[Case] = field(default_factory=list)
    properties: Dict[str, str] = field(default_factory=dict)

    def count(self, outcome: str) -> int:
        return sum(1 for case in self.cases if case.outcome == outcome)


@dataclass
class Counts:
    passed: int = 0
    failed: int = 0
    errors: int = 0
    skipped: int = 0

    @property
    def tests(self) -> int:
        return self.passed + self.failed + self.errors + self.skipped


def counts(suites: Iterable[Suite]) -> Counts:
    total = Counts()
    for suite in suites:
        total.passed += suite.count("pass")
        total.failed += suite.count("fail")
        total.errors += suite.count("error")
        total.skipped += suite.count("skipped")
    return total


_ELEMENT_OF = {"fail": "failure", "error": "error", "skipped": "skipped"}


def _properties(parent: ElementTree.Element, properties: Dict[str, str]) -> None:
    if properties:
        holder = ElementTree.SubElement(parent, "properties")
        for name, value in properties.items():
            ElementTree.SubElement(holder, "property", name=name, value=value)


def to_xml(suites: Iterable[Suite]) -> bytes:
    """The JUnit XML of SUITES."""
    root = ElementTree.Element("testsuites")
    for suite in suites:
        element = ElementTree.SubElement(
            root, "testsuite", name=suite.name, tests=str(len(suite.cases)),
            failures=str(suite.count("fail")), errors=str(suite.count("error")),
            skipped=str(suite.count("skipped")))
        _properties(element, suite.properties)
        for case in suite.cases:
            testcase = ElementTree.SubElement(
                element, "testcase", classname=case.classname, name=case.name, time=f"{case.seconds:g}")
            _properties(testcase, case.properties)
            if case.outcome in _ELEMENT_OF:
                ElementTree.SubElement(testcase, _ELEMENT_OF[case.outcome], message=case.message)
    ElementTree.indent(root)
    return ElementTree.tostring(root, encoding="UTF-8", xml_declaration=True) + b"\n"


def _case_of(element: ElementTree.Element) -> Case:
    outcome, message = "pass", ""
    for outcome_name, tag in _ELEMENT_OF.items():
        found = element.find(tag)
        if found is not None:
            outcome, message = outcome_name, found.get("message", "") or (found.text or "")
            break
    # ctest marks a test that was not run with status="notrun" and no child.
    if element.get("status") in ("notrun", "disabled") and outcome == "pass":
        outcome = "skipped"
    return Case(name=element.get("name", ""), classname=element.get("classname", ""), outcome=outcome,
                message=message, seconds=float(element.get("time") or 0),
                properties={p.get("name", ""): p.get("value", "") for p in element.findall("properties/property")})


def parse(data: bytes) -> List[Suite]:
    """The suites of a JUnit XML document, with or without <testsuites>."""
    try:
        root = ElementTree.fromstring(data)
    except ElementTree.ParseError as error:
        raise ReportError(f"not JUnit XML: {error}") from None
    elements = [root] if root.tag == "testsuite" else root.findall("testsuite")
    if root.tag not in ("testsuite", "testsuites"):
        raise ReportError(f"not JUnit XML: the root element is <{root.tag}>")
    return [Suite(name=element.get("name", ""), cases=[_case_of(case) for case in element.iter("testcase")],
                  properties={p.get("name", ""): p.get("value", "")
                              for p in element.findall("properties/property")})
            for element in elements]


def read(path: str) -> List[Suite]:
    try:
        with open(path, "rb") as handle:
            return parse(handle.read())
    except OSError as error:
        raise ReportError(f"cannot read {path}: {error.strerror}") from None


def place(path: str, data: bytes) -> None:
    """Writes DATA to PATH whole or not at all.

    A regular file (or none yet) is replaced by renaming a file written
    beside it. Anything else the caller named, a link, /dev/null, a FIFO, a
    terminal, is written through and never replaced: as root, renaming over
    /dev/null would replace the device.
    """
    if os.path.islink(path) or (os.path.exists(path) and not os.path.isfile(path)):
        with open(path, "wb") as handle:
            handle.write(data)
        return
    folder = os.path.dirname(os.path.abspath(path))
    descriptor, aside = tempfile.mkstemp(dir=folder, prefix=".", suffix=".new")
    try:
        with os.fdopen(descriptor, "wb") as handle:
            handle.write(data)
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(aside, 0o666 & ~mask)
        os.replace(aside, path)
    except BaseException:
        os.unlink(aside)
        raise


def write(path: str, suites: Iterable[Suite]) -> None:
    place(path, to_xml(suites))
