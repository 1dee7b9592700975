#!/usr/bin/env python3
"""Mutation run over corcard (driver/), corserial (serial/) and corpage (proppage/).

Each mutant is one small fault written into one line of one .cpp file: a comparison flipped or
made off by one, && and || swapped, a condition negated, a statement removed, a status or
constant changed, a loop bound changed, an early return added at the top of a function. Mutants
are drawn at random with a fixed seed, built, and run against the tests:

  driver/    driver_tests of a plain (non-sanitizer) host tree; first the suites of the tests that
             mirror the mutant's folder (tests/driver/FOLDER*_test.cpp), then, if it survives, all
             the others;
  serial/    serial_tests of such a tree; first the suites of the test files that exercise the
             mutant's folder most directly (SERIAL_FOLDERS below), then the others;
  proppage/  the property page test programs under Wine in a Windows tree; first the ones that
             mirror the folder (FOLDERS below), then the others.

A mutant that does not compile is dropped; one whose tests fail is killed; one whose tests run
past the time limit (three times the unmutated run, plus a margin) has timed out; one whose tests
all pass survived. Survivors listed in tools/mutate/equivalent.txt (the mutant behaves the same,
with the reason) are counted apart. The work is done in copies of the sources
(BUILD/mutate/KIND/src), never in the working tree.

Usage: mutate.py [--mutants N] [--seed S] [--only driver|serial|proppage] [--list]
                 [--rerun RESULTS] [--exclude RESULTS... --name NAME] [--report RESULTS...]
make mutate runs the sample of the README's figures (270 mutants, seed 14); --rerun runs the
survivors of a results file again (after new tests), --report merges results files.
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "analyze"))
import analyze  # noqa: E402  (make analyze, which make test runs before the tests)

ANALYZE_LOCK = threading.Lock()
EQUIVALENT = os.path.join(ROOT, "tools", "mutate", "equivalent.txt")

# Property page sources by folder, and the test programs (tests/proppage/NAME_test.cpp) that
# exercise them most directly.
FOLDERS = {
    "advanced": ["advanced", "rename"],
    "settings": ["page", "text"],
    "rename": ["rename", "msports", "advanced"],
    "provider": ["provider", "page"],
    "resources": ["resources", "page"],
}

# corserial's sources by folder, and the test files (tests/serial/NAME_test.cpp) that exercise
# them most directly.
SERIAL_FOLDERS = {
    "config": ["open", "pnp"], "eventlog": ["pnp", "power"], "flow": ["flow"],
    "frame": ["open", "control"], "ioctl": ["control"], "isr": ["transfer", "events"],
    "naming": ["pnp"], "open": ["open"], "pnp": ["pnp"], "power": ["power"],
    "queue": ["open", "timeouts"], "read": ["timeouts", "transfer", "open"],
    "uart": ["control", "transfer"], "wait": ["events"], "write": ["transfer", "timeouts"],
}
# Native kinds: their tests run in a host tree, one program each.
NATIVE = {"driver": "driver_tests", "serial": "serial_tests"}

# ---- mutant generation ------------------------------------------------------------------------

REL_FLIP = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}
REL_OFF = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
DECLARATION = re.compile(r"^(const\s+|static\s+|constexpr\s+)*[A-Za-z_][\w:]*(<[^>]*>)?[\s\*&]+"
                         r"\**[A-Za-z_]\w*\s*(=|;|\[|\{|\()")
FUNCTION = re.compile(r"^(?:static |inline |extern \"C\" )*(.+?)\s*\b(\w+)\(")
CALLING = {"NTAPI", "CALLBACK", "WINAPI", "APIENTRY", "__stdcall", "STDAPI", "DECLSPEC_IMPORT"}
RETURN_VALUE = {"void": "", "NTSTATUS": "STATUS_SUCCESS", "BOOL": "FALSE", "BOOLEAN": "FALSE",
                "bool": "false", "INT_PTR": "0", "LRESULT": "0", "int": "0", "LONG": "0",
                "ULONG": "0", "DWORD": "0", "UINT": "0", "USHORT": "0", "UCHAR": "0"}


def mask(line):
    """The line with string and character literals blanked and any // comment cut, so that the
    operators only see code. Positions stay those of the line."""
    out = []
    quote = None
    i = 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("xx")
                i += 2
                continue
            out.append(c if c == quote else "x")
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)[:len(line)]


def balanced(code, start):
    """Index of the parenthesis that closes the one at start, or -1 if not on this line."""
    depth = 0
    for i in range(start, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def line_mutants(line, code, previous):
    """(operator, new line) pairs for one line of code."""
    found = []

    def at(m, text, group=0):
        return line[:m.start(group)] + text + line[m.end(group):]

    for m in re.finditer(r" (==|!=|<=|>=|<|>) ", code):
        op = m.group(1)
        found.append(("comparison flipped", at(m, REL_FLIP[op], 1)))
        if op in REL_OFF:
            found.append(("comparison off by one", at(m, REL_OFF[op], 1)))
    for m in re.finditer(r" (&&|\|\|) ", code):
        found.append(("logic swapped", at(m, "||" if m.group(1) == "&&" else "&&", 1)))
    for m in re.finditer(r"\b(if|while) \(", code):
        end = balanced(code, m.end() - 1)
        if end > 0:
            inner = line[m.end():end]
            found.append(("condition negated", line[:m.end()] + "!(" + inner + ")" + line[end:]))
    m = re.search(r"\bfor \([^;]*; (\w+) (<|<=|!=) ([^;&|]+?)(?=;| &&| \|\|)", code)
    if m:
        bound = m.group(3)
        found.append(("loop bound changed", at(m, "(" + bound + ") - 1", 3)))
        found.append(("loop bound changed", at(m, "(" + bound + ") + 1", 3)))
    for m in re.finditer(r"\b(TRUE|FALSE|true|false)\b", code):
        swap = {"TRUE": "FALSE", "FALSE": "TRUE", "true": "false", "false": "true"}[m.group(1)]
        found.append(("constant changed", at(m, swap)))
    for m in re.finditer(r"\b(STATUS|ERROR)_[A-Z_]+\b", code):
        name = m.group(0)
        if name in ("STATUS_SUCCESS", "ERROR_SUCCESS"):
            other = "STATUS_UNSUCCESSFUL" if name.startswith("S") else "ERROR_GEN_FAILURE"
        else:
            other = "STATUS_SUCCESS" if name.startswith("S") else "ERROR_SUCCESS"
        found.append(("status changed", at(m, other)))
    if not re.search(r"\[\s*\w*\s*\]|^\s*(case|#)", code):
        for m in re.finditer(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)\b", code):
            value = int(m.group(1), 0)
            new = value + 1 if value != 1 else 0
            text = hex(new).upper().replace("0X", "0x") if m.group(1)[:2].lower() == "0x" \
                else str(new)
            found.append(("constant changed", at(m, text, 1)))
    stripped = code.strip()
    starts = previous.rstrip().endswith((";", "{", "}", ":")) or previous.strip() == "" \
        or previous.strip().startswith("//")
    if starts and stripped.endswith(";") and not DECLARATION.match(stripped) \
            and not re.match(r"(return|break|continue|case|default|goto)\b", stripped) \
            and stripped.count("(") == stripped.count(")"):
        indent = line[:len(line) - len(line.lstrip())]
        found.append(("statement removed", indent + ";"))
    return found


def function_returns(lines, i):
    """If line i opens a function body ('{' at column 0 after a definition), the early return
    that fits its type, else None."""
    if lines[i].rstrip() != "{":
        return None
    j = i - 1
    while j >= 0 and lines[j].startswith((" ", "\t")):
        j -= 1
    if j < 0 or lines[j].startswith(("#", "//", "}", "namespace", "struct", "typedef", "enum",
                                     "static_assert", "class", "union")):
        return None
    m = FUNCTION.match(lines[j])
    if not m or "=" in lines[j].split("(")[0]:
        return None
    words = [w for w in m.group(1).replace("*", " * ").split() if w not in CALLING]
    if not words:
        return None
    if words[-1] == "*" or (len(words) == 1 and re.match(r"^P[A-Z_]+$", words[0])):
        value = "nullptr"
    elif len(words) == 1 and words[0] in RETURN_VALUE:
        value = RETURN_VALUE[words[0]]
    else:
        return None
    return "{ return" + (" " + value if value else "") + ";"


def file_mutants(path):
    with open(os.path.join(ROOT, path)) as f:
        lines = f.read().split("\n")
    found = []
    in_block = False
    previous = ""
    for i, line in enumerate(lines):
        code = mask(line)
        if in_block:
            if "*/" in code:
                in_block = False
            continue
        if code.lstrip().startswith("/*"):
            in_block = "*/" not in code
            continue
        if code.lstrip().startswith("#") or re.search(r"static_assert|STATIC_ASSERT", code):
            previous = line
            continue
        early = function_returns(lines, i)
        if early:
            found.append({"file": path, "line": i + 1, "operator": "early return added",
                          "original": line, "mutant": early})
        for operator, new in line_mutants(line, code, previous):
            if new != line:
                found.append({"file": path, "line": i + 1, "operator": operator,
                              "original": line, "mutant": new})
        if code.strip():
            previous = code
    return found


def sources(kind):
    out = []
    for base, _, names in os.walk(os.path.join(ROOT, kind)):
        out += [os.path.relpath(os.path.join(base, n), ROOT) for n in names if n.endswith(".cpp")]
    return sorted(out)


def norm(text):
    return re.sub(r"\s+", " ", text)


LINES = {}


def key(m):
    """How the allow list names a mutant: FILE: ORIGINAL => MUTATED (lines stripped), with
    " @K" after ORIGINAL when that line occurs more than once in the file (K-th of them)."""
    if m["file"] not in LINES:
        with open(os.path.join(ROOT, m["file"])) as f:
            LINES[m["file"]] = [norm(line.strip()) for line in f.read().split("\n")]
    lines = LINES[m["file"]]
    text = norm(m["original"].strip())
    where = ""
    if lines.count(text) > 1:
        where = " @%d" % (lines[:m["line"] - 1].count(text) + 1)
    return norm("%s: %s%s => %s" % (m["file"], m["original"].strip(), where, m["mutant"].strip()))


def load_equivalent():
    allowed = {}
    if os.path.exists(EQUIVALENT):
        for line in open(EQUIVALENT):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            where, _, why = line.rpartition("  # ")
            allowed[norm(where.strip())] = why.strip()
    return allowed

# ---- building and running ---------------------------------------------------------------------


def run(command, cwd, limit=None, env=None):
    """(status, seconds, output); status None when the time limit ran out (the whole process
    group is stopped)."""
    started = time.monotonic()
    child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True, start_new_session=True, env=env)
    try:
        output, _ = child.communicate(timeout=limit)
        status = child.returncode
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        output, _ = child.communicate()
        status = None
    return status, time.monotonic() - started, output


class Tree:
    """A copy of the sources and one build tree of it, for one kind of mutant."""

    def __init__(self, kind, build, jobs):
        self.kind = kind
        self.base = os.path.join(build, "mutate", kind)
        self.src = os.path.join(self.base, "src")
        self.out = os.path.join(self.base, "build")
        self.jobs = jobs
        self.limits = {}

    def sync(self):
        listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT,
                                capture_output=True, text=True, check=True).stdout.split("\n")
        for rel in filter(None, listed):
            source = os.path.join(ROOT, rel)
            target = os.path.join(self.src, rel)
            if not os.path.isfile(source):
                continue
            if os.path.exists(target):
                with open(source, "rb") as a, open(target, "rb") as b:
                    if a.read() == b.read():
                        continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(source, target)

    def configure(self):
        command = ["cmake", "-S", self.src, "-B", self.out]
        if self.kind in NATIVE:
            command += ["-DCMAKE_BUILD_TYPE=Debug"]
        else:
            command += ["-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-w64.cmake"
                        % self.src]
        status, _, output = run(command, ROOT)
        if status != 0:
            raise RuntimeError("configure failed:\n" + output)

    def programs(self):
        if self.kind in NATIVE:
            return [NATIVE[self.kind]]
        names = [os.path.basename(p)[:-len("_test.cpp")]
                 for p in os.listdir(os.path.join(self.src, "tests", "proppage"))
                 if p.endswith("_test.cpp")]
        return sorted(names)

    def build(self, targets, limit=None):
        command = ["cmake", "--build", self.out, "-j%d" % self.jobs, "--target"] + targets
        status, _, output = run(command, ROOT, limit)
        return status == 0, output

    def targets(self, programs):
        if self.kind in NATIVE:
            return [NATIVE[self.kind]]
        return ["corpage", "msports_double"] + ["proppage_%s_test" % p for p in programs]

    def native_suites(self, folder):
        suites = set()
        folder_tests = os.path.join(self.src, "tests", self.kind)
        near = SERIAL_FOLDERS.get(folder, []) if self.kind == "serial" else [folder]
        for name in os.listdir(folder_tests):
            if any(re.match(r"^%s(_\w+)?_test\.cpp$" % re.escape(n), name) for n in near):
                text = open(os.path.join(folder_tests, name)).read()
                suites |= set(re.findall(r"^TEST(?:_F|_P)?\((\w+),", text, re.M))
        return sorted(suites)

    def phases(self, path):
        """The test commands for a mutant in path: the closest tests first, then the rest."""
        folder = path.split("/")[1]
        if self.kind in NATIVE:
            program = NATIVE[self.kind]
            exe = os.path.join(self.out, "tests", self.kind, program)
            suites = self.native_suites(folder)
            near = ":".join("*%s.*" % s for s in suites)
            flags = ["--gtest_fail_fast", "--gtest_brief=1"]
            if not near:
                return [[(program, [exe] + flags)]]
            phases = [[(program + ":near", [exe, "--gtest_filter=" + near] + flags)],
                      [(program + ":rest", [exe, "--gtest_filter=-" + near] + flags)]]
            if self.kind == "serial":
                # The nearest suites once more with the requests to the port device pending,
                # as make test runs them (label forced-pending).
                phases.append([(program + ":forced", [exe, "--gtest_filter=" + near] + flags)])
            return phases
        near = [p for p in FOLDERS.get(folder, []) if p in self.programs()]
        rest = [p for p in self.programs() if p not in near]
        wine = os.path.join(self.src, "cmake", "wine-run.sh")

        def command(p):
            exe = os.path.join(self.out, "tests", "proppage", p + "_test.exe")
            return (p, [wine, exe, "--gtest_fail_fast", "--gtest_brief=1"])
        return [[command(p) for p in near], [command(p) for p in rest]]

    def test(self, path, baseline=False):
        """'killed', 'survived' or 'timed out' (baseline: measures each command's time)."""
        for phase in self.phases(path):
            if not phase:
                continue
            names = [name.split(":")[0] for name, _ in phase]
            ok, output = self.build(self.targets(names), None if baseline else 900)
            if not ok:
                if baseline:
                    raise RuntimeError("the unmutated sources do not build:\n" + output[-3000:])
                return "uncompilable", output[-2000:]
            for name, command in phase:
                limit = self.limits.get(name, 600)
                env = dict(os.environ, CORAN_WINE_TIMEOUT=str(int(limit) + 5))
                if name.endswith(":forced"):
                    env["HM_FORCE_PENDING"] = "1"
                status, seconds, output = run(command, self.out, limit, env)
                if baseline:
                    # A loaded machine can upset a timing-sensitive test: three tries.
                    for _ in range(2):
                        if status == 0:
                            break
                        status, seconds, output = run(command, self.out, limit, env)
                    if status != 0:
                        raise RuntimeError("the unmutated tests fail (%s):\n%s"
                                           % (name, output[-3000:]))
                    self.limits[name] = 3 * seconds + 30
                elif status is None:
                    return "timed out", name
                elif status != 0:
                    # A failure counts once it repeats: the failed tests alone, then, if they
                    # pass, the whole command once more.
                    failed = re.findall(r"^\[  FAILED  \] (\S+?),? .*\(\d+ ms\)", output, re.M)
                    if failed:
                        again = [a for a in command if not a.startswith("--gtest_filter=")]
                        status, _, _ = run(again + ["--gtest_filter=" + ":".join(failed)],
                                           self.out, limit, env)
                        if status is not None and status != 0:
                            return "killed", "%s: %s" % (name, " ".join(failed))
                    status, _, _ = run(command, self.out, limit, env)
                    if status is None:
                        return "timed out", name
                    if status != 0:
                        return "killed", name
        return "survived", ""

    def analyzed(self, path):
        """The findings of make analyze for the mutated file (make test fails on any)."""
        config = {"driver": "driver-host", "serial": "serial-host"}.get(self.kind, "proppage")
        with ANALYZE_LOCK:  # analyze.ROOT is the module's one source root
            analyze.ROOT = self.src
            database, _ = analyze.write_database(config, analyze.CONFIGS[config],
                                                 os.path.join(self.base, "analyze"))
            findings = analyze.tidy(database, os.path.join(self.src, path))
            analyze.ROOT = ROOT
        return findings


def execute(tree, mutants, results, lock, log, save):
    try:
        work(tree, mutants, results, lock, log, save)
    except Exception as error:  # a worker thread: report, do not vanish
        log("%s: stopped: %s" % (tree.kind, error))


def work(tree, mutants, results, lock, log, save):
    """Runs one kind's mutants in its own copy of the sources."""
    tree.sync()
    tree.configure()
    # Baseline: every test command of this kind, unmutated, sets its time limit.
    sample = {"driver": "driver/frame/frame.cpp", "serial": "serial/read/read.cpp"}.get(
        tree.kind, "proppage/settings/page.cpp")
    started = time.monotonic()
    tree.test(sample, baseline=True)
    log("%s: baseline %.0f s, limits %s" % (tree.kind, time.monotonic() - started,
                                            {k: int(v) for k, v in tree.limits.items()}))
    # In the sampled (random) order, so that a run stopped early is still a fair sample.
    for m in mutants:
        target = os.path.join(tree.src, m["file"])
        with open(target) as f:
            original = f.read()
        lines = original.split("\n")
        assert lines[m["line"] - 1] == m["original"], "sources changed under the run"
        lines[m["line"] - 1] = m["mutant"]
        started = time.monotonic()
        try:
            with open(target, "w") as f:
                f.write("\n".join(lines))
            outcome, detail = tree.test(m["file"])
            if outcome == "survived":
                # The tests missed it; make test's static analysis may still stop it.
                findings = tree.analyzed(m["file"])
                if findings:
                    outcome, detail = "killed", "make analyze: " + findings[0][0]
        finally:
            with open(target, "w") as f:
                f.write(original)
        m = dict(m, outcome=outcome, detail=detail if outcome != "uncompilable" else "",
                 seconds=round(time.monotonic() - started, 1))
        with lock:
            results.append(m)
            save(results)
            log("%-12s %4.0fs %s:%d %s: %s" % (outcome, m["seconds"], m["file"], m["line"],
                                              m["operator"], m["mutant"].strip()))
    # Leave the copy's objects matching the unmutated sources for the next run.
    tree.build(tree.targets(tree.programs()))


def report(results, allowed, out, name="report.txt"):
    lines = []
    files = sorted({r["file"] for r in results})
    totals = {}
    lines.append("%-42s %6s %6s %6s %6s %6s %6s" % ("file", "killed", "timed", "surv", "equiv",
                                                    "nocomp", "score"))
    for path in files:
        rows = [r for r in results if r["file"] == path]
        count = {k: 0 for k in ("killed", "timed out", "survived", "equivalent", "uncompilable")}
        for r in rows:
            outcome = r["outcome"]
            if outcome == "survived" and key(r) in allowed:
                outcome = "equivalent"
            count[outcome] += 1
        kind = path.split("/")[0]
        total = totals.setdefault(kind, {k: 0 for k in count})
        for k in count:
            total[k] += count[k]
        lines.append("%-42s %6d %6d %6d %6d %6d %6s" % (path, count["killed"], count["timed out"],
                                                        count["survived"], count["equivalent"],
                                                        count["uncompilable"], score(count)))
    lines.append("")
    for kind, count in sorted(totals.items()):
        by_analysis = sum(1 for r in results if r["file"].startswith(kind + "/")
                          and r["outcome"] == "killed"
                          and r.get("detail", "").startswith("make analyze"))
        lines.append("%s: %d killed (%d of them by make analyze), %d timed out, %d survived, "
                     "%d equivalent, %d did not compile; %s of the non-equivalent mutants killed "
                     "(timed out counts as killed)"
                     % (kind + "/", count["killed"], by_analysis, count["timed out"],
                        count["survived"], count["equivalent"], count["uncompilable"],
                        score(count)))
    lines.append("")
    lines.append("Survivors (place, operator, mutated line):")
    for r in sorted(results, key=lambda r: (r["file"], r["line"])):
        if r["outcome"] == "survived":
            tag = "  [equivalent: %s]" % allowed[key(r)] if key(r) in allowed else ""
            lines.append("  %s:%d %s: %s => %s%s" % (r["file"], r["line"], r["operator"],
                                                     r["original"].strip(), r["mutant"].strip(),
                                                     tag))
    text = "\n".join(lines) + "\n"
    with open(os.path.join(out, name), "w") as f:
        f.write(text)
    return text


def score(count):
    considered = count["killed"] + count["timed out"] + count["survived"]
    if considered == 0:
        return "-"
    return "%.0f%%" % (100.0 * (count["killed"] + count["timed out"]) / considered)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--mutants", type=int, default=300)
    parser.add_argument("--seed", type=int, default=14)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--only", choices=["driver", "serial", "proppage"])
    # A driver mutant costs seconds (native tests), a page mutant half a minute (Wine): the
    # driver gets the larger part of the sample.
    parser.add_argument("--share", type=float, default=0.74,
                        help="fraction of the sample for driver/ (0.74)")
    parser.add_argument("--list", action="store_true", help="count the candidates and stop")
    parser.add_argument("--rerun", help="results.json of an earlier run: run its survivors again")
    parser.add_argument("--exclude", nargs="+", default=[],
                        help="results of earlier runs whose mutants this sample leaves out")
    parser.add_argument("--name", default="results", help="name of this run's results file")
    parser.add_argument("--report", help="results.json (and rerun.json) to report on, no run",
                        nargs="+")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    out = os.path.join(build, "mutate")
    os.makedirs(out, exist_ok=True)
    allowed = load_equivalent()

    if args.report:
        # Later files (a rerun of the survivors) take the place of earlier outcomes.
        merged = {}
        for path in args.report:
            for m in json.load(open(path)):
                merged[(m["file"], m["line"], m["original"], m["mutant"])] = m
        print(report(list(merged.values()), allowed, out))
        return 0

    kinds = [args.only] if args.only else ["driver", "proppage"]
    candidates = {k: [m for p in sources(k) for m in file_mutants(p)] for k in kinds}
    if args.list:
        for k in kinds:
            by_op = {}
            for m in candidates[k]:
                by_op[m["operator"]] = by_op.get(m["operator"], 0) + 1
            print(k, len(candidates[k]), by_op)
        return 0

    if args.rerun:
        earlier = json.load(open(args.rerun))
        chosen = {k: [m for m in earlier if m["file"].startswith(k + "/")
                      and m["outcome"] == "survived" and key(m) not in allowed]
                  for k in kinds}
        for k in kinds:
            # A line's text may occur more than once in its file (a brace, a call): of those, the
            # one nearest the line the survivor was on is the same mutant.
            current = {}
            for m in candidates[k]:
                current.setdefault((m["file"], m["original"], m["mutant"]), []).append(m)
            chosen[k] = [min(current[t], key=lambda c, line=m["line"]: abs(c["line"] - line))
                         for m in chosen[k]
                         for t in [(m["file"], m["original"], m["mutant"])] if t in current]
    else:
        rng = random.Random(args.seed)
        chosen = {}
        done = set()
        for path in args.exclude:
            done |= {(m["file"], m["line"], m["mutant"]) for m in json.load(open(path))}
        for k in kinds:
            pool = sorted((m for m in candidates[k] if (m["file"], m["line"], m["mutant"])
                           not in done), key=lambda m: (m["file"], m["line"], m["mutant"]))
            rng.shuffle(pool)
            if len(kinds) == 1:
                share = 1.0
            else:
                share = args.share if k == "driver" else 1 - args.share
            chosen[k] = pool[:round(args.mutants * share)]

    lock = threading.Lock()
    results = []
    name = ("rerun" if args.rerun and args.name == "results" else args.name) + ".json"

    def save(done):
        with open(os.path.join(out, name + ".new"), "w") as f:
            json.dump(done, f, indent=1)
        os.replace(os.path.join(out, name + ".new"), os.path.join(out, name))
    log_file = open(os.path.join(out, "log.txt"), "a")

    def log(text):
        line = time.strftime("%H:%M:%S ") + text
        print(line, flush=True)
        log_file.write(line + "\n")
        log_file.flush()

    log("sample: %s (seed %d)" % ({k: len(v) for k, v in chosen.items()}, args.seed))
    # One worker per kind: the driver's tests run natively, the pages' under Wine.
    workers = [threading.Thread(target=execute, args=(Tree(k, build, args.jobs), chosen[k],
                                                      results, lock, log, save))
               for k in kinds if chosen[k]]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    save(results)
    print(report(results, allowed, out,
                 "report.txt" if args.name == "results" else args.name + "-report.txt"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
