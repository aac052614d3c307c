#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: well-formed messages of every kind, each
behind a four-byte header that picks the ports and piece sizes (see
fuzz_receive.cpp). Run from the repository root: fuzz/make_corpus.py"""
import os

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def lines(*items):
    return "".join(f"{item}\r\n" for item in items).encode("cp949")


def record(time, number, name, group, tel):
    return [f"Time:{time}", f"Number:{number}", f"Name:{name}", f"Group:{group}", f"Type:{tel}"]


def report(letter, *fields):
    return lines("Report", letter, *fields, "End")


def response(letter, *fields):
    return lines("Response", letter, *fields, "End")


CALLERS = [
    ("03151030", "0212345678", "홍길동", "1", "S"),
    ("12312359", "0317654321", "똠방각하", "3", "V"),
    ("01010000", "", "", "", "P"),
    ("07040915", "01099998888", "김철수", "12", "B"),
    ("11300800", "0519876543", "공중전화", "2", "C"),
    ("02281745", "0621112222", "", "0", "O"),
]

seeds = {
    "report_B": report("B"),
    "report_C": report("C"),
    "report_D": report("D", *record(*CALLERS[0])),
    "report_D_hangul_ext": report("D", *record(*CALLERS[1])),
    "report_D_withheld": report("D", *record(*CALLERS[2])),
    "report_E": report("E", *record(*CALLERS[3])),
    "ack": b"ACK",
    "ack_line": lines("ACK"),
    "ack_then_response": lines("ACK") + response("t", "1"),
    "two_reports": report("D", *record(*CALLERS[4])) + report("C"),
    "noise_then_report": b"\x8c\xff~garbage\r\nEnd" + report("B"),
    "response_then_report": response("n", "1") + report("E", *record(*CALLERS[5])),
    "list_a": response("a", *sum((record(*c) for c in CALLERS), [])),
    "list_a_empty": response("a"),
    "list_j": response("j", *sum((record(*c) for c in CALLERS[:3]), [])),
    "list_o": response("o", *sum((record(*c) for c in CALLERS[3:]), [])),
    "list_a_61": response("a", *sum((record(*CALLERS[k % 6]) for k in range(61)), [])),
    "list_p": response("p", "1", "3", "2", "5", "4", "1", "5", "2", "6", "6", "3", "4"),
}
for letter, value in [("d", None), ("e", "0705"), ("f", "3"), ("g", "1"), ("h", "1"),
                      ("i", "0"), ("n", "1"), ("q", "0"), ("r", "1"), ("s", "8"),
                      ("t", "1"), ("u", "0"), ("x", "1")]:
    seeds[f"response_{letter}"] = (response("d", "0315", "1030") if letter == "d"
                                   else response(letter, value))

# Header variants: one port with 64-byte pieces; four ports in turn with 1-,
# 2- and 3-byte pieces; COM2 with odd sizes and empty notifications; COM4
# first, then the others in turn, with large pieces and the payload 16 times.
HEADERS = [b"\x00\x3f\x3f\x3f", b"\x04\x00\x01\x02", b"\x09\x06\x4a\x10", b"\x27\x7f\x3f\xbf"]


def halves(first, second):
    """Two terminals' streams as one payload: the fuzzer cuts it in the middle."""
    pad = abs(len(first) - len(second))
    if len(first) < len(second):
        first = b"~" * pad + first
    else:
        second = b"~" * pad + second
    return first + second


# Two terminals at once (header bit 6): COM1 and COM2 take turns with 1-, 2-
# and 7-byte pieces.
# Markers with noise glued in front, a damaged end line, a caller named "Report":
# in one piece, and byte by byte.
DAMAGED = {
    "noise_glued_to_marker": b"xyz" + report("B") + b"\x00" + response("t", "1") + b"Respo" + report("C"),
    "end_line_damaged": b"Report\r\nB\r\nEnd\rX\n" + report("C"),
    "name_report": report("D", *record("03151030", "0212345678", "Report", "1", "S")),
}
TWO_TERMINALS = {
    "two_terminals_calls": halves(report("D", *record(*CALLERS[0])) + report("B"),
                                  report("E", *record(*CALLERS[1])) + response("t", "1")),
    "two_terminals_lists": halves(response("a", *sum((record(*c) for c in CALLERS[:2]), [])),
                                  b"noise" + response("p", "1", "3") + report("C")),
}

os.makedirs(OUT, exist_ok=True)
for name, payload in sorted(DAMAGED.items()):
    for j, header in enumerate([b"\x00\x3f\x3f\x3f", b"\x00\x00\x00\x00"]):
        with open(os.path.join(OUT, f"{name}_{j}"), "wb") as f:
            f.write(header + payload)
for name, payload in sorted(TWO_TERMINALS.items()):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(b"\x40\x00\x01\x06" + payload)
for i, (name, payload) in enumerate(sorted(seeds.items())):
    for j, header in enumerate(HEADERS):
        if j and (i + j) % 2:  # every seed in one piece, and half of them in two more ways
            continue
        with open(os.path.join(OUT, f"{name}_{j}"), "wb") as f:
            f.write(header + payload)
