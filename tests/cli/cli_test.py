#!/usr/bin/env python3
"""Black-box tests of korbex-update: runs the built tool as a user would and checks
exit codes, output, JSON, the trace file and the simulated adapter's flash.

  cli_test.py --tool PATH [--emulator RUNNER] CASE   runs one case (CTest runs each alone)
  cli_test.py --list [--wine]                        names the cases (the Wine subset)

Firmware files are built here from the file layout (28-byte little-endian headers
and their data), independently of the C++ fixture generator.
"""
import argparse
import json
import os
import pty
import re
import select
import struct
import subprocess
import sys
import tempfile
import time

TOOL = None
EMULATOR = []
CASES = {}
WINE_CASES = set()

# Loader command codes as they appear in a written report.
WRITE_DATA, ERASE, FINISH, WRITE_RECORD = 0x03, 0x04, 0x07, 0x0B
QUERY_LOADER, SAVE_HEAD, CHECK_BLOCK, SET_IMAGE_INFO = 0xC1, 0xC2, 0xC3, 0xC4
WRITING = {ERASE, WRITE_DATA, WRITE_RECORD}

EXIT = {"ok": 0, "failed": 1, "usage": 2, "no-adapter": 3, "file-refused": 4, "cancelled": 5,
        "cannot-open": 6, "loader-silent": 7, "output-failed": 9}


def case(wine=False):
    def register(fn):
        CASES[fn.__name__] = fn
        if wine:
            WINE_CASES.add(fn.__name__)
        return fn
    return register


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# --- firmware files -----------------------------------------------------------------

def header(length, version=1, beta=0, load=0, pid=0x4B50, mark=0xE1):
    h = struct.pack("<HHIII", version, beta, load, length, pid) + bytes(4) + bytes([mark]) + bytes(7)
    assert len(h) == 28
    return h


def pattern(n, seed):
    # A simple LCG: distinct bytes per section and block, reproducible.
    out = bytearray(n)
    x = seed * 2654435761 & 0xFFFFFFFF
    for i in range(n):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out[i] = x >> 16 & 0xFF
    return bytes(out)


class Firmware:
    """A three-section file and where its bytes belong in flash."""

    def __init__(self, s1=2 * 4096 + 300, s2=4096 + 10, s3=2 * 4096, a2=0x20000, a3=0x8000,
                 versions=(2, 16, 0x21), beta1=0, beta3=0, mark=0xE1, pid=0x4B50, seed=7):
        self.d1, self.d2, self.d3 = pattern(s1, seed), pattern(s2, seed + 1), pattern(s3, seed + 2)
        self.a2, self.a3 = a2, a3
        self.bytes = (header(s1, versions[0], beta1, 0, pid) + self.d1 +
                      header(s2, versions[1], 0, a2, 0) + self.d2 +
                      header(s3, versions[2], beta3, a3, 0, mark) + self.d3)

    def expected_regions(self, loader_size=0, section3=False):
        """(address, bytes) the flash must hold after a successful update: whole 4096-byte
        blocks, the last one carrying what follows in the file, 0xFF past its end."""
        b = self.bytes
        padded = lambda start, n: (b[start:] + b"\xff" * (n + 4096))[: n]
        blocks = lambda length: (length + 4095) // 4096 * 4096
        l1, l2 = len(self.d1), len(self.d2)
        if section3:
            w3 = len(self.d3) - loader_size
            return [(self.a3, padded(84 + l1 + l2 + loader_size, blocks(w3)))]
        w1 = l1 - loader_size
        return [(0, padded(28 + loader_size, blocks(w1))), (self.a2, padded(56 + l1, blocks(l2)))]


def check_flash(flash, regions):
    """The written regions hold the file's blocks and every other byte is still erased."""
    covered = bytearray(len(flash))
    for address, data in regions:
        got = flash[address:address + len(data)]
        if got != data:
            first = next(i for i in range(len(data)) if i >= len(got) or got[i] != data[i])
            raise Failure(f"flash at 0x{address + first:x} differs from the file "
                          f"(block at 0x{address + first // 4096 * 4096:x})")
        covered[address:address + len(data)] = b"\x01" * len(data)
    stray = [i for i in range(len(flash)) if not covered[i] and flash[i] != 0xFF]
    check(not stray, f"flash outside the written blocks changed, first at 0x{stray[0]:x}" if stray else "")


# --- running the tool ----------------------------------------------------------------

class Result:
    def __init__(self, rc, out, err, seconds):
        self.rc, self.out, self.err, self.seconds = rc, out, err, seconds

    def __repr__(self):
        return f"exit {self.rc}\n--- stdout\n{self.out}\n--- stderr\n{self.err}"


def base_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LC_") and k not in ("LANG", "NO_COLOR")}
    env["LANG"] = "C.UTF-8"
    env.update(extra)
    return env


def run(*args, env=None, stdin=subprocess.DEVNULL, timeout=90):
    start = time.monotonic()
    p = subprocess.run(EMULATOR + [TOOL] + list(args), stdin=stdin, capture_output=True,
                       env=env or base_env(), timeout=timeout)
    r = Result(p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace"),
               time.monotonic() - start)
    return r


def expect(r, code, what=""):
    if r.rc != code:
        raise Failure(f"{what}: expected exit {code}, got {r!r}")


def one_line_error(r, *needles):
    """The failure is explained in exactly one stderr line that holds every needle."""
    lines = [l for l in r.err.splitlines() if l.strip()]
    check(len(lines) == 1, f"expected one error line, got {r!r}")
    for n in needles:
        check(n in lines[0], f"error line lacks {n!r}: {lines[0]!r}")
    return lines[0]


def parse_json(r):
    try:
        doc = json.loads(r.out)
    except ValueError as e:
        raise Failure(f"stdout is not one JSON document ({e}): {r!r}")
    check(isinstance(doc, dict), "JSON document is not an object")
    check(doc.get("exitCode") == r.rc, f"JSON exitCode {doc.get('exitCode')} but the process exited {r.rc}")
    check(r.err == "", f"--json wrote to stderr: {r.err!r}")
    return doc


def read_trace(path):
    """[(kind, bytes)] of a trace file, checking every line's form."""
    with open(path, encoding="ascii") as f:
        lines = f.read().splitlines()
    check(lines and lines[0] == "# korbex-update trace 1", f"bad first trace line: {lines[:1]}")
    events = []
    hexline = re.compile(r"^([WR])((?: [0-9a-f]{2})+)$")
    for line in lines[1:]:
        if line in ("R timeout", "W failed") or re.fullmatch(r"R error \d+", line):
            events.append((line, b""))
            continue
        m = hexline.match(line)
        check(m, f"malformed trace line {line!r}")
        data = bytes(int(x, 16) for x in m.group(2).split())
        if m.group(1) == "R":
            check(len(data) == 64, f"read line with {len(data)} bytes")
        else:
            check(2 <= len(data) <= 65 and data[0] == 0, f"write line with {len(data)} bytes / id {data[0]}")
        events.append((m.group(1), data))
    return events


def commands_written(events):
    """Loader command codes of the W lines, in order (the version request shows as 0x21)."""
    codes = []
    for kind, data in events:
        if kind != "W" or len(data) < 4 or data[1] != 5:
            continue
        codes.append(WRITE_RECORD if data[2] == WRITE_RECORD else data[2] | data[3] << 8)
    return codes


class Workdir:
    def __enter__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="korbex-cli-")
        self.old = os.getcwd()
        os.chdir(self.tmp.name)  # relative paths: the same under Wine
        return self

    def __exit__(self, *exc):
        os.chdir(self.old)
        self.tmp.cleanup()

    @staticmethod
    def write(name, data):
        with open(name, "wb") as f:
            f.write(data)
        return name

    @staticmethod
    def read(name):
        with open(name, "rb") as f:
            return f.read()


# --- cases ---------------------------------------------------------------------------

@case(wine=True)
def usage_errors():
    r = run("--help")
    expect(r, 0, "--help")
    for name, code in EXIT.items():
        check(re.search(rf"^\s*{code}\s+{re.escape(name)}\s", r.out, re.M), f"--help lacks exit code {code} {name}")
    for args, needle in [(["--bogus", "list"], "--bogus"),
                         ([], "command is required"),
                         (["flash"], "FILE"),
                         (["inspect", "a.dat", "b.dat"], "b.dat"),
                         (["-q", "-v", "list"], "verbose"),
                         (["frobnicate"], "frobnicate")]:
        r = run(*args)
        expect(r, 2, " ".join(args))
        one_line_error(r, needle)
        check(r.out == "", f"usage error printed on stdout: {r!r}")
    doc = parse_json(run("--json", "--bogus", "list"))
    check(doc["exitName"] == "usage" and "--bogus" in doc["error"]["message"], f"JSON usage error: {doc}")
    r = run("--simulate", "--trace", os.path.join("no-such-dir", "t.txt"), "info")
    expect(r, 2, "trace file not writable")
    one_line_error(r, "t.txt")


@case(wine=True)
def simulate_key_errors():
    with Workdir() as w:
        table = [
            ("bogus=1", "'bogus'"), ("beta=2", "'beta'"), ("beta=16", "'beta'"), ("product=0x1234", "'product'"),
            ("version=1.x", "'version'"), ("version=256", "'version'"), ("loader-size=ten", "'loader-size'"),
            ("erase-unit=-1", "'erase-unit'"), ("flash-size=0", "'flash-size'"), ("head=sideways", "'head'"),
            ("latency-ms=99999999", "'latency-ms'"), ("fault=explode", "'fault'"), ("fault=nak:Bogus", "'fault'"),
            ("flash-in=missing.bin", "'flash-in'"), ("version", "'version'"),
            ("product-after-finish=0x2D94", "'product-after-finish'"), ("head-address=-5", "'head-address'"),
        ]
        for option, needle in table:
            r = run(f"--simulate={option}", "list")
            expect(r, 2, option)
            one_line_error(r, needle)
        w.write("big.bin", b"\0" * 8192)
        r = run("--simulate=flash-size=4096,flash-in=big.bin", "list")
        expect(r, 2, "flash-in larger than flash-size")
        one_line_error(r, "flash-in")


@case(wine=True)
def hardware_absent():
    """No adapter on this machine: list, info, verify and flash say so with exit 3."""
    r = run("list")
    if r.rc == 0:
        print("skipped: a real adapter is connected")
        return
    expect(r, 3, "list")
    one_line_error(r, "no supported adapter")
    check(r.out == "", "list printed rows without an adapter")
    doc = parse_json(run("--json", "list"))
    check(doc["adapters"] == [] and doc["exitName"] == "no-adapter", f"JSON list: {doc}")
    with Workdir() as w:
        w.write("fw.dat", Firmware().bytes)
        for args in (["info"], ["verify", "fw.dat"], ["flash", "-y", "fw.dat"], ["--device", "/dev/hidraw99", "info"]):
            r = run(*args)
            expect(r, 3, " ".join(args))
            one_line_error(r)


@case(wine=True)
def list_and_info_simulated():
    r = run("--simulate", "list")
    expect(r, 0, "list")
    check(re.search(r"^simulated\s+35b2:2d93\s+FlashLoader", r.out, re.M), f"list row: {r!r}")
    doc = parse_json(run("--json", "--simulate=product=0x6E41", "list"))
    check(doc["adapters"][0]["family"] == "TwoStage" and doc["adapters"][0]["productId"] == 0x6E41, f"{doc}")
    expect(run("--simulate", "--device", "simulated", "info"), 0, "--device naming the simulated adapter")
    r = run("--simulate", "--device", "elsewhere", "info")
    expect(r, 3, "--device naming no adapter")
    one_line_error(r, "elsewhere")

    # The caption as the dialog shows it: lower-case hex, beta only when present.
    for option, caption in [("version=1.10", "Korbex Update v2.16 (Device: v1.a)"),
                          ("version=1.10,beta=3", "Korbex Update v2.16 (Device: v1.a beta3)"),
                          ("version=0x12,beta=3", "Korbex Update v2.16 (Device: v12 beta3)"),
                          ("version=7", "Korbex Update v2.16 (Device: v7)")]:
        r = run(f"--simulate=product=0x6E41,{option}", "-q", "info")
        expect(r, 0, option)
        check(r.out.strip() == caption, f"info with {option}: {r.out!r}, want {caption!r}")
    doc = parse_json(run("--json", "--simulate=product=0x6E41,version=0x12,beta=3", "info"))
    v = doc["version"]
    check(v["form"] == "single-number" and v["number"] == 0x12 and v["beta"] == 3, f"JSON version: {v}")

    # A FlashLoader adapter is not asked: nothing is written to it.
    with Workdir():
        r = run("--simulate", "--trace", "t.txt", "info")
        expect(r, 0, "FlashLoader info")
        check(commands_written(read_trace("t.txt")) == [], "info wrote to a FlashLoader adapter")
        # A version responder that never answers: bounded, exit 7.
        r = run("--simulate=product=0x6E41,fault=ignore:Version@1x*", "--trace", "t.txt", "info", timeout=30)
        expect(r, 7, "silent version responder")
        one_line_error(r, "version")
        check(r.seconds < 10, f"silent version query took {r.seconds:.1f} s")
        check(commands_written(read_trace("t.txt")).count(0x21) == 1, "version request not sent exactly once")


@case(wine=True)
def inspect_files():
    with Workdir() as w:
        fw = Firmware(versions=(3, 7, 0x15), beta1=5)
        w.write("good.dat", fw.bytes)
        r = run("inspect", "good.dat")
        expect(r, 0, "good file")
        check("firmware V3.7 beta5" in r.out and "firmware V21" in r.out, f"confirmation texts: {r.out}")
        check(re.search(r"^2\s+7\s+0\s+0x00020000\s+4106\s", r.out, re.M), f"section 2 row: {r.out}")
        doc = parse_json(run("--json", "inspect", "good.dat"))
        check(doc["verdict"]["ok"] and doc["fileMark"] == 0xE1, f"verdict: {doc}")
        check([s["length"] for s in doc["sections"]] == [len(fw.d1), len(fw.d2), len(fw.d3)], "lengths")
        check(doc["sections"][1]["loadAddress"] == 0x20000 and doc["sections"][0]["modelCode"] == 0x4B50, "fields")

        truncated = fw.bytes[:-100]
        refused = [
            ("mark.dat", Firmware(mark=0xE0).bytes, "section 3 fileMark"),
            ("pid.dat", Firmware(pid=0x4B51).bytes, "section 1 pid"),
            ("short.dat", truncated, "section 3 length"),
            ("tiny.dat", fw.bytes[:10], "section 1 header"),
            ("only1.dat", header(100) + bytes(100), "section 2 header"),
            ("empty.dat", b"", "section 1 header"),
        ]
        for name, data, field in refused:
            w.write(name, data)
            r = run("inspect", name)
            expect(r, 4, name)
            one_line_error(r, "文件不匹配", field)
            doc = parse_json(run("--json", "inspect", name))
            check(doc["verdict"]["field"] == field, f"{name}: JSON names {doc['verdict'].get('field')!r}")
        r = run("inspect", "missing.dat")
        expect(r, 4, "missing file")
        one_line_error(r, "missing.dat")
        # The mark is accepted from 0xE1 up.
        w.write("ff.dat", Firmware(mark=0xFF).bytes)
        expect(run("inspect", "ff.dat"), 0, "file mark 0xFF")


@case(wine=True)
def flash_sections_1_and_2():
    """A FlashLoader update end to end, then the same file again: nothing is erased."""
    with Workdir() as w:
        fw = Firmware()
        w.write("fw.dat", fw.bytes)
        sim = "--simulate=loader-size=0x100,flash-size=0x40000,flash-out=flash.bin"
        r = run(sim, "--trace", "t.txt", "flash", "-y", "fw.dat")
        expect(r, 0, "update")
        check("Updated successful!" in r.out and "firmware V2.16" in r.out, f"output: {r!r}")
        check_flash(w.read("flash.bin"), fw.expected_regions(loader_size=0x100))
        codes = commands_written(read_trace("t.txt"))
        check(codes[0] == QUERY_LOADER and codes[-2:] == [SET_IMAGE_INFO, FINISH], f"command order {codes[:3]}…{codes[-3:]}")
        blocks = 3 + 2  # (8492 - 256) / 4096 -> 3 blocks, 4106 -> 2 blocks
        check(codes.count(ERASE) == blocks and codes.count(WRITE_RECORD) == 67 * blocks, "erases / records")

        # Already on the adapter: every block is skipped, the run still ends well.
        r = run(sim.replace("flash-out", "flash-in=flash.bin,flash-out"), "--json", "--trace", "t2.txt", "-y",
                "flash", "fw.dat")
        doc = parse_json(r)
        expect(r, 0, "same image again")
        check(doc["ending"] == "Success" and doc["blocks"]["skipped"] == blocks and doc["blocks"]["written"] == 0,
              f"JSON blocks: {doc['blocks']}")
        check(doc["confirmation"] == {"text": "firmware V2.16", "confirmed": True}, f"{doc['confirmation']}")
        check(doc["afterRestart"]["returned"] is True, "adapter not seen after the restart")
        check(not WRITING & set(commands_written(read_trace("t2.txt"))), "erased or wrote an equal image")


@case(wine=True)
def flash_section_3():
    """A single-number TwoStage adapter gets section 3 alone, at its load address."""
    with Workdir() as w:
        fw = Firmware(versions=(2, 16, 0x21), beta3=3)
        w.write("fw.dat", fw.bytes)
        r = run("--simulate=product=0x6E41,product-after-finish=0x2D93,version=5,loader-size=0x80,"
                "flash-size=0x40000,flash-out=flash.bin", "--json", "--trace", "t.txt", "-y", "flash", "fw.dat")
        doc = parse_json(r)
        expect(r, 0, "section-3 update")
        check(doc["writtenSet"] == "section 3" and doc["confirmation"]["text"] == "firmware V33 beta3", f"{doc}")
        # Back under its other product id, still asked for its version as the dialog does.
        after = doc["afterRestart"]
        check(after["adapter"]["productId"] == 0x2D93, f"{after}")
        check(after["version"]["caption"] == "Korbex Update v2.16 (Device: v5)", f"{after}")
        check_flash(w.read("flash.bin"), fw.expected_regions(loader_size=0x80, section3=True))
        codes = commands_written(read_trace("t.txt"))
        # Version request, then the TwoStage QueryLoader before the confirmation, then the real one.
        check(codes[:3] == [0x21, QUERY_LOADER, QUERY_LOADER], f"first commands {codes[:4]}")


@case()
def flash_recoverable_faults():
    """A lost record reply and a stale check reply cost retries, not the update."""
    with Workdir() as w:
        fw = Firmware(s1=3 * 4096, s2=100)
        w.write("fw.dat", fw.bytes)
        r = run("--simulate=fault=drop:WriteRecord@5+stale:CheckBlock@2,flash-out=ok.bin",
                "--trace", "t.txt", "-y", "flash", "fw.dat")
        expect(r, 0, "recoverable faults")
        check_flash(w.read("ok.bin"), fw.expected_regions())
        events = read_trace("t.txt")
        check("R timeout" in [e[0] for e in events], "the dropped reply left no time-out in the trace")
        # The lost acknowledgement makes the same record go out again.
        records = [d[3] for k, d in events if k == "W" and len(d) > 3 and d[1] == 5 and d[2] == WRITE_RECORD]
        check(records[:6] == [0, 1, 2, 3, 4, 4], f"record indexes {records[:6]}")


@case()
def flash_failing_faults():
    """A block that does not verify, or an erase unit the update cannot use: exit 1."""
    with Workdir() as w:
        fw = Firmware(s1=3 * 4096, s2=100)
        w.write("fw.dat", fw.bytes)
        for sim, needle in [("fault=corrupt:WriteRecord@3", "differs"), ("erase-unit=8192", "4096")]:
            r = run(f"--simulate={sim},flash-out=bad.bin", "--trace", "t.txt", "-y", "flash", "fw.dat")
            expect(r, 1, sim)
            check("Updated failed!" in r.out, f"{sim}: no failure text: {r!r}")
            one_line_error(r, needle)
            flash = w.read("bad.bin")
            check(any(flash[a:a + len(d)] != d for a, d in fw.expected_regions()), f"{sim}: flash equals the file")
            check(FINISH not in commands_written(read_trace("t.txt")), f"{sim}: Finish sent after a failure")
        # Nothing is erased when the unit is not 4096.
        check(ERASE not in commands_written(read_trace("t.txt")), "erased with an unsupported unit")


@case()
def flash_erase_never_acknowledged():
    """An erase that is never acknowledged stops the pass after a bounded wait: exit 1."""
    with Workdir() as w:
        fw = Firmware(s1=2 * 4096, s2=0)
        w.write("fw.dat", fw.bytes)
        r = run("--simulate=fault=nak:Erase@1x*", "--trace", "t.txt", "-y", "flash", "fw.dat", timeout=60)
        expect(r, 1, "erase refused for ever")
        check("Updated failed!" in r.out, f"{r!r}")
        one_line_error(r, "erase was not acknowledged")
        check(r.seconds < 20, f"took {r.seconds:.1f} s")
        codes = commands_written(read_trace("t.txt"))
        check(codes.count(ERASE) == 1 and WRITE_DATA not in codes, f"after the refused erase: {codes}")


@case()
def adapter_gone_or_silent():
    """Unplugged mid-update or a loader that never answers: bounded, exit 1 or 7."""
    with Workdir() as w:
        w.write("fw.dat", Firmware(s1=2 * 4096, s2=10).bytes)
        r = run("--simulate=fault=disconnect:WriteRecord@10", "-y", "flash", "fw.dat", timeout=60)
        expect(r, 1, "disconnect")
        one_line_error(r, "went away")
        check(r.seconds < 20, f"disconnect took {r.seconds:.1f} s")
        for args in (["flash", "-y", "fw.dat"], ["verify", "fw.dat"]):
            r = run("--simulate=fault=ignore:QueryLoader@1x*", *args, timeout=30)
            expect(r, 7, " ".join(args) + " with a silent loader")
            one_line_error(r, "BOOT")
            check(r.seconds < 10, f"silent loader took {r.seconds:.1f} s")


@case(wine=True)
def refused_files_send_nothing():
    with Workdir() as w:
        w.write("mark.dat", Firmware(mark=0xE0).bytes)
        w.write("pid.dat", Firmware(pid=1).bytes)
        for name in ("mark.dat", "pid.dat"):
            for product in ("0x2D93", "0x6E41"):
                r = run(f"--simulate=product={product}", "--trace", "t.txt", "-y", "flash", name)
                expect(r, 4, f"{name} on {product}")
                one_line_error(r, "文件不匹配")
                check(commands_written(read_trace("t.txt")) == [], f"{name}: something was sent")
        # Refused by the loader's answer: section 1 is shorter than the loader part.
        w.write("fw.dat", Firmware(s1=1000).bytes)
        r = run("--simulate=loader-size=4096", "--trace", "t.txt", "-y", "flash", "fw.dat")
        expect(r, 4, "section shorter than the loader")
        one_line_error(r, "shorter than the loader size")
        codes = commands_written(read_trace("t.txt"))
        check(QUERY_LOADER in codes and not WRITING & set(codes), f"sent {codes}")
        r = run("--simulate", "flash", "-y", "nothere.dat")
        expect(r, 4, "missing file")
        one_line_error(r, "nothere.dat")


@case(wine=True)
def confirmation_without_terminal():
    with Workdir() as w:
        w.write("fw.dat", Firmware().bytes)
        r = run("--simulate", "--trace", "t.txt", "flash", "fw.dat")
        expect(r, 5, "no terminal, no -y")
        one_line_error(r, "-y", "firmware V2.16")
        # FlashLoader: nothing goes out before the confirmation.
        check(commands_written(read_trace("t.txt")) == [], "sent before the confirmation")
        doc = parse_json(run("--json", "--simulate=product=0x6E41", "--trace", "t.txt", "flash", "fw.dat"))
        check(doc["exitName"] == "cancelled" and "-y" in doc["error"]["message"], f"{doc}")
        check(commands_written(read_trace("t.txt")) == [0x21, QUERY_LOADER], "TwoStage: more than version + query")


@case()
def verify_flash():
    with Workdir() as w:
        fw = Firmware(s1=2 * 4096, s2=4096)
        w.write("fw.dat", fw.bytes)
        image = bytearray(b"\xff" * 0x30000)
        for address, data in fw.expected_regions():
            image[address:address + len(data)] = data
        w.write("good.bin", bytes(image))
        image[0x20000 + 5] ^= 1  # section 2, block 0
        w.write("bad.bin", bytes(image))
        r = run("--simulate=flash-size=0x30000,flash-in=good.bin,flash-out=after.bin", "--trace", "t.txt",
                "verify", "fw.dat")
        expect(r, 0, "verify equal")
        check("3 blocks" in r.out, f"{r!r}")
        check(set(commands_written(read_trace("t.txt"))) == {QUERY_LOADER, CHECK_BLOCK}, "verify sent more than checks")
        check(w.read("after.bin") == w.read("good.bin"), "verify changed the flash")
        r = run("--simulate=flash-size=0x30000,flash-in=bad.bin", "verify", "fw.dat")
        expect(r, 1, "verify differing")
        check(re.search(r"section 2 block 0 at 0x00020000", r.out), f"differing block not listed: {r!r}")
        doc = parse_json(run("--json", "--simulate=flash-size=0x30000,flash-in=bad.bin", "verify", "fw.dat"))
        check(doc["differing"] == 1 and doc["equal"] == 2 and doc["matches"] is False, f"{doc}")


@case()
def chinese_locale():
    with Workdir() as w:
        w.write("fw.dat", Firmware().bytes)
        zh = base_env(LANG="zh_CN.UTF-8")
        r = run("--simulate", "flash", "fw.dat", env=zh)
        expect(r, 5, "zh no -y")
        one_line_error(r, "请加 -y")
        r = run("--simulate=fault=ignore:QueryLoader@1x*", "flash", "-y", "fw.dat", env=zh)
        expect(r, 7, "zh silent loader")
        one_line_error(r, "固件更新失败,请将手柄工作在 BOOT 模式")
        # LC_ALL wins over LANG; LC_MESSAGES over LANG.
        r = run("--simulate", "flash", "fw.dat", env=base_env(LANG="zh_CN.UTF-8", LC_ALL="C"))
        one_line_error(r, "pass -y")
        r = run("--simulate", "flash", "fw.dat", env=base_env(LANG="C", LC_MESSAGES="zh_CN.UTF-8"))
        one_line_error(r, "请加 -y")


@case()
def file_changed_during_flash():
    """The file as opened is what is written and checked, whatever happens to it on disk meanwhile."""
    def truncate(name):
        os.truncate(name, 20000)

    def rewrite_in_place(name):
        with open(name, "r+b") as f:
            f.seek(30000)
            f.write(b"\x5a" * 20000)

    def replace_by_rename(name):
        Workdir.write("other.dat", Firmware(s1=4096, s2=100, s3=100, seed=99).bytes)
        os.rename("other.dat", name)

    with Workdir() as w:
        expect(run("make-demo-firmware", "demo.dat"), 0, "make-demo-firmware")
        original = w.read("demo.dat")
        for change in (truncate, rewrite_in_place, replace_by_rename):
            w.write("t.dat", original)
            p = subprocess.Popen(EMULATOR + [TOOL, "--simulate=latency-ms=3,flash-out=o.bin", "flash", "-y", "t.dat"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 env=base_env())
            time.sleep(1)
            change("t.dat")
            check(p.poll() is None, f"{change.__name__}: the update ended before the file was changed")
            out, err = p.communicate(timeout=90)
            check(p.returncode == 0, f"{change.__name__}: exit {p.returncode}\n{out.decode()}{err.decode()}")
            check(w.read("t.dat") != original, f"{change.__name__}: the file did not change")
            r = run("--simulate=flash-in=o.bin", "verify", "demo.dat")
            expect(r, 0, f"{change.__name__}: the flash is not the file as it was opened")


@case()
def file_not_read_whole_is_refused():
    """A file longer than any firmware can be is refused before anything is sent."""
    with Workdir() as w:
        w.write("big.dat", Firmware().bytes)
        os.truncate("big.dat", 64 * 1024 * 1024 + 1)  # sparse: a valid file, then zeros
        for args in (["flash", "-y", "big.dat"], ["verify", "big.dat"]):
            if os.path.exists("t.txt"):
                os.remove("t.txt")
            r = run("--simulate", "--trace", "t.txt", *args)
            expect(r, 4, " ".join(args))
            one_line_error(r, "big.dat")
            check("Updated" not in r.out, f"{args[0]}: {r!r}")
            check(not os.path.exists("t.txt") or not [e for e in read_trace("t.txt") if e[0] == "W"],
                  f"{args[0]}: something was sent")
        expect(run("inspect", "big.dat"), 4, "inspect")


@case(wine=True)
def one_verdict_for_a_file():
    """inspect, verify and flash judge a file alike, and a refused file sends no loader command."""
    with Workdir() as w:
        w.write("wrap.dat", Firmware(a2=0xFFFFF000).bytes)  # section 2's second block wraps to address 0
        for sizes in ("0,0,0", "0,4096,4096"):
            expect(run("make-demo-firmware", f"s{sizes[0]}{sizes[2]}.dat", "--sizes", sizes), 0, sizes)
        files = [("wrap.dat", "sections 1 and 2", "loadAddress"),
                 ("s00.dat", "sections 1 and 2", "no data"),
                 ("s04.dat", "sections 1 and 2", "no data")]
        for name, written_set, reason in files:
            r = run("inspect", name)
            expect(r, 4, f"inspect {name}")
            one_line_error(r, "文件不匹配", written_set, reason)
            doc = parse_json(run("--json", "inspect", name))
            check(doc["verdict"]["ok"] is False, f"{name}: JSON verdict {doc['verdict']}")
            verdicts = {s["set"]: s["verdict"]["ok"] for s in doc["writtenSets"]}
            check(verdicts[written_set] is False, f"{name}: per-set verdicts {verdicts}")
            for product in ("0x2D93", "0x6E41"):
                for args in (["flash", "-y", name], ["verify", name]):
                    if os.path.exists("t.txt"):
                        os.remove("t.txt")
                    r = run(f"--simulate=product={product}", "--trace", "t.txt", *args)
                    expect(r, 4, f"{' '.join(args)} on {product}")
                    one_line_error(r, "文件不匹配", written_set)
                    # A TwoStage adapter is asked its version (which decides the set), as the
                    # dialog asks at connect; no loader command follows.
                    allowed = [0x21] if product == "0x6E41" else []
                    sent = commands_written(read_trace("t.txt"))
                    check(sent == allowed, f"{args[0]} {name} on {product}: sent {sent}")
        # The verdict is the set's: a single-number adapter takes section 3 alone, so the
        # file without sections 1 and 2 is flashed there, by this tool as by the dialog.
        expect(run("--simulate=product=0x6E41,version=7", "flash", "-y", "s04.dat"), 0, "section 3 alone")
        # A file both sets accept keeps both verdicts.
        w.write("good.dat", Firmware().bytes)
        doc = parse_json(run("--json", "inspect", "good.dat"))
        check(all(s["verdict"]["ok"] for s in doc["writtenSets"]), f"{doc['writtenSets']}")


def run_on_terminal(args, env, answer=None, timeout=60):
    """Runs the tool with stdin, stdout and stderr on a pseudo-terminal."""
    master, slave = pty.openpty()
    p = subprocess.Popen(EMULATOR + [TOOL] + args, stdin=slave, stdout=slave, stderr=slave, env=env)
    os.close(slave)
    out = b""
    deadline = time.monotonic() + timeout
    answered = False
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
            if answer is not None and not answered and b"[y/N]" in out:
                os.write(master, answer)
                answered = True
        elif p.poll() is not None:
            break
    p.wait(timeout=5)
    os.close(master)
    return p.returncode, out.decode("utf-8", "replace")


@case()
def terminal_prompt_progress_and_colour():
    with Workdir() as w:
        w.write("fw.dat", Firmware().bytes)
        rc, out = run_on_terminal(["--simulate", "flash", "fw.dat"], base_env(TERM="xterm"), answer=b"n\n")
        check(rc == 5 and "firmware V2.16" in out and "cancelled" in out, f"answered no: exit {rc}\n{out}")
        rc, out = run_on_terminal(["--simulate=latency-ms=1", "flash", "fw.dat"], base_env(TERM="xterm"),
                                  answer=b"y\n")
        check(rc == 0 and "\r[" in out and "100%" in out, f"no progress bar on a terminal: exit {rc}\n{out}")
        check("\x1b[32mUpdated successful!" in out, f"success not in colour: {out!r}")
        rc, out = run_on_terminal(["--simulate", "-y", "flash", "fw.dat"], base_env(TERM="xterm", NO_COLOR="1"))
        check(rc == 0 and "\x1b[" not in out, f"NO_COLOR ignored: exit {rc} {out!r}")


@case(wine=True)
def demo_firmware_file():
    with Workdir():
        r = run("make-demo-firmware", "demo.dat", "--sizes", "5000,4096,100", "--seed", "3")
        expect(r, 0, "make-demo-firmware")
        doc = parse_json(run("--json", "inspect", "demo.dat"))
        check([s["length"] for s in doc["sections"]] == [5000, 4096, 100] and doc["verdict"]["ok"], f"{doc}")


# --- what a failure message says ------------------------------------------------------

@case()
def flash_check_without_answer():
    """A check whose reply is lost is not a block that differs: the message and the JSON say
    no answer, and a later verify finds the block equal."""
    with Workdir() as w:
        fw = Firmware(s1=3 * 4096, s2=100)
        w.write("fw.dat", fw.bytes)
        # Checks 1-4: write pass; 5 and 6: check pass; 7: head block 0, after SaveHead.
        sim = "--simulate=flash-size=0x30000,fault=drop:CheckBlock@7,flash-out=f.bin"
        r = run(sim, "-y", "flash", "fw.dat")
        expect(r, 1, "a lost check reply")
        check("Updated failed!" in r.out, f"{r!r}")
        line = one_line_error(r, "head block 0 of section 1", "did not answer")
        check("differs" not in line, f"a lost reply reported as a difference: {line!r}")
        doc = parse_json(run("--json", sim, "-y", "flash", "fw.dat"))
        blocks = doc["blocks"]
        check(doc["cause"] == "CheckUnanswered" and blocks["differing"] == [] and blocks["notWritten"] == [], f"{doc}")
        check([(b["section"], b["block"], b["phase"]) for b in blocks["unanswered"]] == [(1, 0, "head check")],
              f"{blocks}")
        r = run("--simulate=flash-size=0x30000,flash-in=f.bin", "verify", "fw.dat")
        expect(r, 0, "verify after the lost reply")


@case()
def flash_stopped_pass_says_not_written():
    """Blocks the write pass never wrote (a record refused past the bound) are reported as not
    written, with the cause, never as differing after writing."""
    with Workdir() as w:
        w.write("fw.dat", Firmware(s1=3 * 4096, s2=0).bytes)
        sim = "--simulate=fault=nak:WriteRecord@5x*"
        r = run(sim, "-y", "flash", "fw.dat", timeout=60)
        expect(r, 1, "record refused for ever")
        line = one_line_error(r, "section 1 block 2", "not written", "stopped at block 0", "record was refused")
        check("differs" not in line, f"an unwritten block reported as differing: {line!r}")
        doc = parse_json(run("--json", sim, "-y", "flash", "fw.dat", timeout=60))
        blocks = doc["blocks"]
        check(blocks["differing"] == [] and blocks["unanswered"] == [], f"{blocks}")
        check([(b["block"], b["cause"]) for b in blocks["notWritten"]] == [(0, "RecordFailed")], f"{blocks}")
        check(doc["cause"] == "RecordFailed" and "differs" not in doc["error"]["message"], f"{doc}")


@case()
def verify_lost_reply_and_adapter_gone():
    """verify: a lost reply is counted apart from differing blocks; an adapter unplugged
    mid-way is reported as gone (exit 1), not as a flash that differs, and is asked no more."""
    with Workdir() as w:
        fw = Firmware(s1=3 * 4096, s2=4096)
        w.write("fw.dat", fw.bytes)
        image = bytearray(b"\xff" * 0x30000)
        for address, data in fw.expected_regions():
            image[address:address + len(data)] = data
        w.write("good.bin", bytes(image))
        base = "--simulate=flash-size=0x30000,flash-in=good.bin"
        doc = parse_json(run("--json", base + ",fault=drop:CheckBlock@2", "verify", "fw.dat"))
        check(doc["exitCode"] == 1 and doc.get("unanswered") == 1 and doc["differing"] == 0 and doc["equal"] == 3,
              f"{doc}")
        check(doc.get("adapterGone") is False and "did not answer" in doc["error"]["message"], f"{doc}")
        check([b["answered"] for b in doc["blocks"]] == [True, False, True, True], f"{doc['blocks']}")

        gone = base + ",fault=unplug:CheckBlock@3"
        r = run(gone, "--trace", "t.txt", "verify", "fw.dat", timeout=30)
        expect(r, 1, "unplugged during verify")
        line = one_line_error(r, "went away")
        check("differs" not in line and "differs" not in r.out, f"{r!r}")
        check(commands_written(read_trace("t.txt")).count(CHECK_BLOCK) == 3, "checks sent after the adapter left")
        doc = parse_json(run("--json", gone, "verify", "fw.dat", timeout=30))
        check(doc.get("adapterGone") is True and doc["differing"] == 0 and doc.get("unanswered") == 1, f"{doc}")
        check(len(doc["blocks"]) == 3 and "went away" in doc["error"]["message"], f"{doc}")


@case()
def restart_wait_as_long_as_it_was():
    """The message about an adapter that did not come back names the wait that happened."""
    with Workdir() as w:
        w.write("fw.dat", Firmware(s1=4096, s2=0).bytes)
        # Finish never reaches the simulated adapter: it does not restart, and the wait ends at once.
        r = run("--simulate=fault=ignore:Finish", "-y", "flash", "fw.dat")
        expect(r, 0, "update verified, adapter not back")
        m = re.search(r"did not come back within (?:the )?([0-9.]+) s", r.out + r.err)
        check(m, f"no restart message: {r!r}")
        check(float(m.group(1)) <= r.seconds, f"claims {m.group(1)} s in a run of {r.seconds:.1f} s")
        doc = parse_json(run("--json", "--simulate=fault=ignore:Finish", "-y", "flash", "fw.dat"))
        after = doc["afterRestart"]
        check(after["returned"] is False and 0 <= after.get("waitedMs", -1) < 1000, f"{after}")


# --- the program's surroundings: signals, closed pipes, the files the user named -----

def start(*args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw):
    """The tool running in the background (POSIX cases: they signal it). A trace of an
    earlier run is removed first, so await_trace sees this run's."""
    if "--trace" in args and os.path.exists(args[args.index("--trace") + 1]):
        os.remove(args[args.index("--trace") + 1])
    return subprocess.Popen(EMULATOR + [TOOL] + list(args), stdin=subprocess.DEVNULL, stdout=stdout,
                            stderr=stderr, env=base_env(), **kw)


def finish(p, timeout=60):
    try:
        out, err = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        raise Failure(f"still running after {timeout} s")
    return Result(p.returncode, (out or b"").decode("utf-8", "replace"), (err or b"").decode("utf-8", "replace"), 0)


def await_trace(path, prefix, count=1, timeout=30):
    """Waits until the trace holds count W lines starting with prefix (the command's bytes)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(path, encoding="ascii", errors="replace") as f:
                if sum(1 for l in f if l.startswith(prefix)) >= count:
                    return
        except FileNotFoundError:
            pass
        time.sleep(0.02)
    raise Failure(f"the trace never showed {count} x {prefix!r}")


TRACE_RECORD, TRACE_ERASE, TRACE_CHECK = "W 00 05 0b", "W 00 05 04 00", "W 00 05 c3 00"


def check_partial_flash(flash, regions, size):
    """A stopped update left a flash of the right size in which every byte is erased or the file's."""
    check(len(flash) == size, f"flash-out holds {len(flash)} bytes, not {size}")
    covered = bytearray(len(flash))
    complete = True
    for address, data in regions:
        got = flash[address:address + len(data)]
        bad = [i for i in range(len(data)) if got[i] not in (data[i], 0xFF)]
        check(not bad, f"flash at 0x{address + bad[0]:x} is neither erased nor the file's" if bad else "")
        complete &= got == data
        covered[address:address + len(data)] = b"\x01" * len(data)
    check(all(covered[i] or flash[i] == 0xFF for i in range(len(flash))), "flash changed outside the written blocks")
    check(not complete, "a stopped update left the whole image written")


@case()
def signals_stop_between_exchanges():
    """SIGHUP (a closed terminal), SIGINT and SIGTERM stop flash at the next safe point:
    exit 1, never "Updated successful!", the trace whole, flash-out written and consistent."""
    import signal
    with Workdir() as w:
        fw = Firmware(s1=4 * 4096, s2=4096)
        w.write("fw.dat", fw.bytes)
        for sig in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
            p = start("--simulate=latency-ms=3,flash-size=0x30000,flash-out=o.bin", "--trace", "t.txt",
                      "-y", "flash", "fw.dat")
            await_trace("t.txt", TRACE_RECORD, 80)  # inside the second block
            p.send_signal(sig)
            r = finish(p)
            expect(r, 1, f"{sig.name} during flash")
            check("Updated successful!" not in r.out, f"{sig.name}: success claimed: {r!r}")
            one_line_error(r, "stopped on request", "partly written")
            codes = commands_written(read_trace("t.txt"))  # every line well formed
            check(SAVE_HEAD not in codes and FINISH not in codes, f"{sig.name}: went on to {codes[-3:]}")
            check_partial_flash(w.read("o.bin"), fw.expected_regions(), 0x30000)


@case()
def stop_acts_within_a_second():
    """Ctrl-C in the middle of a long wait (an erase never acknowledged: 50 reads, 10 s)
    acts within one read, and verify's stop says nothing was written."""
    import signal
    with Workdir() as w:
        w.write("fw.dat", Firmware(s1=2 * 4096, s2=0).bytes)
        p = start("--simulate=fault=nak:Erase@1x*", "--trace", "t.txt", "-y", "flash", "fw.dat")
        await_trace("t.txt", TRACE_ERASE)
        time.sleep(0.5)
        sent = time.monotonic()
        p.send_signal(signal.SIGINT)
        r = finish(p)
        waited = time.monotonic() - sent
        expect(r, 1, "Ctrl-C in the erase wait")
        one_line_error(r, "stopped on request")
        check(waited < 1.0, f"Ctrl-C took {waited:.1f} s to act")

        p = start("--simulate=latency-ms=150", "--trace", "t.txt", "verify", "fw.dat")
        await_trace("t.txt", TRACE_CHECK)
        p.send_signal(signal.SIGINT)
        r = finish(p)
        expect(r, 1, "Ctrl-C during verify")
        line = one_line_error(r, "stopped on request", "writes nothing")
        check("partly written" not in line and "flash again" not in line, f"verify speaks of writing: {line}")


@case()
def closed_pipe_finishes_the_run():
    """`flash -y fw.dat | head -1`: the reader goes away; the update goes on to its end
    (exit 0), the trace and flash-out are whole. Also with stderr on the same pipe."""
    with Workdir() as w:
        fw = Firmware()
        w.write("fw.dat", fw.bytes)
        for merged in (False, True):
            p = start("--simulate=latency-ms=1,flash-out=o.bin", "--trace", "t.txt", "-y", "flash", "fw.dat",
                      stderr=subprocess.STDOUT if merged else subprocess.PIPE)
            first = p.stdout.readline()
            p.stdout.close()  # as head -1 does
            try:
                p.wait(timeout=60)
            except subprocess.TimeoutExpired:
                p.kill()
                raise Failure("the tool did not end after its reader went away")
            err = b"" if merged else p.stderr.read()
            check(p.returncode == 0, f"closed pipe (stderr merged: {merged}): exit {p.returncode}, first line "
                                     f"{first!r}, stderr {err!r}")
            check(err == b"", f"stderr: {err!r}")
            check(commands_written(read_trace("t.txt"))[-1] == FINISH, "the trace does not end with Finish")
            check_flash(w.read("o.bin"), fw.expected_regions())


@case()
def trace_never_destroys_a_file():
    """--trace naming a file the run reads or writes is refused before anything is
    opened; inspect does not touch the trace; an empty or unwritable trace is exit 2."""
    with Workdir() as w:
        w.write("fw.dat", Firmware().bytes)
        os.link("fw.dat", "hard.dat")
        w.write("in.bin", b"\x11" * 4096)
        w.write("out.bin", b"\x22" * 4096)
        table = [
            (["--trace", "fw.dat", "-y", "flash", "fw.dat"], "fw.dat"),
            (["--trace", "./fw.dat", "verify", "fw.dat"], "fw.dat"),
            (["--trace", "hard.dat", "-y", "flash", "fw.dat"], "fw.dat"),
            (["--simulate=flash-in=in.bin", "--trace", "in.bin", "info"], "in.bin"),
            (["--simulate=flash-out=out.bin", "--trace", "./out.bin", "info"], "out.bin"),
            (["--simulate=flash-out=new.bin", "--trace", "new.bin", "info"], "new.bin"),
        ]
        for args, victim in table:
            before = w.read(victim) if os.path.exists(victim) else None
            r = run("--simulate", *args) if not args[0].startswith("--simulate") else run(*args)
            expect(r, 2, " ".join(args))
            one_line_error(r, "--trace")
            after = w.read(victim) if os.path.exists(victim) else None
            check(after == before, f"{' '.join(args)}: {victim} changed")
        for trace in ("t.txt", "fw.dat"):
            r = run("--trace", trace, "inspect", "fw.dat")
            expect(r, 0, f"inspect --trace {trace}")
        check(not os.path.exists("t.txt"), "inspect created its trace file")
        check(w.read("fw.dat") == Firmware().bytes, "inspect --trace fw.dat changed the file")
        for trace in ("", "/dev/full"):
            r = run("--simulate", "--trace", trace, "info")
            expect(r, 2, f"--trace {trace!r}")
            one_line_error(r, "trace")


@case()
def lost_output_is_not_success():
    """stdout on a full disk, a trace file that stops being written during the run:
    a warning and exit 9 (output-failed) instead of 0; a failure keeps its own code."""
    import resource
    import signal
    with Workdir() as w:
        w.write("fw.dat", Firmware().bytes)
        for args in (["--simulate", "list"], ["--json", "--simulate", "list"]):
            with open("/dev/full", "wb") as full:
                p = subprocess.run(EMULATOR + [TOOL] + args, stdout=full, stderr=subprocess.PIPE, env=base_env())
            check(p.returncode == EXIT["output-failed"], f"{args} >/dev/full: exit {p.returncode}")
            check(b"standard output" in p.stderr, f"{args}: nothing said: {p.stderr!r}")

        def small_files():
            # The trace may grow to 4000 bytes; a write past that fails (EFBIG).
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4000, 4000))

        for json_mode in (False, True):
            args = ["--simulate", "--trace", "t.txt", "-y", "flash", "fw.dat"]
            if json_mode:
                args.insert(0, "--json")
            p = subprocess.run(EMULATOR + [TOOL] + args, capture_output=True, env=base_env(), preexec_fn=small_files)
            r = Result(p.returncode, p.stdout.decode(), p.stderr.decode(), 0)
            expect(r, EXIT["output-failed"], f"trace cut short (json: {json_mode})")
            if json_mode:
                doc = parse_json(r)
                check(doc["ending"] == "Success" and any("t.txt" in x for x in doc["warnings"]), f"{doc}")
            else:
                check("Updated successful!" in r.out, f"{r!r}")
                one_line_error(r, "t.txt", "incomplete")
        # A failed update keeps exit 1 (its own code) when the trace is lost too.
        p = subprocess.run(EMULATOR + [TOOL, "--simulate=fault=corrupt:WriteRecord@3", "--trace", "t.txt", "-y",
                                       "flash", "fw.dat"], capture_output=True, env=base_env(), preexec_fn=small_files)
        check(p.returncode == 1 and b"incomplete" in p.stderr, f"failed update: exit {p.returncode} {p.stderr!r}")


@case()
def simulator_files_are_safe():
    """flash-out: a directory, device or FIFO is refused before the first report, a
    symlink is written through and stays a link, concurrent runs never mix; flash-in:
    a directory, /dev/zero or a FIFO is refused at once."""
    with Workdir() as w:
        fw = Firmware()
        w.write("fw.dat", fw.bytes)
        os.mkdir("dir")
        os.mkfifo("fifo")
        for target in ("dir", "/dev/null", "fifo"):
            r = run(f"--simulate=flash-out={target}", "-y", "flash", "fw.dat", timeout=20)
            expect(r, 2, f"flash-out={target}")
            one_line_error(r, "'flash-out'", target)
            check(r.out == "", f"flash-out={target}: the run started: {r!r}")
        check(os.path.isdir("dir") and stat_is_fifo("fifo"), "flash-out replaced a directory or FIFO")
        for source in ("dir", "/dev/zero", "fifo"):
            try:
                r = run(f"--simulate=flash-in={source}", "list", timeout=10)
            except subprocess.TimeoutExpired:
                raise Failure(f"flash-in={source} did not return")
            expect(r, 2, f"flash-in={source}")
            one_line_error(r, "'flash-in'", source)

        os.symlink("real.bin", "link.bin")  # dangling: real.bin is made
        for _ in range(2):  # then an existing target
            expect(run("--simulate=flash-out=link.bin", "-y", "flash", "fw.dat"), 0, "flash-out through a symlink")
            check(os.path.islink("link.bin") and os.readlink("link.bin") == "real.bin", "the symlink was replaced")
            check_flash(w.read("real.bin"), fw.expected_regions())

        # Several runs at once writing one flash-out: each writes its own temporary file,
        # so every run succeeds and the file is one run's whole flash.
        size = 16 << 20
        images = []
        for i in range(4):
            w.write(f"in{i}.bin", bytes([0x10 + i]) * 4096)
            images.append(bytes([0x10 + i]) * 4096 + b"\xff" * (size - 4096))
        for round_ in range(3):
            ps = [start(f"--simulate=flash-size={size},flash-in=in{i}.bin,flash-out=shared.bin", "info")
                  for i in range(4)]
            results = [finish(p) for p in ps]
            for r in results:
                expect(r, 0, f"concurrent flash-out, round {round_}")
            check(w.read("shared.bin") in images, "the shared flash-out mixes runs")
        left = [n for n in os.listdir(".") if n.startswith("shared.bin") and n != "shared.bin"]
        check(not left, f"temporary files left: {left}")


@case()
def one_program_per_adapter():
    """While flash holds the adapter (lock-path stands for its node), a second flash, an
    info and a verify exit 8 before writing a report, naming the holder; list is never
    refused; the first run succeeds. A holder killed with SIGKILL frees the adapter."""
    with Workdir() as w:
        fw = Firmware(s1=4 * 4096, s2=4096)
        w.write("fw.dat", fw.bytes)
        w.write("node", b"")
        keys = "--simulate=lock-path=node,latency-ms=3,flash-size=0x30000"
        p = start(f"{keys},flash-out=o.bin", "--trace", "t1.txt", "-y", "flash", "fw.dat")
        await_trace("t1.txt", TRACE_RECORD, 20)
        for args in (["-y", "flash", "fw.dat"], ["info"], ["verify", "fw.dat"]):
            what = " ".join(args)
            r = run(keys, "--trace", "t2.txt", *args)
            expect(r, 8, f"{what} while flash runs")
            one_line_error(r, "another program (korbex-update, pid {})".format(p.pid), "is updating this adapter")
            check(read_trace("t2.txt") == [], f"{what}: the refused run wrote reports")
        doc = parse_json(run("--json", keys, "info"))
        check(doc["exitName"] == "busy" and "another program" in doc["error"]["message"], f"{doc}")
        expect(run(keys, "list"), 0, "list while flash runs")
        expect(finish(p), 0, "the run that holds the adapter")
        check_flash(w.read("o.bin"), fw.expected_regions())

        p = start(keys, "--trace", "t1.txt", "-y", "flash", "fw.dat")
        await_trace("t1.txt", TRACE_RECORD, 20)
        p.kill()
        p.wait()
        expect(run(keys, "info"), 0, "info after the holder was killed with SIGKILL")


def stat_is_fifo(path):
    import stat
    return stat.S_ISFIFO(os.lstat(path).st_mode)


@case(wine=True)
def small_messages_and_shapes():
    """make-demo-firmware says why it cannot write; --sizes and --wait name the bad
    value; --json --version/--help are JSON; the help columns line up; info's FlashLoader
    note is one parenthesis; "file" is {"path": …} in every command's JSON."""
    with Workdir() as w:
        os.mkdir("dir")
        for target, why in [("dir", "directory"), (os.path.join("missing", "x.dat"), "missing")]:
            r = run("make-demo-firmware", target)
            expect(r, 2, f"make-demo-firmware {target}")
            line = one_line_error(r, target)
            check("write failed" not in line and why in line.lower(), f"make-demo-firmware {target}: {line}")
        for args, needles in [(["make-demo-firmware", "x.dat", "--sizes", "abc"], ["--sizes", "'abc'", "S1,S2,S3"]),
                              (["make-demo-firmware", "x.dat", "--sizes", "1,2"], ["--sizes", "'1,2'"]),
                              (["--simulate", "info", "--wait=abc"], ["--wait", "'abc'", "seconds"]),
                              (["--simulate", "info", "--wait=0"], ["--wait", "'0'", "1 to 86400"])]:
            r = run(*args)
            expect(r, 2, " ".join(args))
            one_line_error(r, *needles)

        doc = parse_json(run("--json", "--version"))
        check(re.fullmatch(r"\d+\.\d+", doc["version"]) and doc["ok"], f"--json --version: {doc}")
        doc = parse_json(run("--json", "--help"))
        check("--simulate" in doc["help"] and doc["ok"], f"--json --help: {doc}")
        doc = parse_json(run("--json", "flash", "--help"))
        check("FILE" in doc["help"], f"--json flash --help: {doc}")

        # Every option's description starts in one column.
        r = run("--help")
        options = r.out.split("Options:")[1].split("Subcommands:")[0]
        rows = [l for l in options.splitlines() if l.strip()]
        columns = set()
        for row in rows:
            m = re.match(r"^(  \S.*?\S) {2,}\S", row)
            check(m, f"--help row without a description column: {row!r}")
            columns.add(m.end() - 1)
        check(len(columns) == 1, f"--help descriptions start in columns {sorted(columns)}:\n{options}")

        r = run("--simulate", "-q", "info")
        expect(r, 0, "FlashLoader info")
        note = r.out.strip().split("  ", 1)[1]
        check(note.count("(") == 1 and note.endswith(")") and "not reported" in note, f"info note: {note!r}")

        w.write("fw.dat", Firmware().bytes)
        for args in (["inspect", "fw.dat"], ["--simulate", "verify", "fw.dat"], ["--simulate", "-y", "flash", "fw.dat"],
                     ["make-demo-firmware", "fw.dat"]):
            doc = parse_json(run("--json", *args))
            check(doc["file"]["path"] == "fw.dat", f"{args[-2]}: file is {doc['file']!r}")


# --- every adapter at once (--all) -----------------------------------------------------

# Three simulated adapters of both families, each with its own flash-out.
ALL_THREE = [("product=0x2D93", "a.bin"), ("product=0x6E41,version=1.2", "b.bin"), ("product=0x2D93", "c.bin")]


def simulate_all(adapters, extra=""):
    return [f"--simulate={keys},flash-size=0x40000,flash-out={out}{extra}" for keys, out in adapters]


@case()
def flash_all_adapters():
    """flash --all: three simulated adapters updated at once, each flash equal to the
    file, one object per adapter in the JSON, lines prefixed with the adapter's path
    and a summary row for each in the text output."""
    with Workdir() as w:
        fw = Firmware()
        w.write("fw.dat", fw.bytes)
        r = run(*simulate_all(ALL_THREE), "--json", "-y", "flash", "--all", "fw.dat")
        expect(r, 0, "flash --all, JSON")
        doc = parse_json(r)
        paths = [a["path"] for a in doc["adapters"]]
        check(paths == ["simulated:1", "simulated:2", "simulated:3"], f"{paths}")
        for a in doc["adapters"]:
            check(a["exitCode"] == 0 and a["ending"] == "Success" and a["blocks"]["written"] == 5, f"{a}")
            check(a["afterRestart"]["returned"] is True and a["adapter"]["serial"] == f"SIM-000{paths.index(a['path']) + 1}",
                  f"{a}")
        check(doc["adapters"][1]["version"]["caption"] == "Korbex Update v2.16 (Device: v1.2)", f"{doc['adapters'][1]}")
        for _, out in ALL_THREE:
            check_flash(w.read(out), fw.expected_regions())
            os.unlink(out)

        r = run(*simulate_all(ALL_THREE), "-y", "flash", "--all", "fw.dat")
        expect(r, 0, "flash --all, text")
        for i in (1, 2, 3):
            check(f"simulated:{i}: Updated successful!" in r.out, f"no prefixed success line for {i}: {r!r}")
            check(re.search(rf"^simulated:{i}: progress 100% ", r.out, re.M), f"no prefixed progress for {i}: {r!r}")
            check(re.search(rf"^simulated:{i}\s+\S+\s+ok\s+5 written, 0 skipped\s+\d+\.\d$", r.out, re.M),
                  f"no summary row for {i}: {r!r}")
        # One confirmation lists them all.
        check(r.out.count("firmware V2.16") == 3 and r.out.count("confirmed by -y") == 1, f"{r!r}")
        for _, out in ALL_THREE:
            check_flash(w.read(out), fw.expected_regions())

        # verify --all agrees, adapter by adapter.
        r = run(*[s.replace("flash-out", "flash-in=" + out + ",flash-out") for s, (_, out) in
                  zip(simulate_all(ALL_THREE), ALL_THREE)], "--json", "verify", "--all", "fw.dat")
        expect(r, 0, "verify --all after the update")
        check([a["matches"] for a in parse_json(r)["adapters"]] == [True] * 3, f"{r!r}")


@case()
def flash_all_one_fails_alone():
    """One adapter failing (a corrupt block, leaving the bus, a silent loader) fails
    alone: the others are written whole, and the exit code is the worst of the runs
    (failed before loader-silent before ok)."""
    fw = Firmware(s1=3 * 4096, s2=100)
    # The fault of each adapter (None: none) and the run's exit code.
    table = [
        ([None, "corrupt:WriteRecord@3", None], 1),
        (["disconnect:WriteRecord@30", None, None], 1),
        ([None, None, "ignore:QueryLoader@1x*"], 7),
        (["ignore:QueryLoader@1x*", None, "corrupt:WriteRecord@3"], 1),
    ]
    with Workdir() as w:
        w.write("fw.dat", fw.bytes)
        for faults, code in table:
            args = [f"--simulate=flash-size=0x40000,flash-out=o{i}.bin" + (f",fault={f}" if f else "")
                    for i, f in enumerate(faults)]
            r = run(*args, "--json", "-y", "flash", "--all", "fw.dat")
            expect(r, code, f"faults {faults}")
            doc = parse_json(r)
            for i, (f, a) in enumerate(zip(faults, doc["adapters"])):
                flash = w.read(f"o{i}.bin")
                if f is None:
                    check(a["exitCode"] == 0 and a["ending"] == "Success", f"{faults}: adapter {i}: {a}")
                    check_flash(flash, fw.expected_regions())
                else:
                    want = 7 if f.startswith("ignore") else 1
                    check(a["exitCode"] == want and "error" in a, f"{faults}: adapter {i}: {a}")
                    check(any(flash[x:x + len(d)] != d for x, d in fw.expected_regions()),
                          f"{faults}: adapter {i}: flash equals the file")
            check(doc["error"]["kind"] == doc["exitName"], f"{doc.get('error')}")


@case()
def all_adapters_usage_and_confirmation():
    """--all excludes --device and --trace; without -y and without a terminal nothing is
    written to any adapter (exit 5, every adapter cancelled)."""
    with Workdir() as w:
        fw = Firmware()
        w.write("fw.dat", fw.bytes)
        sims = simulate_all(ALL_THREE)
        for extra, needle in [(["--device", "simulated:1"], "--device"), (["--trace", "t.txt"], "--trace")]:
            r = run(*sims, *extra, "-y", "flash", "--all", "fw.dat")
            expect(r, 2, f"--all with {extra[0]}")
            one_line_error(r, "--all", needle)
        r = run(*sims, "--json", "flash", "--all", "fw.dat")
        expect(r, 5, "no -y, no terminal")
        doc = parse_json(r)
        check([a["exitName"] for a in doc["adapters"]] == ["cancelled"] * 3, f"{doc['adapters']}")
        check(all(w.read(out) == b"\xff" * 0x40000 for _, out in ALL_THREE), "written without a confirmation")
        # Several adapters without --all still need --device.
        expect(run(*sims, "-y", "flash", "fw.dat"), 2, "several simulated adapters without --all")


@case()
def flash_all_runs_concurrently():
    """Three adapters take about the time of one: each has its own thread (the reply
    latency dominates here)."""
    with Workdir() as w:
        w.write("fw.dat", Firmware(s1=6 * 4096, s2=4096).bytes)
        adapters = [("product=0x2D93", f"o{i}.bin") for i in range(3)]
        one = run(*simulate_all(adapters[:1], ",latency-ms=2"), "-y", "flash", "--all", "fw.dat", timeout=180)
        expect(one, 0, "one adapter")
        three = run(*simulate_all(adapters, ",latency-ms=2"), "-y", "flash", "--all", "fw.dat", timeout=180)
        expect(three, 0, "three adapters")
        ratio = three.seconds / one.seconds
        check(ratio < 2, f"three adapters took {three.seconds:.1f} s, one {one.seconds:.1f} s (ratio {ratio:.2f})")


@case()
def flash_all_on_a_terminal():
    """On a terminal one prompt answers for every adapter, and the three progress lines
    are redrawn together (the cursor goes back up over all three); answered no, no
    adapter is written."""
    with Workdir() as w:
        fw = Firmware()
        w.write("fw.dat", fw.bytes)
        sims = simulate_all(ALL_THREE, ",latency-ms=1")
        rc, out = run_on_terminal([*sims, "flash", "--all", "fw.dat"], base_env(TERM="xterm"), answer=b"n\n")
        check(rc == 5 and out.count("[y/N]") == 1, f"answered no: exit {rc}\n{out}")
        check(all(w.read(o) == b"\xff" * 0x40000 for _, o in ALL_THREE), "written though answered no")
        rc, out = run_on_terminal([*sims, "flash", "--all", "fw.dat"], base_env(TERM="xterm"), answer=b"y\n")
        check(rc == 0 and out.count("[y/N]") == 1, f"answered yes: exit {rc}\n{out}")
        check("\x1b[3A" in out, f"the progress lines are not redrawn together: {out!r}")
        for i in (1, 2, 3):
            check(re.search(rf"simulated:{i}\s+\[#+\] 100% ", out), f"no full bar for simulated:{i}: {out!r}")
        for _, o in ALL_THREE:
            check_flash(w.read(o), fw.expected_regions())


def main():
    global TOOL, EMULATOR
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool")
    ap.add_argument("--emulator", default="")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--wine", action="store_true")
    ap.add_argument("case", nargs="?")
    a = ap.parse_args()
    if a.list:
        print(";".join(sorted(WINE_CASES if a.wine else CASES)))
        return 0
    TOOL = os.path.abspath(a.tool)
    EMULATOR = [a.emulator] if a.emulator else []
    if a.case not in CASES:
        print(f"unknown case {a.case!r}", file=sys.stderr)
        return 2
    try:
        CASES[a.case]()
    except Failure as e:
        print(f"FAIL {a.case}: {e}", file=sys.stderr)
        return 1
    print(f"ok {a.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
