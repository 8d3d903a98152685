# SPDX-License-Identifier: Apache-2.0
from pellix.protocol import Constant, c_header


def test_a_header_declares_each_constant_once_with_c_escapes() -> None:
    constants = [Constant("DEMO_SEP", "a\t\"b\"\n", "the separator"), Constant("DEMO_PORTS", 4, "ports")]
    text = c_header("demo", "A demonstration.", constants)
    assert '#define DEMO_SEP "a\\t\\"b\\"\\n"' in text
    assert "#define DEMO_PORTS 4" in text
    assert text.count("#ifndef PELLIX_PROTOCOL_DEMO_H") == 1
