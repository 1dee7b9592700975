#!/usr/bin/env python3
"""Static analysis of corcard, corserial and corpage: clang-tidy with the repository's .clang-tidy
(which includes the clang static analyzer's checks) and clang's warnings, over driver/, serial/,
include/ and proppage/, in the configurations the code is built in:

  driver-host   corcard against the kernel stand-in (host/kernel), 16-bit wchar_t;
  driver-ddk    corcard against mingw-w64's DDK headers, for 64-bit Windows;
  serial-host   corserial against the kernel stand-in;
  serial-ddk    corserial against mingw-w64's DDK headers;
  proppage      the property-page DLL against mingw-w64's Windows headers.

Each configuration gets a compile database of its own (no build tree is needed). Findings in our
folders are printed once each; the exit status is 1 if there is any, so a new finding fails
the build. Usage: analyze.py [--jobs N] [--out DIR]
"""
import argparse
import concurrent.futures
import json
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MINGW = "/usr/x86_64-w64-mingw32"
# -Wconversion without its sign half: the remaining sign changes are Win32 lengths (int) used as
# byte counts and flag masks, where a cast would say nothing; narrowing to a smaller type stays.
WARNINGS = ["-Wall", "-Wextra", "-Wconversion", "-Wno-sign-conversion", "-Wshadow"]
COMMON = ["-std=c++17", "-fno-exceptions", "-fno-rtti"] + WARNINGS

# The two drivers each against the kernel stand-in (16-bit wchar_t, as in the host build) and
# against mingw-w64's DDK headers; the property page against mingw-w64's Windows headers.
HOST = ["-DCORAN_HOST=1", "-fshort-wchar", "-Iinclude", "-Ihost/kernel"]
DDK = ["--target=x86_64-w64-mingw32", "-Iinclude", "-isystem", MINGW + "/include/ddk"]
CONFIGS = {
    "%s-%s" % (folder, kind): {"folders": [folder], "flags": ["-I" + folder] + flags}
    for folder in ("driver", "serial") for kind, flags in (("host", HOST), ("ddk", DDK))
}
CONFIGS["proppage"] = {
    "folders": ["proppage"],
    "flags": ["--target=x86_64-w64-mingw32", "-Iproppage", "-DUNICODE", "-D_UNICODE",
              "-DWIN32_LEAN_AND_MEAN", "-DNOMINMAX", "-D_WIN32_WINNT=0x0601", "-DWINVER=0x0601",
              "-D_WIN32_IE=0x0600"],
}

FINDING = re.compile(r"^(/[^:]+):(\d+):(\d+): (warning|error): (.*?)( \[[^ ]+\])?$")


def sources(folders):
    found = []
    for folder in folders:
        for base, _, names in os.walk(os.path.join(ROOT, folder)):
            found += [os.path.join(base, n) for n in names if n.endswith(".cpp")]
    return sorted(found)


def absolute(flag):
    # Absolute include folders, so that the header filter sees every header by its full path.
    return "-I" + os.path.join(ROOT, flag[2:]) if flag.startswith("-I") else flag


def write_database(name, config, out):
    folder = os.path.join(out, name)
    os.makedirs(folder, exist_ok=True)
    entries = [{"directory": ROOT, "file": path,
                "arguments": ["clang++"] + COMMON + [absolute(f) for f in config["flags"]]
                              + ["-c", path]}
               for path in sources(config["folders"])]
    with open(os.path.join(folder, "compile_commands.json"), "w") as f:
        json.dump(entries, f, indent=1)
    return folder, [e["file"] for e in entries]


def tidy(database, path):
    ours = "^" + re.escape(ROOT) + "/(driver|serial|include|proppage)/"
    # Every header is looked at: a path the static analyzer follows from our code may end inside
    # an inline routine of the kernel's or Windows' headers (a null IRP handed to
    # IoGetCurrentIrpStackLocation). Other checks count only in our own folders.
    run = subprocess.run(["clang-tidy", "--quiet", "-p", database, "--system-headers",
                          "--header-filter", ".*", path], cwd=ROOT, capture_output=True,
                         text=True)
    findings = []
    for line in run.stdout.splitlines():
        m = FINDING.match(line)
        if m and not re.match(ours, m.group(1)) and (m.group(6) or "").startswith(
                " [clang-analyzer-"):
            place = "%s: (in %s:%s)%s" % (os.path.relpath(path, ROOT), m.group(1), m.group(2),
                                          m.group(6))
            findings.append((place, "%s %s" % (m.group(4), m.group(5))))
        elif m and re.match(ours, m.group(1)):
            # One finding per place and check, whichever configuration saw it first.
            place = "%s:%s:%s:%s" % (os.path.relpath(m.group(1), ROOT), m.group(2), m.group(3),
                                     m.group(6) or "")
            findings.append((place, "%s %s" % (m.group(4), m.group(5))))
        elif m and m.group(4) == "error":
            findings.append((line, ""))
    if run.returncode != 0 and not findings:
        findings.append(("%s: clang-tidy failed:\n%s" % (path, run.stderr.strip()), ""))
    return findings


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "analyze"))
    args = parser.parse_args()
    started = time.monotonic()
    work = []
    for name, config in CONFIGS.items():
        database, files = write_database(name, config, args.out)
        work += [(name, database, f) for f in files]
    findings = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        runs = {pool.submit(tidy, database, f): name for name, database, f in work}
        for done in concurrent.futures.as_completed(runs):
            for place, text in done.result():
                findings.setdefault(place, [text, set()])[1].add(runs[done])
    for place in sorted(findings):
        text, seen = findings[place]
        print("%s %s  (%s)" % (place, text, ", ".join(sorted(seen))))
    print("analyze: %d translation units in %d configurations, %d findings, %.0f s"
          % (len(work), len(CONFIGS), len(findings), time.monotonic() - started))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
