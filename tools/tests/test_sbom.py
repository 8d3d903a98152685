# SPDX-License-Identifier: Apache-2.0
"""The release's SBOM: each package once, with every role it plays, and nothing that dpkg does not know."""

import json
import os
import shutil
from typing import Dict, List

import pytest

from pellix import sbom


def _shapers() -> List[sbom.Shaper]:
    return [sbom.Shaper("the compiler", "BUILD_TOOL_OF", "/a", "g++-12", "12.2.0-14", "amd64"),
            sbom.Shaper("the driver", "BUILD_TOOL_OF", "/b", "g++-12", "12.2.0-14", "amd64"),
            sbom.Shaper("the C library", "BUILD_DEPENDENCY_OF", "/c", "libc6-armel-cross", "2.36-8cross1", "all")]


def test_the_sbom_names_each_package_once_with_every_role_it_plays() -> None:
    document = sbom.document("1.0.0", "abc-dirty", 1_700_000_000, _shapers())
    packages: List[Dict[str, object]] = document["packages"]  # type: ignore[assignment]
    assert [package["name"] for package in packages] == ["lumivane", "g++-12", "libc6-armel-cross"]
    assert packages[0]["sourceInfo"] == "built from git commit abc-dirty"
    assert packages[1]["comment"] == "the compiler; the driver"
    assert packages[1]["SPDXID"] == "SPDXRef-Debian-g---12"
    assert packages[1]["externalRefs"] == [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                                            "referenceLocator": "pkg:deb/debian/g%2B%2B-12@12.2.0-14?arch=amd64"}]
    assert document["creationInfo"] == {"created": "2023-11-14T22:13:20Z",
                                        "creators": ["Tool: lumivane scripts/release"]}
    relationships: List[Dict[str, str]] = document["relationships"]  # type: ignore[assignment]
    assert [(link["spdxElementId"], link["relationshipType"]) for link in relationships] == [
        ("SPDXRef-DOCUMENT", "DESCRIBES"), ("SPDXRef-Debian-libc6-armel-cross", "BUILD_DEPENDENCY_OF"),
        ("SPDXRef-Debian-g---12", "BUILD_TOOL_OF")]
    json.dumps(document)


def test_a_file_of_no_debian_package_is_refused_for_the_sbom(tmp_path: str) -> None:
    if shutil.which("dpkg-query") is None:
        pytest.skip("no dpkg-query: not a Debian system")
    stray = os.path.join(tmp_path, "stray")
    open(stray, "w").close()
    with pytest.raises(sbom.SbomError, match="belongs to no Debian package"):
        sbom.resolve_packages([sbom.Shaper("a stray file", "BUILD_TOOL_OF", stray)])
    with pytest.raises(sbom.SbomError):
        sbom.resolve_packages([sbom.Shaper("a missing file", "BUILD_TOOL_OF", stray + ".missing")])


def test_each_built_package_is_named_by_its_file_and_sha256_as_generated_from_lumivane() -> None:
    document = sbom.document("1.0.0", "abc", 0, [])
    sbom.add_built(document, [("debian/lights-conformance_1.0.0_amd64.deb", "ab" * 32)])
    entry = document["packages"][-1]  # type: ignore[index]
    assert (entry["name"], entry["versionInfo"], entry["packageFileName"], entry["checksums"]) == (
        "lights-conformance", "1.0.0", "debian/lights-conformance_1.0.0_amd64.deb",
        [{"algorithm": "SHA256", "checksumValue": "ab" * 32}])
    assert entry["externalRefs"][0]["referenceLocator"] == "pkg:deb/lights-conformance@1.0.0?arch=amd64"
    assert {"spdxElementId": "SPDXRef-Package-lumivane", "relationshipType": "GENERATES",
            "relatedSpdxElement": entry["SPDXID"]} in document["relationships"]  # type: ignore[operator]
