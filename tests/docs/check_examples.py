#!/usr/bin/python3
"""Runs the examples of README.md and docs/*.md as written (the address aside),
against a simulated terminal and tavrod on 127.0.0.1, and checks what they
print. A block that is neither run nor skipped for a stated reason fails, so
no new example goes unchecked.  check_examples.py SOURCE_DIR BUILD_DIR"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time

SKIPPED = [
    (r"^scripts/(run|test)\.sh", "one of the two commands themselves"),
    (r"sudo |apt-get |systemctl |cpack ", "needs root or builds packages"),
    (r"^cmake -S \. -B build|^cmake --install build", "the whole build"),
    (r"^\$ tavro_cli --map COM1=/dev/ttyUSB0|^tavrod (--map|--site)", "a terminal on /dev/ttyUSB0 (or PostgreSQL)"),
    (r"^tavrod token ", "changes the tokens of the installed store (its own suite runs these commands)"),
    (r"^tavro_popup ", "a window program that stays open (tst_popup_e2e runs it against tavrod)"),
    (r"^# configuration\.yaml", "Home Assistant's configuration, not a command (tst_mqtt checks the entities)"),
]


def blocks(path):
    """The indented blocks outside fenced code, with their first line number."""
    out, fenced = [], False
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        fenced ^= line.startswith("```")
        indented = not fenced and line.startswith("    ")
        if indented and (not out or not out[-1][2]):
            out.append([number, [], False])
        if indented or (not line.strip() and out and out[-1][2]):
            out[-1][1].append(line[4:].rstrip("\n"))
        if out:
            out[-1][2] = indented or (not line.strip() and out[-1][2])
    return [(start, "\n".join(lines).strip("\n")) for start, lines, _ in out]


def json_values(text):
    """Every JSON value in text (curl ends its bodies without a newline)."""
    decoder, values, at, text = json.JSONDecoder(), [], 0, text.strip()
    while at < len(text):
        value, at = decoder.raw_decode(text, at)
        values.append(value)
        while at < len(text) and text[at].isspace():
            at += 1
    return values


def start_sim(build, link, *extra):
    sim = subprocess.Popen([os.path.join(build, "tools/tavro_sim/tavro_sim"), "--link", link, *extra],
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    sim.stdout.readline()
    return sim


class Rig:
    def __init__(self, source, build, tmp):
        self.source, self.build, self.tmp, self.prefix = source, build, tmp, None
        home = os.path.join(tmp, "home")
        self.env = dict(os.environ, HOME=home, TAVRO_SIM_CONTROL=os.path.join(tmp, "com1.ctl"))
        self.env.pop("XDG_DATA_HOME", None)
        # The data paths of a user other than root (root's are /var/lib/tavro).
        data = os.path.join(home, ".local", "share", "tavro")
        self.processes = [start_sim(build, os.path.join(tmp, "com1"), "--control", self.env["TAVRO_SIM_CONTROL"]),
                          start_sim(build, os.path.join(tmp, "com1-cli"), "--quiet")]
        tavrod = subprocess.Popen([os.path.join(build, "service/tavrod"), "--map", "COM1=" + os.path.join(tmp, "com1"),
                                   "--listen", "127.0.0.1:0", "--db", os.path.join(data, "tavrod.db"),
                                   "--token-file", os.path.join(data, "token")],
                                  env=self.env, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.processes.append(tavrod)
        for line in tavrod.stderr:
            found = re.search(r"listening on http://127\.0\.0\.1:(\d+)", line)
            if found:
                self.port = found.group(1)
                break

    def stop(self):
        for process in self.processes:
            process.terminate()
            process.wait(10)

    def shell(self, script, timeout):
        return subprocess.run(["bash", "-c", "set -eo pipefail\n" + script], env=self.env, capture_output=True,
                              text=True, timeout=timeout, cwd=self.source)

    def install(self):
        if self.prefix is None:
            self.prefix = os.path.join(self.tmp, "prefix")
            for component in ("runtime", "dev"):
                subprocess.run(["cmake", "--install", self.build, "--prefix", self.prefix, "--component", component],
                               check=True, stdout=subprocess.DEVNULL)
            self.env.update(CMAKE_PREFIX_PATH=self.prefix,
                            # The multiarch folder only for a build configured for /usr.
                            PKG_CONFIG_PATH=os.pathsep.join(os.path.join(self.prefix, folder, "pkgconfig")
                                                            for folder in ("lib/x86_64-linux-gnu", "lib")))


def run_transcript(rig, text):
    """A tavro_cli transcript: the calls are sent, and each answer shown right after a call is what comes back."""
    lines = [json.loads(line) for line in text.splitlines() if line.strip()]
    if not any("call" in line for line in lines):
        return "skipped: an answer, shown with its call above"
    cli = subprocess.run([os.path.join(rig.build, "tools/tavro_cli/tavro_cli"), "--no-debug", "--map",
                          "COM1=" + os.path.join(rig.tmp, "com1-cli"), "--open", "COM1"],
                         input="".join(json.dumps(line) + "\n" for line in lines if "call" in line),
                         capture_output=True, text=True, timeout=60)
    answers = [a for a in map(json.loads, cli.stdout.splitlines()) if a.get("result") not in (None, "OpenTavro")]
    expected = [after for line, after in zip(lines, lines[1:]) if "call" in line and "result" in after]
    assert answers[:len(expected)] == expected, (answers, expected)
    return "ran with tavro_cli, %d answers as shown" % len(expected)


def run_block(rig, text):
    for pattern, reason in SKIPPED:
        if re.search(pattern, text):
            return "skipped: " + reason
    script = text.replace("127.0.0.1:8080", "127.0.0.1:" + rig.port)
    if not text.startswith("TOKEN="):
        script = "TOKEN=$(cat ~/.local/share/tavro/token)\n" + script
    if text.startswith("{"):
        try:
            return run_transcript(rig, text)
        except json.JSONDecodeError:
            # A value shown whole over several lines, parts elided as "...".
            json_values(re.sub(r",\s*\.\.\.", "", text))
            return "skipped: the shape of a JSON value, not a transcript"
    if "examples/caller_popup" in text:
        rig.install()
        out = os.path.join(rig.tmp, "caller_popup")
        result = rig.shell(script.replace("/tmp/caller_popup", out).replace("-o caller_popup", "-o " + out + "-gcc"),
                           180)
        assert result.returncode == 0, result.stdout + result.stderr
        return "built"
    if text.startswith("python3 -c") and "/api/stream" in text:
        try:
            output = rig.shell(script.replace("python3 ", "/usr/bin/python3 ", 1), 8).stdout
        except subprocess.TimeoutExpired as expired:  # it streams until stopped
            output = expired.stdout.decode() if isinstance(expired.stdout, bytes) else expired.stdout or ""
        events = [json.loads(line) for line in output.splitlines() if line.startswith("{")]
        assert any(e.get("event") == "ReceiveCall" for e in events), output
        return "streamed %d events" % len(events)
    if text.startswith(("TOKEN=", "curl ", "scripts/sim.sh")):
        result = rig.shell(script, 20)
        assert result.returncode == 0, result.stderr
        if "curl" in text:
            values = json_values(result.stdout)
            assert values and all("error" not in v for v in values), result.stdout
            assert "/api/calls" not in text or "홍길동" in result.stdout, "the call made before is missing"
            assert "/api/call\n" not in text + "\n" or values[-1].get("value") is True, values
        time.sleep(0.5)  # a call made through the simulator reaches the store
        return "ran"
    raise AssertionError("an example this check does not know how to run; teach it or say why it is skipped")


def main():
    source, build = sys.argv[1], sys.argv[2]
    pages = [os.path.join(source, "README.md")] + sorted(
        os.path.join(source, "docs", name) for name in os.listdir(os.path.join(source, "docs")) if name.endswith(".md"))
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        rig = Rig(source, build, tmp)
        try:
            for page in pages:
                for line, text in blocks(page):
                    name = "%s:%d" % (os.path.relpath(page, source), line)
                    try:
                        print("%s: %s" % (name, run_block(rig, text)))
                    except (AssertionError, subprocess.SubprocessError, ValueError) as error:
                        failures += 1
                        print("%s: FAILED: %s\n%s" % (name, error, text))
        finally:
            rig.stop()
    print("%d example blocks failed" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
