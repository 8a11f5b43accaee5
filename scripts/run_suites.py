#!/usr/bin/python3
"""Runs a build tree's GoogleTest cases a few processes per test binary
instead of one process per case, for the sanitizer stages of test.sh: there a
process's start and exit (the sanitizers' runtime, the leak check) cost far
more than most cases.

usage: run_suites.py BUILD_DIR JOBS COUNTS_FILE [-R REGEX] [--cost FILE]

The cases are those CTest knows in BUILD_DIR (only those matching REGEX, as
`ctest -R`). Each binary's cases are split into a few shards of about equal
cost (per-case seconds from FILE, CTest's cost data of an earlier run, when
there is one); JOBS shards run at once, the costliest first. Each case keeps
CTest's time limit (600 s unless the test says otherwise). A case that
crashes its process or runs out of time is failed, and the cases its shard
had not reached run again in a fresh process. A shard whose process fails
after its cases all passed (a leak found at exit) has its cases run one by
one, so that the failure is named. Writes "PASSED FAILED SKIPPED" to
COUNTS_FILE; prints every failed case with its output, and every skipped
case with its reason.
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET
from concurrent.futures import ThreadPoolExecutor

HUNG = "(between cases)"
TIMES, TIMES_LOCK = [], threading.Lock()  # (wall s, CPU s of the process alone, binary, cases)
RUN = re.compile(r"^\[ RUN      \] (\S+)")
# The end of a case; a parameterised case's name is followed by its parameter.
END = re.compile(r"^\[ +(OK|FAILED|SKIPPED) +\] ([^\s,]+)(, where .*)? \(\d+ ms\)$")


class Group:
    """The cases of one binary that run alike (same directory, environment)."""

    def __init__(self, binary, cwd, env, timeout, prefix):
        self.binary, self.cwd, self.env, self.timeout = binary, cwd, env, timeout
        self.prefix = prefix  # CTest's name is prefix + case
        self.cases = []       # gtest names; empty: the binary is one CTest test


def load_groups(build, regex):
    cmd = ["ctest", "--test-dir", build, "--show-only=json-v1"]
    if regex:
        cmd += ["-R", regex]
    tests = json.loads(subprocess.check_output(cmd))["tests"]
    groups = {}
    for t in tests:
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        command = t["command"]
        env = tuple(props.get("ENVIRONMENT", []))
        cwd = props.get("WORKING_DIRECTORY", build)
        timeout = float(props.get("TIMEOUT", 1500))
        filt = [a for a in command[1:] if a.startswith("--gtest_filter=")]
        if filt:
            case = filt[0][len("--gtest_filter="):]
            key = (command[0], cwd, env, timeout)
            g = groups.get(key)
            if g is None:
                g = groups[key] = Group(command[0], cwd, env, timeout, t["name"][: -len(case)])
            g.cases.append(case)
        else:
            groups[(t["name"],)] = Group(command[0], cwd, env, timeout, t["name"])
    return list(groups.values())


def load_costs(path):
    costs = {}
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 3:
                    costs[parts[0]] = float(parts[2])
    except OSError:
        pass
    return costs


class Result:
    def __init__(self):
        self.lock = threading.Lock()
        self.passed = []
        self.failed = []   # (name, why)
        self.skipped = []  # (name, why)


def case_output(log, case):
    """The lines a case printed, from its RUN line to its end line."""
    out, inside = [], False
    for line in log:
        if line.startswith("[ RUN      ] ") and line.split()[-1] == case:
            inside = True
        if inside:
            out.append(line)
            m = END.match(line)
            if m and m.group(2) == case:
                break
    return out


def skip_reason(lines):
    for i, line in enumerate(lines[:-1]):
        if line.rstrip().endswith(": Skipped"):
            return lines[i + 1].strip()
    return "(no reason given)"


def run_process(group, cases, scratch):
    """Runs the binary over CASES (None: the whole binary as CTest would).
    Returns (exit status or None when killed, log lines, xml path, the case
    that was running when the process was killed or died)."""
    fd, xml = tempfile.mkstemp(suffix=".xml", dir=scratch)
    os.close(fd)
    os.unlink(xml)
    env = dict(os.environ)
    for kv in group.env:
        k, _, v = kv.partition("=")
        env[k] = v
    args = [group.binary]
    if cases is not None:
        args.append("--gtest_filter=" + ":".join(cases))
    env["GTEST_OUTPUT"] = "xml:" + xml
    log, state = [], {"case": None, "since": time.monotonic()}
    try:
        proc = subprocess.Popen(args, cwd=group.cwd, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                start_new_session=True)
    except OSError as e:
        return 127, ["cannot start %s: %s" % (group.binary, e)], xml, None

    def reader():
        for raw in proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            log.append(line)
            m = RUN.match(line)
            if m:
                state["case"], state["since"] = m.group(1), time.monotonic()
            elif END.match(line):
                state["case"], state["since"] = None, time.monotonic()

    t = threading.Thread(target=reader)
    t.start()
    dead, start, status, usage = None, time.monotonic(), None, None
    while status is None:
        pid, st, ru = os.wait4(proc.pid, os.WNOHANG)
        if pid == proc.pid:
            status, usage = os.waitstatus_to_exitcode(st), ru
            break
        time.sleep(0.2)
        if dead is None and time.monotonic() - state["since"] > group.timeout:
            dead = state["case"] or HUNG
            log.append("*** %s: no end after %.0f s: killed" % (dead, group.timeout))
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    proc.returncode = status
    t.join()
    if dead is None and status != 0:
        dead = state["case"]  # a crash inside a case
    with TIMES_LOCK:
        TIMES.append((time.monotonic() - start, usage.ru_utime + usage.ru_stime,
                      os.path.basename(group.binary), len(cases) if cases else 0))
    return status, log, xml, dead


def xml_results(xml):
    """{case: ("OK"|"FAILED"|"SKIPPED", skip message)} from a gtest XML file."""
    res = {}
    try:
        root = ET.parse(xml).getroot()
    except (OSError, ET.ParseError):
        return None
    for tc in root.iter("testcase"):
        name = "%s.%s" % (tc.get("classname"), tc.get("name"))
        if tc.get("status") == "notrun":
            continue
        if tc.find("failure") is not None or tc.find("error") is not None:
            res[name] = ("FAILED", "")
        elif tc.get("result") == "skipped" or tc.find("skipped") is not None:
            sk = tc.find("skipped")
            res[name] = ("SKIPPED", (sk.get("message") or "") if sk is not None else "")
        else:
            res[name] = ("OK", "")
    return res


def run_shard(group, cases, scratch, result, one_by_one=False):
    """Runs CASES of GROUP until every one has a result."""
    if not group.cases:  # a binary CTest runs as one test
        rc, log, xml, _ = run_process(group, None, scratch)
        res = xml_results(xml) or {}
        record(group, res, log, result, whole=True)
        if rc != 0 and not any(v[0] == "FAILED" for v in res.values()):
            fail(result, group.prefix, "exit status %s" % rc, log)
        elif not res and rc == 0:
            with result.lock:
                result.passed.append(group.prefix)
        return
    remaining = list(cases)
    while remaining:
        if one_by_one and len(remaining) > 1:
            for c in remaining:
                run_shard(group, [c], scratch, result, one_by_one=True)
            return
        rc, log, xml, dead = run_process(group, remaining, scratch)
        res = xml_results(xml)
        if res is None:  # the process never wrote its report: read its output
            res = {}
            for line in log:
                m = END.match(line)
                if m:
                    res[m.group(2)] = (m.group(1), "")
        done = {c: res[c] for c in remaining if c in res}
        if dead in remaining and dead not in done:
            done[dead] = ("FAILED", "")
        if dead == HUNG:
            record(group, done, log, result)
            fail(result, group.prefix + "(%d cases)" % len(remaining), "hung between or after its cases", log)
            for c in remaining:
                if c not in done:
                    fail(result, group.prefix + c, "not run: the process hung", [])
            return
        if rc != 0 and len(done) == len(remaining) and all(v[0] != "FAILED" for v in done.values()):
            # Every case passed but the process failed at its exit (a leak,
            # an error in a destructor): find the case, one process each.
            if len(remaining) == 1:
                fail(result, group.prefix + remaining[0], "exit status %s after the case" % rc, log)
                return
            one_by_one = True
            continue
        record(group, done, log, result)
        if not done:
            # Nothing ended (the process failed before its first case, or a
            # name matched nothing): the first case fails, the rest run again.
            fail(result, group.prefix + remaining[0], "exit status %s, no case ended" % rc, log)
            done[remaining[0]] = ("FAILED", "")
        remaining = [c for c in remaining if c not in done]


def record(group, done, log, result, whole=False):
    for case, (status, msg) in done.items():
        name = group.prefix + ("." if whole else "") + case
        if status == "OK":
            with result.lock:
                result.passed.append(name)
        elif status == "SKIPPED":
            lines = case_output(log, case)
            why = skip_reason(lines) if lines else (msg or "(no reason given)")
            with result.lock:
                result.skipped.append((name, why))
        else:
            fail(result, name, "failed", case_output(log, case) or log[-60:])


def fail(result, name, why, lines):
    text = "\n".join(lines[-200:])
    with result.lock:
        result.failed.append((name, why))
        print("---- FAILED: %s (%s)\n%s\n----" % (name, why, text), flush=True)


def make_shards(groups, costs, jobs):
    """Splits each binary's cases into shards of about equal cost; returns
    [(cost, group, cases)], costliest first."""
    default = 1.0
    case_cost = lambda g, c: costs.get(g.prefix + c, default)
    total = sum(sum(case_cost(g, c) for c in g.cases) if g.cases else costs.get(g.prefix, 30.0)
                for g in groups)
    # Enough shards that the last ones to start are short, few enough that a
    # process's start and exit stay a small part of the time.
    target = max(total / (jobs * 4), 20.0)
    shards = []
    for g in groups:
        if not g.cases:
            shards.append((costs.get(g.prefix, 30.0), g, None))
            continue
        cost = sum(case_cost(g, c) for c in g.cases)
        n = max(1, min(len(g.cases), round(cost / target)))
        bins = [[0.0, []] for _ in range(n)]
        for c in sorted(g.cases, key=lambda c: -case_cost(g, c)):
            b = min(bins, key=lambda b: b[0])
            b[0] += case_cost(g, c)
            b[1].append(c)
        shards += [(b[0], g, b[1]) for b in bins if b[1]]
    shards.sort(key=lambda s: -s[0])
    return shards


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("jobs", type=int)
    ap.add_argument("counts")
    ap.add_argument("-R", dest="regex")
    ap.add_argument("--cost")
    a = ap.parse_args()
    groups = load_groups(a.build, a.regex)
    costs = load_costs(a.cost) if a.cost else {}
    shards = make_shards(groups, costs, a.jobs)
    result = Result()
    ncases = sum(len(g.cases) or 1 for g in groups)
    print("%d cases of %d binaries in %d processes, %d at a time" %
          (ncases, len({g.binary for g in groups}), len(shards), a.jobs), flush=True)
    with tempfile.TemporaryDirectory() as scratch:
        with ThreadPoolExecutor(a.jobs) as ex:
            futures = [ex.submit(run_shard, g, cases, scratch, result) for _, g, cases in shards]
            for f in futures:
                f.result()
    print("the longest processes (wall s, own CPU s, binary, cases):",
          "; ".join("%.0f %.0f %s %d" % t for t in sorted(TIMES, reverse=True)[:8]))
    for name, why in sorted(result.skipped):
        print("skipped:", name, "-", why, file=sys.stderr)
    for name, why in sorted(result.failed):
        print("failed:", name, "-", why, file=sys.stderr)
    with open(a.counts, "w") as f:
        f.write("%d %d %d\n" % (len(result.passed), len(result.failed), len(result.skipped)))
    print("%d passed, %d failed, %d skipped" % (len(result.passed), len(result.failed), len(result.skipped)))


if __name__ == "__main__":
    main()
