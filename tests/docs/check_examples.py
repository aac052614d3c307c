#!/usr/bin/python3
"""Runs the examples of README.md and docs/*.md as a newcomer would, against a
simulated terminal and tavrod on 127.0.0.1, and checks what they print.

Every indented example block is either run here or skipped for a stated
reason (root, hardware, a PostgreSQL server, the whole build); a block that
fits neither fails the check, so a new example cannot go unchecked.

check_examples.py SOURCE_DIR BUILD_DIR
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time

SKIPPED = [
    (re.compile(r"^scripts/(run|test)\.sh"), "one of the two commands themselves"),
    (re.compile(r"sudo |apt-get |systemctl |cpack "), "needs root or builds packages"),
    (re.compile(r"^cmake -S \. -B build|^cmake --install build"), "the whole build"),
    (re.compile(r"^\$ tavro_cli --map COM1=/dev/ttyUSB0"), "a terminal on /dev/ttyUSB0"),
    (re.compile(r"^tavrod (--map|--site)"), "a terminal on /dev/ttyUSB0 (and a PostgreSQL server)"),
]
DEADLINE = time.monotonic() + 240


def blocks(path):
    """The indented blocks outside fenced code, with their first line number."""
    out, current, start, fenced = [], [], 0, False
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        if line.startswith("```"):
            fenced = not fenced
        if not fenced and line.startswith("    ") and (current or not line.strip().startswith("-")):
            if not current:
                start = number
            current.append(line[4:].rstrip("\n"))
        elif current and not line.strip() and not fenced:
            current.append("")
        else:
            if current:
                out.append((start, "\n".join(current).strip("\n")))
            current = []
    if current:
        out.append((start, "\n".join(current).strip("\n")))
    return out


def json_values(text):
    """Every JSON value in text (curl ends its bodies without a newline)."""
    decoder, values, at = json.JSONDecoder(), [], 0
    text = text.strip()
    while at < len(text):
        value, end = decoder.raw_decode(text, at)
        values.append(value)
        at = end
        while at < len(text) and text[at].isspace():
            at += 1
    return values


class Rig:
    def __init__(self, source, build, tmp):
        self.source, self.build, self.tmp = source, build, tmp
        self.env = dict(os.environ, HOME=os.path.join(tmp, "home"), TAVRO_SIM_CONTROL=os.path.join(tmp, "com1.ctl"))
        self.env.pop("XDG_DATA_HOME", None)
        os.makedirs(self.env["HOME"])
        link = os.path.join(tmp, "com1")
        self.sim = subprocess.Popen([os.path.join(build, "tools/tavro_sim/tavro_sim"), "--link", link,
                                     "--control", self.env["TAVRO_SIM_CONTROL"]],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        self.sim.stdout.readline()
        # The paths a user other than root gets by default (root's are /var/lib/tavro).
        data = os.path.join(self.env["HOME"], ".local", "share", "tavro")
        self.tavrod = subprocess.Popen([os.path.join(build, "service/tavrod"), "--map", "COM1=" + link,
                                        "--listen", "127.0.0.1:0", "--db", os.path.join(data, "tavrod.db"),
                                        "--token-file", os.path.join(data, "token")],
                                       env=self.env, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.port = None
        while self.port is None and time.monotonic() < DEADLINE:
            line = self.tavrod.stderr.readline()
            if not line:
                raise SystemExit("tavrod did not start")
            found = re.search(r"listening on http://127\.0\.0\.1:(\d+)", line)
            if found:
                self.port = found.group(1)
        self.prefix = None

    def stop(self):
        for process in (self.tavrod, self.sim):
            process.terminate()
            process.wait(10)

    def shell(self, script, timeout, cwd=None):
        return subprocess.run(["bash", "-c", "set -eo pipefail\n" + script], cwd=cwd or self.source, env=self.env,
                              capture_output=True, text=True, timeout=timeout)

    def installed(self):
        if self.prefix is None:
            self.prefix = os.path.join(self.tmp, "prefix")
            for component in ("runtime", "dev"):
                subprocess.run(["cmake", "--install", self.build, "--prefix", self.prefix, "--component", component],
                               check=True, stdout=subprocess.DEVNULL)
            self.env["CMAKE_PREFIX_PATH"] = self.prefix
            self.env["PKG_CONFIG_PATH"] = os.path.join(self.prefix, "lib", "x86_64-linux-gnu", "pkgconfig")
        return self.prefix


def check_api(rig, text, output):
    values = json_values(output)
    assert values, "no answer"
    for value in values:
        assert "error" not in value, value
    if "/api/calls" in text:
        assert any("홍길동" in json.dumps(v, ensure_ascii=False) for v in values), "the call made before is missing"
    if "/api/call\n" in text + "\n":
        assert any(v.get("result") == "SendCmd" and v.get("value") is True for v in values), values


def run_transcript(rig, text):
    """A tavro_cli transcript: each call is sent, and the answer line after it is what comes back."""
    lines = [json.loads(line) for line in text.splitlines() if line.strip()]
    calls = [line for line in lines if "call" in line]
    cli = subprocess.run([os.path.join(rig.build, "tools/tavro_cli/tavro_cli"), "--no-debug", "--map",
                          "COM1=" + os.path.join(rig.tmp, "com1-cli"), "--open", "COM1"],
                         input="".join(json.dumps(c, ensure_ascii=False) + "\n" for c in calls),
                         capture_output=True, text=True, timeout=60)
    answers = [a for a in map(json.loads, cli.stdout.splitlines()) if "result" in a and a["result"] != "OpenTavro"]
    expected = [lines[i + 1] for i, line in enumerate(lines[:-1]) if "call" in line and "result" in lines[i + 1]]
    assert answers[:len(expected)] == expected, (answers, expected)
    return len(expected)


def run_block(rig, path, text):
    for pattern, reason in SKIPPED:
        if pattern.search(text):
            return "skipped: " + reason
    runnable = text.replace("127.0.0.1:8080", "127.0.0.1:" + rig.port)
    if text.startswith("{"):
        if not any("call" in json.loads(line) for line in text.splitlines() if line.strip()):
            return "skipped: an answer, shown with its call above"
        return "ran with tavro_cli, %d answers as shown" % run_transcript(rig, text)
    if text.startswith("scripts/sim.sh"):
        result = rig.shell(runnable, 10)
        assert result.returncode == 0, result.stderr
        time.sleep(0.5)
        return "ran"
    if "examples/caller_popup" in text:
        rig.installed()
        out = os.path.join(rig.tmp, "caller_popup")
        runnable = runnable.replace("/tmp/caller_popup", out).replace("-o caller_popup", "-o " + out + "-gcc")
        result = rig.shell(runnable, 180)
        assert result.returncode == 0, result.stdout + result.stderr
        return "built"
    if text.startswith("python3 -c") and "/api/stream" in text:
        script = "TOKEN=$(cat ~/.local/share/tavro/token)\n" + runnable.replace("python3 ", "/usr/bin/python3 ", 1)
        try:
            result = rig.shell(script, 4)
            output = result.stdout + result.stderr
        except subprocess.TimeoutExpired as expired:
            output = (expired.stdout or b"").decode() if isinstance(expired.stdout, bytes) else (expired.stdout or "")
        events = [json.loads(line) for line in output.splitlines() if line.startswith("{")]
        assert any(e.get("event") == "ReceiveCall" for e in events), output
        return "streamed %d events" % len(events)
    if text.startswith(("TOKEN=", "curl ")):
        script = runnable if text.startswith("TOKEN=") else "TOKEN=$(cat ~/.local/share/tavro/token)\n" + runnable
        result = rig.shell(script, 20)
        assert result.returncode == 0, result.stderr
        check_api(rig, text, result.stdout)
        return "ran"
    raise AssertionError("an example this check does not know how to run; teach it or say why it is skipped")


def main():
    source, build = sys.argv[1], sys.argv[2]
    pages = [os.path.join(source, "README.md")] + sorted(
        os.path.join(source, "docs", name) for name in os.listdir(os.path.join(source, "docs")) if name.endswith(".md"))
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        # tavro_cli's transcripts talk to a simulator of their own.
        cli_sim = subprocess.Popen([os.path.join(build, "tools/tavro_sim/tavro_sim"), "--link",
                                    os.path.join(tmp, "com1-cli"), "--quiet"],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        cli_sim.stdout.readline()
        rig = Rig(source, build, tmp)
        try:
            for page in pages:
                for line, text in blocks(page):
                    name = "%s:%d" % (os.path.relpath(page, source), line)
                    try:
                        print("%s: %s" % (name, run_block(rig, page, text)))
                    except (AssertionError, subprocess.SubprocessError, ValueError) as error:
                        failures += 1
                        print("%s: FAILED: %s\n%s" % (name, error, text))
        finally:
            rig.stop()
            cli_sim.terminate()
            cli_sim.wait(10)
    print("%d example blocks failed" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
