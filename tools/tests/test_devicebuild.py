# SPDX-License-Identifier: Apache-2.0
"""What the device's build scripts ask of the library: the kernel build's
progress, the configuration's lost lines, apt's download checked against
its record, gdbserver checked as an ARM program the sysroot serves."""

import hashlib
import io
import os

import pytest

from pellix import devicebuild
from pellix.devicebuild import BuildError


def test_progress_passes_the_build_through_and_counts_every_hundredth_file():
    build = b"".join(b"  CC      file%d.o\n  LD x\n" % n for n in range(250))
    copy, said = io.BytesIO(), io.StringIO()
    devicebuild.progress(io.BytesIO(build), copy, said)
    assert copy.getvalue() == build
    assert said.getvalue() == "device-kernel:   100 files compiled\ndevice-kernel:   200 files compiled\n"


def test_a_configuration_line_dropped_by_kconfig_is_named(tmp_path):
    (tmp_path / "fragment").write_text("# the device\nCONFIG_A=y\n# CONFIG_B is not set\nCONFIG_C=y\n")
    (tmp_path / "config").write_text("CONFIG_A=y\n# CONFIG_B is not set\nCONFIG_C=m\n")
    assert devicebuild.lost_config(str(tmp_path / "fragment"), str(tmp_path / "config")) == ["CONFIG_C=y"]
    (tmp_path / "config").write_text("CONFIG_A=y\n# CONFIG_B is not set\nCONFIG_C=y\n")
    assert devicebuild.main(["lost-config", str(tmp_path / "fragment"), str(tmp_path / "config")]) == 0


def download(tmp_path, data: bytes = b"package") -> str:
    (tmp_path / "gdbserver_13_armel.deb").write_bytes(data)
    return f"'http://deb/g.deb' gdbserver_13_armel.deb 7 SHA256:{hashlib.sha256(b'package').hexdigest()}"


def test_the_download_that_matches_apts_record_becomes_the_package(tmp_path):
    assert devicebuild.apt_download(str(tmp_path), download(tmp_path)) == "gdbserver_13_armel.deb"
    assert os.listdir(tmp_path) == ["package.deb"]


@pytest.mark.parametrize("record, data, says", [
    ("'uri' gdbserver_13_armel.deb 7", b"package", "is not 'URI FILE SIZE SHA256:HEX'"),
    ("'uri' gdbserver_13_armel.deb 7 MD5Sum:00", b"package", "has no SHA256"),
    ("'uri' ../gdbserver_13_armel.deb 7 SHA256:00", b"package", "has no SHA256"),
    ("'uri' other.deb 7 SHA256:00", b"package", "apt-get download left no other.deb"),
    # (a download that differs from apt's record)
    ("", b"tampered", "does not match the SHA256 of apt's record"),
])
def test_a_record_that_does_not_vouch_for_the_download_is_refused(tmp_path, record, data, says):
    matching = download(tmp_path, data)
    with pytest.raises(BuildError, match=says.replace("(", r"\(")):
        devicebuild.apt_download(str(tmp_path), record or matching)
    assert "package.deb" not in os.listdir(tmp_path)


def test_an_arm_program_whose_libraries_the_sysroot_has_is_taken(cross, tmp_path):
    devicebuild.arm_program(cross.shared(str(tmp_path), "int f(void) { return 0; }"), "/usr/arm-linux-gnueabi")


def test_a_program_needing_what_the_sysroot_lacks_is_refused(cross, tmp_path):
    program = cross.shared(str(tmp_path), '#include <stdio.h>\nint f(void) { return puts("x"); }')
    with pytest.raises(BuildError, match="module.so needs libc.so.6, which the target's sysroot lacks"):
        devicebuild.arm_program(program, str(tmp_path))


def test_a_program_for_another_machine_is_refused(capsys):
    assert devicebuild.main(["arm-program", "/bin/sh", "/usr/arm-linux-gnueabi"]) == 1
    assert "sh is not an ARM program (ELF machine EM_X86_64)" in capsys.readouterr().err
