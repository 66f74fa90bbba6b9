#!/usr/bin/env python3
"""Runs every shell command of the documents as written, so that they cannot drift.

The commands are those of README.md's code blocks marked `sh` and of the manual's EXAMPLES
section (the lines after a `$ ` prompt). Each runs with bash -o pipefail in a scratch copy of
the source tree, one after the other in document order, and must end with status 0. The
copy's PATH starts with an `n2k-listen` that is the built listener on the simulated bus: its
description file compiled in is the shipped one, and unless the command names a feed it plays
captures/demo.log at once and stops at its end. In the environment, DEMO_PACE=0 makes `make demo`
play the capture at once too, and DESTDIR stages a `make install` that names none. The copy
holds my-boat.conf, the manual's own description file, as a copy of the shipped one.

A command is run only when every program in it is one this test knows how to run on the
simulated bus (KNOWN_PROGRAMS, and for make the targets in MAKE_TARGETS); `make test` is run
as `make -n test`, since it runs this test. A command that ends with a comment beginning
`# needs` (`# needs CAN hardware`, `# needs root`) is exempt and only listed. Any other command
fails the test: one that fails, and one that this test does not know how to run.

usage: doc_commands_test.py <source dir> <work dir> <listener> <simulated bus library>
"""
import os
import re
import shlex
import shutil
import subprocess
import sys

KNOWN_PROGRAMS = {"n2k-listen", "build/n2k-listen", "make", "cmake", "sed", "jq", "stdbuf",
                  "timeout"}
# Programs that run the program after their options; that one must be known as well.
WRAPPERS = {"stdbuf", "timeout"}
# make targets that run here as written, and those run as a dry run.
MAKE_TARGETS = {"demo", "install", "uninstall", "package"}
MAKE_DRY_RUN = {"test"}
EXEMPT = re.compile(r"(^|\s)#\s*needs\s+\S")
SEPARATORS = {"|", "||", "&&", ";", "&"}
COMMAND_SECONDS = 600


def readme_commands(path):
    """The commands of the ```sh blocks: lines joined where they end in \\, | or &&."""
    commands = []
    in_block = False
    pending = ""
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not in_block:
                in_block = line.strip() == "```sh"
                continue
            if line.strip() == "```":
                in_block = False
                continue
            if not pending and (not line.strip() or line.lstrip().startswith("#")):
                continue
            if not pending:
                start = number
            pending += line
            if re.search(r"(\\|\||&&)\s*$", line):
                pending += "\n"
                continue
            commands.append(("README.md:%d" % start, pending))
            pending = ""
    return commands


def unescape_roff(text):
    return text.replace("\\e", "\\").replace("\\-", "-").replace("\\&", "")


def manual_commands(path):
    """The commands after a `$ ` prompt in EXAMPLES, with their continuation lines."""
    commands = []
    in_examples = False
    in_display = False
    current = None
    with open(path, encoding="utf-8") as f:
        lines = [l.rstrip("\n") for l in f]
    for number, line in enumerate(lines, 1):
        if line.startswith(".Sh "):
            in_examples = line == ".Sh EXAMPLES"
            continue
        if not in_examples:
            continue
        if line.startswith(".Dl $ "):
            commands.append(("man/n2k-listen.1:%d" % number, unescape_roff(line[6:])))
        elif line.startswith(".Bd -literal"):
            in_display = True
        elif line.startswith(".Ed"):
            in_display = False
            current = None
        elif in_display and line.startswith("$ "):
            current = ["man/n2k-listen.1:%d" % number, unescape_roff(line[2:])]
            commands.append(current)
        elif in_display and current is not None:
            current[1] += "\n" + unescape_roff(line)
    return [tuple(c) for c in commands]


def programs_of(command):
    """The first word of each simple command, after VAR=value words, and what a wrapper runs;
    None when the text cannot be split into words."""
    try:
        lexer = shlex.shlex(command, posix=True, punctuation_chars=True)
        lexer.whitespace_split = True
        lexer.commenters = "#"
        words = list(lexer)
    except ValueError:
        return None
    simple, current = [], []
    for word in words:
        if word in SEPARATORS:
            simple.append(current)
            current = []
        else:
            current.append(word)
    simple.append(current)
    found = []
    for words in simple:
        words = [w for w in words if w != "\n"]
        while words and re.match(r"^[A-Za-z_][A-Za-z0-9_]*=", words[0]):
            words = words[1:]
        if not words:
            continue
        found.append(words)
        if words[0] in WRAPPERS:
            rest = words[1:]
            while rest and (rest[0].startswith("-") or (words[0] == "timeout" and
                                                        re.match(r"^\d", rest[0]))):
                rest = rest[1:]
            if rest:
                found.append(rest)
    return found


def plan(command):
    """(how, reason): how is "run", "dry-run" or "unknown"."""
    simple = programs_of(command)
    if simple is None:
        return "unknown", "cannot split it into words"
    how = "run"
    for words in simple:
        program = words[0]
        if program not in KNOWN_PROGRAMS:
            return "unknown", "does not know how to run %s on the simulated bus" % program
        if program == "make":
            targets = [w for w in words[1:] if not w.startswith("-") and "=" not in w]
            for target in targets:
                if target in MAKE_DRY_RUN:
                    how = "dry-run"
                elif target not in MAKE_TARGETS:
                    return "unknown", "does not know how to run make %s" % target
            if not targets:
                return "unknown", "does not know how to run make without a target"
    return how, ""


def as_dry_run(command):
    return re.sub(r"(^|\s)make(\s)", r"\1make -n\2", command, count=1)


def copy_tree(source, work):
    def ignore(directory, names):
        if os.path.abspath(directory) == os.path.abspath(source):
            return [n for n in names if n.startswith("build") or n == ".git"]
        return []

    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(source, os.path.join(work, "tree"), ignore=ignore, symlinks=True)
    return os.path.join(work, "tree")


def main():
    if len(sys.argv) != 5:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    source, work, listener, sim = (os.path.abspath(a) for a in sys.argv[1:])
    tree = copy_tree(source, work)
    shutil.copyfile(os.path.join(tree, "share/n2k-devices.conf"),
                    os.path.join(tree, "my-boat.conf"))
    bin_dir = os.path.join(work, "bin")
    os.makedirs(bin_dir)
    wrapper = os.path.join(bin_dir, "n2k-listen")
    with open(wrapper, "w") as f:
        f.write('#!/bin/sh\n'
                '# The built listener on the simulated bus, as if installed.\n'
                'export LD_PRELOAD="${LD_PRELOAD:+$LD_PRELOAD:}%s"\n'
                'export N2K_SIM_FEED="${N2K_SIM_FEED:-%s}"\n'
                'exec "%s" "$@"\n' % (sim, os.path.join(tree, "captures/demo.log"), listener))
    os.chmod(wrapper, 0o755)

    env = dict(os.environ)
    for name in ("MAKEFLAGS", "MAKELEVEL", "MFLAGS", "N2K_SIM_FEED", "N2K_SIM_PACE",
                 "LD_PRELOAD", "CMAKE_FLAGS"):
        env.pop(name, None)
    env["PATH"] = bin_dir + os.pathsep + env.get("PATH", "")
    env["DEMO_PACE"] = "0"
    env["DESTDIR"] = os.path.join(work, "install-root")

    commands = readme_commands(os.path.join(source, "README.md")) + \
        manual_commands(os.path.join(source, "man/n2k-listen.1"))
    passed = failed = exempt = 0
    for where, command in commands:
        shown = command.replace("\n", "\n    ")
        if EXEMPT.search(command.splitlines()[-1]):
            print("exempt  %s: %s" % (where, shown))
            exempt += 1
            continue
        how, reason = plan(command)
        if how == "unknown":
            print("FAILED  %s: %s\n    this test %s; mark it `# needs ...` if it needs what "
                  "the simulated bus cannot give" % (where, shown, reason))
            failed += 1
            continue
        text = as_dry_run(command) if how == "dry-run" else command
        try:
            run = subprocess.run(["bash", "-o", "pipefail", "-c", text], cwd=tree, env=env,
                                 stdin=subprocess.DEVNULL, capture_output=True,
                                 timeout=COMMAND_SECONDS)
            status = run.returncode
            output = run.stdout.decode(errors="replace") + run.stderr.decode(errors="replace")
        except subprocess.TimeoutExpired:
            status, output = "timeout", ""
        label = "ran" if how == "run" else "dry-run"
        if status == 0:
            print("%-7s %s: %s" % (label, where, shown))
            passed += 1
        else:
            tail = "\n".join(output.splitlines()[-30:])
            print("FAILED  %s: %s\n    status %s; the last of its output:\n%s" %
                  (where, shown, status, tail))
            failed += 1
    if not commands:
        print("FAILED: no commands found")
        failed += 1
    print("%d passed, %d failed, %d skipped" % (passed, failed, exempt))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
