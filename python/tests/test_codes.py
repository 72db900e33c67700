"""The package's copies of the C interface's numbers match the headers: the
result codes of include/qnvnet_results.h (the one list both headers' enums
come from) and the reason and loss kinds of include/qnvnet.h."""

import pathlib
import re

from qnvnet import _native

INCLUDE = pathlib.Path(__file__).resolve().parents[2] / "include"


def listed_results():
    text = (INCLUDE / "qnvnet_results.h").read_text()
    found = re.findall(r'\b(BOTH|CXX_ONLY)\((\w+), (-?\d+), "[^"]*"\)', text)
    assert found, "no codes parsed from qnvnet_results.h"
    return {name: int(number) for kind, name, number in found if kind == "BOTH"}


def c_enum(prefix):
    text = (INCLUDE / "qnvnet.h").read_text()
    found = re.findall(r"\bQNVNET_%s_(\w+) = (-?\d+)" % prefix, text)
    assert found, prefix
    return {name: int(number) for name, number in found}


def package(prefix):
    return {k[len(prefix):]: v for k, v in vars(_native).items()
            if k.startswith(prefix) and isinstance(v, int)}


def test_result_codes_match_the_list():
    codes = listed_results()
    ours = package("E_")
    assert ours, "the package names no result codes"
    for name, number in ours.items():
        assert codes.get(name) == number, "E_%s = %d, the list says %s" % (
            name, number, codes.get(name))
    assert len(set(codes.values())) == len(codes), "two codes share a number"


def test_reason_and_loss_kinds_match_the_header():
    for prefix, c_prefix in (("REASON_", "REASON"), ("LOST_", "LOST")):
        header = c_enum(c_prefix)
        for name, number in package(prefix).items():
            assert header.get(name) == number, "%s%s" % (prefix, name)
