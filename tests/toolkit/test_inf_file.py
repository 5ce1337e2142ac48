"""The INF reader reads a section's lines as the device installer does."""
import pytest

from toolkit.inf_file import lines, read_inf
from toolkit.package import hardware_ids

STRINGS = '[Strings]\nName = "Printer, Inc."\nPct = "100%%"\n'


@pytest.mark.parametrize("text, expected", [
    ("a = b, c ; comment", [("a", ["b", "c"])]),
    ('a = "x;y", "say ""hi""", ""', [("a", ["x;y", 'say "hi"', ""])]),
    ("a = b, \\\n   c\nd", [("a", ["b", "c"]), (None, ["d"])]),
    ("a = %Name%, %PCT%, %11%\\x", [("a", ["Printer, Inc.", "100%", "%11%\\x"])]),
    ("  A=B  ", [("A", ["B"])]),
    ("a = 1\n[ Other ]\nx = 2\n [s] ; the same section again\nb = 3", [("a", ["1"]), ("b", ["3"])]),
    ('a = "%Name%" , x""y', [("a", ["Printer, Inc.", "xy"])]),
])
def test_lines_of_a_section(tmp_path, text, expected):
    for name, data in (("ansi.inf", ("[S]\n" + text + "\n" + STRINGS).encode("ascii")),
                       ("wide.inf", ("\ufeff[s]\r\n" + text + "\r\n" + STRINGS).encode("utf-16-le"))):
        (tmp_path / name).write_bytes(data)
        sections, undefined = read_inf(str(tmp_path / name))
        assert [(k, f) for _, k, f in lines(sections, "S")] == expected and not undefined


def test_hardware_ids_of_the_x64_models(tmp_path):
    (tmp_path / "a.inf").write_text("[Manufacturer]\nA = ModA, NTamd64.10.0, NTx86\nB = ModB\n"
                                    "[ModA.NTamd64.10.0]\nm = i, USB\\VID_1&PID_2, Compat\n"
                                    "[ModA.NTx86]\nm = i, X86ONLY\n[ModA]\nm = i, NOTREAD\n[ModB]\nn = j, ROOT\\B\n")
    assert hardware_ids(read_inf(str(tmp_path / "a.inf"))[0]) == ["usb\\vid_1&pid_2", "compat", "root\\b"]
