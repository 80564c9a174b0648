#!/usr/bin/env python3
"""Checks that the docs still say what the code does.

usage: check_docs.py console BRIDGE STANDIN   console lines in the read-mes are the programs' own
       check_docs.py paths                    files, presets and lanes the docs name exist
       check_docs.py python BRIDGE STANDIN    the README's Python snippet prints a snapshot
       check_docs.py commands                 the read-mes start the exes as PowerShell can
       check_docs.py firewall                 firewall paragraphs name what Windows shows

Run from the repository's top folder; each exits non-zero and says why on a
failure. BRIDGE and STANDIN are the built simrelay and xplane-standin.
"""
import fnmatch
import glob
import json
import os
import queue
import re
import socket
import subprocess
import sys
import threading
import time

ADDRESS = "127.0.0.215"  # This check's stand-in; the other suites use other addresses.
READMES = ["README.md", "packaging/README.txt"]
DOCS = ["README.md"] + sorted(glob.glob("docs/*.md"))
GLYPHS = "✓✗→…"
# Where a console line starts: a glyph, or one of the lines without one.
CONSOLE_LINE = re.compile(r"^(?:[" + GLYPHS + r"] |Corvane X-Plane bridge |Press Enter to close\.|usage: simrelay)")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Program:
    """A program running in the background, its output read line by line."""

    def __init__(self, *command):
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, encoding="utf-8")
        self.lines = []
        self.unread = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.unread.put(line.rstrip("\n"))
        self.unread.put(None)

    def wait_for(self, pattern, seconds=15):
        """Reads until a line matches `pattern`; ends the check when none comes."""
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            try:
                line = self.unread.get(timeout=left)
            except queue.Empty:
                break
            if line is None:
                break
            self.lines.append(line)
            if re.search(pattern, line):
                return line
        raise SystemExit(f"no line matching {pattern!r} from {self.process.args}: {self.lines}")

    def finish(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=10)
        while (line := self.unread.get(timeout=10)) is not None:
            self.lines.append(line)
        return self.lines


def run_to_end(*command):
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    return (done.stdout + done.stderr).splitlines()


def live_pair(bridge, standin):
    """The stand-in and a bridge receiving from it: (port, stand-in, bridge)."""
    port = str(free_port())
    feed = Program(standin, ADDRESS)
    feed.wait_for("stand-in on UDP")
    following = Program(bridge, ADDRESS, "--port", port)
    following.wait_for("receiving data")
    return port, feed, following


def lines_printed(bridge, standin):
    """Every console line the bridge and the stand-in print, in the cases that can be made here."""
    lines = run_to_end(bridge, "--help") + run_to_end(bridge, "no-such-host.invalid")
    port, feed, first = live_pair(bridge, standin)
    lines += run_to_end(bridge, ADDRESS, "--port", port)  # A second copy: the port is taken.
    lines += run_to_end(standin, ADDRESS)  # A second stand-in: the UDP port is taken.
    lines += first.finish()  # Ending, it cancels its subscriptions.
    feed.wait_for("stopped serving")
    again = Program(bridge, ADDRESS, "--port", port)
    again.wait_for("receiving data")
    lines += feed.finish()
    again.wait_for("waiting for X-Plane", seconds=20)
    return lines + again.finish()


def shape(line):
    """A line with its numbers (addresses, ports, versions, error codes) made alike."""
    return re.sub(r"\d+(?:[.:]\d+)*|@VERSION@", "#", line)


def pattern_of(shown):
    """A doc's line as a pattern: '…' or '...' after the line's start stands for any text."""
    head, rest = shown[:2], shown[2:]
    parts = re.split(r"…|\.\.\.", shape(rest))
    return re.escape(shape(head)) + ".*".join(re.escape(part) for part in parts)


def lines_shown(path):
    """(line, whole) for each console line a read-me shows: whole lines in code
    blocks or indented, and the start of a line quoted in the text."""
    shown, in_code = [], False
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if line.strip().startswith("```"):
            in_code = not in_code
            continue
        if in_code or line.startswith("  "):
            text = line.strip()
            if CONSOLE_LINE.match(text):
                shown.append((text, True))
                continue
        for quoted in re.findall(r'"([' + GLYPHS + r'] [^"]*)"|`([' + GLYPHS + r'] [^`]*)`', line):
            shown.append((quoted[0] or quoted[1], False))
    return shown


def check_console(bridge, standin):
    printed = [shape(line) for line in lines_printed(bridge, standin)]
    # Fatal lines that cannot be caused here: their fixed start, from the source.
    source = open("src/main.cc", encoding="utf-8").read()
    printed += [shape(start) + "x" for start in re.findall(r'fail_and_pause\("(✗ [^"]*)"', source)]
    bad = []
    for path in READMES:
        for text, whole in lines_shown(path):
            pattern = re.compile(pattern_of(text))
            match = pattern.fullmatch if whole else pattern.match
            if not any(match(line) for line in printed):
                bad.append(f"{path}: {text}")
    for line in bad:
        print(f"not a line the programs print: {line}")
    print("programs' lines:", *sorted(set(printed)), sep="\n  ")
    return not bad


def presets():
    data = json.load(open("CMakePresets.json", encoding="utf-8"))
    return {preset["name"] for kind, items in data.items() if kind.endswith("Presets") for preset in items}


def named_paths(path):
    """Repository paths a doc names: in backticks, and as link targets."""
    text = open(path, encoding="utf-8").read()
    folder = os.path.dirname(path)
    for target in re.findall(r"\]\(([^)#\s]+)", text):
        if not re.match(r"[a-z]+:", target):
            yield os.path.normpath(os.path.join(folder, target))
    for span in re.findall(r"`([^`\n]+)`", text):
        for word in span.split():
            word = word.strip("'\"(),;")
            if word.startswith(("build/", "dist/", "text/")) or os.path.basename(word).startswith("foo"):
                continue  # Build outputs, a media type, a name for any file.
            if re.fullmatch(r"\.?[\w.-]+(?:/[\w.*<>-]*)+", word):
                yield re.sub(r"<[^>]*>", "*", word)
            elif re.fullmatch(r"[\w*-]+\.(?:cc|h|sh|mjs|js|cmake|json|md|in)", word):
                yield "*/" + word


def tracked(pattern, files):
    """Whether a tracked file is `pattern`, matches it, or lies in that folder."""
    pattern = pattern.rstrip("/")
    return any(fnmatch.fnmatch(file, pattern) or file.startswith(pattern + "/") or
               fnmatch.fnmatch("./" + file, pattern) for file in files)


def passes(bad):
    """Prints each failure in BAD; true when there is none."""
    for line in bad:
        print(line)
    return not bad


def check_paths():
    bad = []
    files = subprocess.run(["git", "ls-files"], capture_output=True, text=True, check=True).stdout.split()
    known_presets = presets()
    lanes = set(re.findall(r"^lane (\S+)", open(".ci/run", encoding="utf-8").read(), re.M))
    for path in DOCS:
        for named in named_paths(path):
            if not tracked(named, files):
                bad.append(f"{path}: no {named}")
        text = open(path, encoding="utf-8").read()
        for name in re.findall(r"--preset[ =]([a-z][\w-]*)", text):
            if name not in known_presets:
                bad.append(f"{path}: no preset {name}")
        # Tables whose first column names presets or lanes.
        for kind, rows in re.findall(r"^\| (preset|lane) \|.*\n\|[-| :]+\|\n((?:\|.*\n)+)", text, re.M):
            for name in re.findall(r"^\| `([^`]+)`", rows, re.M):
                known = known_presets if kind == "preset" else lanes
                if name not in known and not os.path.exists(name):
                    bad.append(f"{path}: no {kind} {name}")
    return passes(bad)


def check_python(bridge, standin):
    readme = open("README.md", encoding="utf-8").read()
    snippets = re.findall(r"```python\n(.*?)```", readme, re.S)
    if not snippets:
        print("README.md has no Python snippet")
        return False
    port, feed, bridge_run = live_pair(bridge, standin)
    ok = True
    try:
        for snippet in snippets:
            script = Program(sys.executable, "-c", snippet.replace("49080", port))
            script.wait_for(r"^\{'xp': True, 't': \d+, 'lat'", seconds=20)
            print(f"the snippet printed: {script.finish()[0]}")
    except SystemExit as failure:
        print(failure)
        ok = False
    feed.finish()
    bridge_run.finish()
    return ok


# An exe started by its bare name with an argument or a redirect: PowerShell
# runs nothing from the current folder without a path such as .\ (cmd does,
# so one inside cmd /c "…" is fine). Across a line break too, as in prose.
BARE_COMMAND = re.compile(r"(?<!\.\\)\b(?:simrelay|xplane-standin)\.exe(?:[ \t]+|[ \t]*\n[ \t]*)[\d>-]")
CMD_C = re.compile(r'cmd /c "[^"]*"')


def check_commands():
    bad = []
    for path in READMES:
        # Blanked out, line breaks kept, so that line numbers stay true.
        text = CMD_C.sub(lambda m: re.sub(r".", " ", m[0]), open(path, encoding="utf-8").read())
        for found in BARE_COMMAND.finditer(text):
            line = text.count("\n", 0, found.start()) + 1
            bad.append(f"{path}:{line}: {' '.join(found[0].split())} (write .\\ before it)")
    return passes(bad)


def check_firewall():
    """Every paragraph or list item naming Windows Defender Firewall quotes the
    bridge's FileDescription, what the prompt and the rules show; a read-me
    that names another exe quotes its description in one of them too. The
    descriptions come from the simrelay_exe_resources() calls."""
    names = {}
    for path in subprocess.run(["git", "ls-files", "*CMakeLists.txt"], capture_output=True,
                               text=True, check=True).stdout.split():
        names.update(re.findall(r'simrelay_exe_resources\((\S+) "([^"]+)"\)', open(path, encoding="utf-8").read()))
    bad = [] if "simrelay" in names else ["no simrelay_exe_resources(simrelay …) in any CMakeLists.txt"]
    for path in READMES:
        text = open(path, encoding="utf-8").read()
        paragraphs = [" ".join(p.split()) for p in re.split(r"\n\s*\n|\n(?=\d+\. |- )", text)]
        paragraphs = [p for p in paragraphs if "Firewall" in p]
        bad += [f"{path}: no paragraph on the firewall"] if not paragraphs else []
        bridge = names.get("simrelay", "")
        bad += [f'{path}: "{bridge}" not in: {p[:60]}…' for p in paragraphs if f'"{bridge}"' not in p]
        bad += [f'{path}: names {exe}.exe but its firewall paragraphs not "{name}"'
                for exe, name in names.items()
                if f"{exe}.exe" in text and not any(f'"{name}"' in p for p in paragraphs)]
    return passes(bad)


def main(args):
    checks = {"console": check_console, "paths": check_paths, "python": check_python,
              "commands": check_commands, "firewall": check_firewall}
    if not args or args[0] not in checks:
        print(__doc__, file=sys.stderr)
        return 2
    return 0 if checks[args[0]](*args[1:]) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
