#!/usr/bin/python3
"""Every command of README.md and docs/*.md that reads the shared data runs
as written, and prints first the line the text shows after it.

A command is a line of a shell block that starts with `build/velmora` or
`velmora` (the installed program: the build's here) and names
`../shared/data`; what follows a `#` is a comment. The first line of the
plain block right after its block is what it must print first; without one,
it must succeed. `velmora view` serves until stopped and is left out. Each
runs in a temporary folder beside a link to the shared data, so that what it
writes stays there.

/usr/bin/python3 tests/docs_commands.py SOURCE_DIR BUILD_DIR
Exit status 0 when every command agrees with its text, 1 otherwise, 77 (a
skip) when the shared data are absent.
"""
import os
import re
import subprocess
import sys
import tempfile

BLOCK = re.compile(r"```([a-z]*)\n(.*?)```", re.S)
SKIP = 77


def commands_of(path):
    """(line number, command, first line shown or None) of each command in the file at path."""
    text = open(path, encoding="utf-8").read()
    blocks = list(BLOCK.finditer(text))
    out = []
    for i, block in enumerate(blocks):
        if block.group(1) not in ("sh", "bash", "console"):
            continue
        shown = None
        if i + 1 < len(blocks) and blocks[i + 1].group(1) == "" and not text[block.end():blocks[i + 1].start()].strip():
            lines = blocks[i + 1].group(2).splitlines()
            shown = lines[0] if lines else None
        start = text.count("\n", 0, block.start(2)) + 1
        commands = [(start + n, line.split(" #")[0].strip()) for n, line in enumerate(block.group(2).splitlines())]
        commands = [(n, c) for n, c in commands
                    if re.match(r"(build/)?velmora ", c) and "../shared/data" in c and not re.match(r"(build/)?velmora view", c)]
        for k, (n, command) in enumerate(commands):
            out.append((n, command, shown if k == len(commands) - 1 else None))
    return out


def run(command, build, data):
    """The status and first line of standard output of command, run in a temporary folder."""
    with tempfile.TemporaryDirectory(prefix="velmora-docs-") as tmp:
        work = os.path.join(tmp, "work")
        os.makedirs(work)
        os.symlink(os.path.dirname(data), os.path.join(tmp, "shared"))
        os.symlink(build, os.path.join(work, "build"))
        argv = command.split()
        if argv[0] == "velmora":
            argv[0] = os.path.join(build, "velmora")
        p = subprocess.run(argv, cwd=work, capture_output=True, text=True, timeout=600)
        first = p.stdout.splitlines()[0] if p.stdout else ""
        return p.returncode, first, p.stderr


def main():
    source, build = (os.path.abspath(a) for a in sys.argv[1:3])
    data = os.path.join(os.path.dirname(source), "shared", "data")
    if not os.path.isdir(data):
        print(f"skipped: the shared data ({data}) are absent")
        return SKIP
    docs = [os.path.join(source, "README.md")] + sorted(
        os.path.join(source, "docs", f) for f in os.listdir(os.path.join(source, "docs")) if f.endswith(".md"))
    failures, count = [], 0
    for path in docs:
        for line, command, shown in commands_of(path):
            where = f"{os.path.relpath(path, source)}:{line}"
            missing = [f for f in re.findall(r"\.\./shared/data/(\S+)", command) if not os.path.exists(os.path.join(data, f))]
            if missing:
                print(f"{where}: skipped, {', '.join(missing)} absent")
                continue
            count += 1
            status, first, err = run(command, build, data)
            if status != 0:
                failures.append(f"{where}: `{command}` ended with status {status}: {err.strip()}")
            elif shown is not None and first != shown:
                failures.append(f"{where}: `{command}` prints first\n    {first}\n  where the text shows\n    {shown}")
    for f in failures:
        print(f)
    print(f"docs: {count - len(failures)} of {count} commands on the shared data run as their text shows")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
