#!/usr/bin/env bash
# Mutation testing of the link library (connectivity/src/zr-net/, its POSIX backend), of
# the command-line tool (tools/zr-cli/) and of the DHCP service (tools/zr-dhcp/, its Linux
# backend) against the project's own tests.
#
# Usage: mutation.sh [COUNT] [SEED]
#   COUNT  mutants to try (default 100), drawn from every site with the seed SEED; without
#          a SEED a fresh one is drawn for the run and printed, so that every run samples
#          other sites than the runs before it (a sample the tests were written against
#          says little about the rest)
#   ZR_MUTATION_DIR   work folder (default build-mutation): src/ a private copy of the tree
#                     (the files git knows, as they are in the worktree), build/ its release
#                     build, results.tsv one line per mutant, first-runs/SEED.tsv the results
#                     of the first run of each seed
#   ZR_MUTATION_FILES a space-separated list of files to mutate instead of all of them
#   ZR_MUTATION_SHARDS test processes run side by side for one suite (default 6)
#   ZR_MUTATION_RESUME=1 goes on with a first run that was cut short (SEED given): on the
#                     same private copy of the tree, which holds the tests as they were when
#                     the run began, trying only the mutants that run had not tried yet
#   ZR_MUTATION_RERUN  an earlier results.tsv: try its mutants again (after new tests), those
#                     now listed as equivalent reported as "equivalent"
#
# One mutant at a time: one change at one site of one file (operators: a relational
# operator flipped, an integer constant off by one, a result code swapped for another, a
# condition negated, a call statement deleted), an incremental rebuild, then the tests of
# the mutated part (the library's suite and C client for zr-net; zrlink's suites -- the
# commands, the screen window and recorder, the properties under faults -- with the DHCP
# service's tests of zrlink for zr-cli; the service's unit and namespace suites for
# zr-dhcp), stopping at the first failure.  A mutant is
#   killed        a test failed
#   killed-asan   every test passed, but failed in the sanitizer build (ASan and UBSan, as
#                 scripts/test.sh runs them; ZR_MUTATION_SANITIZE=0 leaves that out), and
#                 failed there again when run a second time
#   survived      every test passed: a gap, unless the mutant is equivalent
#   timeout       the tests took more than three times as long as unmutated
#   no-compile    the build failed
#   identical     the object files' code and data did not change (the compiler saw
#                 through it)
# Mutants listed in scripts/mutation-equivalent.txt (with the reason each changes nothing)
# are never drawn.  The score of a seed's first run (the tests had not seen its mutants) is
# kept and printed beside the score of any later run of the same seed or of its mutants
# (ZR_MUTATION_RERUN), which tests written for the survivors have had the chance to learn.
# Not part of CI: a 100-mutant run takes about an hour and a half on two cores (seed 1631197266:
# 99 mutants in 80 minutes).
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-100}
seed=${2:-}
if [ -z "$seed" ]; then
  seed=$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')
  echo "=== fresh seed $seed (run again with: $0 $count $seed) ==="
fi
work=${ZR_MUTATION_DIR:-build-mutation}
mkdir -p "$work"
work=$(cd "$work" && pwd)

if [ "${ZR_MUTATION_RESUME:-0}" = 1 ]; then
  [ -n "$seed" ] && [ -f "$work/first-runs/$seed.tsv" ] && [ -d "$work/src" ] ||
    { echo "mutation.sh: nothing to resume for seed ${seed:-(none given)} in $work" >&2; exit 2; }
  echo "=== resuming the first run of seed $seed on the copy of the tree in $work/src ==="
  # The mutants are drawn as they were at the start: past the equivalents listed then.
  equivalents="$work/src/scripts/mutation-equivalent.txt"
else
  equivalents="$PWD/scripts/mutation-equivalent.txt"
  echo "=== private copy of the tree in $work/src ==="
  # The builds are incremental and judge a file by its time: a file unchanged since the last
  # copy keeps that copy's time, a changed one gets the time of now (its time in the worktree
  # may be older than objects built from the copy before it).
  rm -rf "$work/src.new"
  mkdir -p "$work/src" "$work/src.new"
  git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$work/src.new"
  (cd "$work/src.new" && find . -type f -print0) | while IFS= read -r -d '' f; do
    if cmp -s "$work/src.new/$f" "$work/src/$f"; then touch -r "$work/src/$f" "$work/src.new/$f"; else touch "$work/src.new/$f"; fi
  done
  rm -rf "$work/src"
  mv "$work/src.new" "$work/src"
fi
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
if [ "${ZR_MUTATION_SANITIZE:-1}" != 0 ]; then
  cmake -S "$work/src" -B "$work/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZR_SANITIZE=ON >/dev/null
fi

exec python3 - "$work" "$count" "$seed" "$equivalents" <<'PY'
import hashlib, os, random, re, subprocess, sys, time

work, count, seed, equivalent_file = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
src, build = os.path.join(work, "src"), os.path.join(work, "build")

LIB = ["connectivity/src/zr-net/" + f for f in sorted(os.listdir(os.path.join(src, "connectivity/src/zr-net")))
       if f.endswith(".cpp")]
LIB += ["connectivity/src/zr-net/unix/" + f
        for f in sorted(os.listdir(os.path.join(src, "connectivity/src/zr-net/unix"))) if f.endswith(".cpp")]
CLI = ["tools/zr-cli/" + f for f in sorted(os.listdir(os.path.join(src, "tools/zr-cli"))) if f.endswith(".cpp")]
DHCP = ["tools/zr-dhcp/" + f for f in sorted(os.listdir(os.path.join(src, "tools/zr-dhcp"))) if f.endswith(".cpp")]
DHCP += ["tools/zr-dhcp/linux/" + f
         for f in sorted(os.listdir(os.path.join(src, "tools/zr-dhcp/linux"))) if f.endswith(".cpp")]
files = os.environ.get("ZR_MUTATION_FILES", "").split() or LIB + CLI + DHCP

def part(path):
    if path.startswith("tools/zr-cli/"):
        return "cli"
    return "dhcp" if path.startswith("tools/zr-dhcp/") else "lib"

TARGETS = {"lib": ["zr-net-tests", "zr-net-c-client"],
           "cli": ["zrlink", "zrlink-tests", "zrlink-screen-tests", "zrlink-property-tests", "zr-dhcp-netns-tests"],
           "dhcp": ["zr-dhcp", "zr-dhcp-unit-tests", "zr-dhcp-netns-tests"]}
SHARDS = int(os.environ.get("ZR_MUTATION_SHARDS", "6"))
SANITIZE = os.environ.get("ZR_MUTATION_SANITIZE", "1") != "0"
asan_build = os.path.join(work, "build-asan")
TESTS = {"lib": [["bin/zr-net-tests", "--gtest_fail_fast", "--gtest_brief=1"], ["bin/zr-net-c-client"]],
         "cli": [["bin/zrlink-tests", "--gtest_fail_fast", "--gtest_brief=1"],
                 ["bin/zrlink-screen-tests", "--gtest_fail_fast", "--gtest_brief=1"],
                 ["bin/zrlink-property-tests", "--gtest_fail_fast", "--gtest_brief=1"],
                 ["bin/zr-dhcp-netns-tests", "--gtest_fail_fast", "--gtest_brief=1", "--gtest_filter=*Zrlink*"]],
         "dhcp": [["bin/zr-dhcp-unit-tests", "--gtest_fail_fast", "--gtest_brief=1"],
                  ["bin/zr-dhcp-netns-tests", "--gtest_fail_fast", "--gtest_brief=1"]]}

# Result codes that may stand in for one another (the names of zr-net.h's list).
codes = sorted(set(re.findall(r"\bZR_E_[A-Z0-9_]*[A-Z0-9]\b",
                              open(os.path.join(src, "connectivity/src/zr-net/zr-net.h")).read())))

RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}

def sites(path):
    """Every (line number, column, old text, new text, operator) of one file."""
    out = []
    in_comment = False
    for no, line in enumerate(open(os.path.join(src, path)).read().split("\n"), 1):
        code = line
        if in_comment:
            if "*/" not in code:
                continue
            in_comment = False
            code = " " * (code.index("*/") + 2) + code[code.index("*/") + 2:]
        if "/*" in code and "*/" not in code[code.index("/*"):]:
            in_comment = True
            code = code[:code.index("/*")]
        code = re.sub(r"/\*.*?\*/", lambda m: " " * len(m.group()), code)
        code = re.sub(r"//.*", "", code)
        code = re.sub(r'"(\\.|[^"\\])*"', lambda m: " " * len(m.group()), code)
        code = re.sub(r"'(\\.|[^'\\])*'", lambda m: " " * len(m.group()), code)
        stripped = code.strip()
        if not stripped or stripped.startswith("#") or "template" in code or "#include" in line:
            continue
        for m in re.finditer(r"(?<![<>=!&|+\-*/%^-])(<=|>=|==|!=|<|>)(?![<>=])", code):
            op = m.group(1)
            if op in "<>" and ("->" in code[m.start() - 1:m.end() + 1] or re.search(r"(_cast|std::\w+)<", code)):
                continue
            out.append((no, m.start(), op, RELATIONAL[op], "relational"))
        for m in re.finditer(r"(?<![\w.])(\d+)(?![\w.])", code):
            n = int(m.group(1))
            out.append((no, m.start(), m.group(1), str(n + 1), "constant"))
        for m in re.finditer(r"\bZR_E_[A-Z0-9_]+\b", code):
            others = [c for c in codes if c != m.group()]
            if others:
                other = others[(no * 31 + m.start()) % len(others)]
                out.append((no, m.start(), m.group(), other, "result-code"))
        m = re.match(r"(\s*)(if|while) \((.*)\)(\s*\{?)$", code)
        if m:
            start = len(m.group(1)) + len(m.group(2)) + 1
            cond = line[m.start(3):m.end(3)]
            out.append((no, start, "(" + cond + ")", "(!(" + cond + "))", "negated"))
        m = re.match(r"(\s*)([A-Za-z_][\w:]*(->|\.)?[\w]*\(.*\);)\s*$", code)
        if m and not re.match(r"\s*(return|case|else)\b", code):
            out.append((no, len(m.group(1)), line[m.start(2):].rstrip(), ";", "deleted-call"))
    return out

def key(path, no, col, old, new, op):
    return "%s:%d:%d:%s:%s -> %s" % (path, no, col + 1, op, old, new)

equivalent = set()
if os.path.exists(equivalent_file):
    for line in open(equivalent_file):
        line = line.split("#", 1)[0].strip()
        if line:
            equivalent.add(line)

rerun = os.environ.get("ZR_MUTATION_RERUN", "")
if rerun:
    # The mutants of an earlier results.tsv, in its order (equivalent ones are reported as
    # such without a build); files and seed play no part then.
    wanted = [l.rstrip("\n").split("\t", 1)[1] for l in open(rerun) if "\t" in l]
    known = {}
    for path in set(k.split(":", 1)[0] for k in wanted):
        for no, col, old, new, op in sites(path):
            known[key(path, no, col, old, new, op)] = (path, no, col, old, new, op)
    for k in wanted:
        if k not in known:
            print("no longer a mutation site (the source moved, or the operators changed): " + k)
    sample = [known[k] for k in wanted if k in known]
    print("=== %d mutants of %s again ===" % (len(sample), rerun), flush=True)
else:
    candidates, listed = [], set()
    for path in files:
        for no, col, old, new, op in sites(path):
            k = key(path, no, col, old, new, op)
            if k in equivalent:
                listed.add(k)
            else:
                candidates.append((path, no, col, old, new, op))
    # An entry whose line moved no longer keeps its mutant out of the draw.
    for k in sorted(equivalent - listed):
        if k.split(":", 1)[0] in files:
            print("listed as equivalent, but no longer a mutation site (the source moved): " + k)
    rng = random.Random(seed)
    sample = rng.sample(candidates, min(count, len(candidates)))
    print("=== %d mutation sites, %d drawn (seed %d) ===" % (len(candidates), len(sample), seed), flush=True)

# The first run of a seed is the honest measure; it is kept, and later runs of the same
# mutants are reported beside it as reruns.
first_runs = os.path.join(work, "first-runs")
os.makedirs(first_runs, exist_ok=True)
sample_keys = [key(*s) for s in sample]
first_run = None
for name in sorted(os.listdir(first_runs)):
    earlier = [l.rstrip("\n").split("\t", 1) for l in open(os.path.join(first_runs, name)) if "\t" in l]
    if earlier and set(k for _, k in earlier) >= set(sample_keys):
        first_run = (name[:-len(".tsv")], [(r, k) for r, k in earlier if k in set(sample_keys)])
        break
first_run_file = None if first_run else os.path.join(first_runs, "%s.tsv" % ("rerun" if rerun else seed))
# What a first run that was cut short had tried already.
tried = {}
if os.environ.get("ZR_MUTATION_RESUME") == "1" and first_run_file and not rerun:
    tried = {k: r for r, k in (l.rstrip("\n").split("\t", 1) for l in open(first_run_file) if "\t" in l)}

def run(cmd, timeout=None, tree=build):
    try:
        return subprocess.run(cmd, cwd=tree, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return None

def run_sharded(cmd, timeout, tree):
    """A test program in SHARDS processes at once (the tests mostly wait on sockets and
    time-outs, and are made to run side by side, as ctest -j runs them); the first failing
    shard ends the others."""
    procs = []
    for i in range(SHARDS):
        env = dict(os.environ, GTEST_TOTAL_SHARDS=str(SHARDS), GTEST_SHARD_INDEX=str(i))
        # Each shard's output is kept until the next run of a suite (shard-N.log), to tell
        # which test failed when the unmutated tree fails.
        with open(os.path.join(work, "shard-%d.log" % i), "w") as log:
            procs.append(subprocess.Popen(cmd, cwd=tree, env=env, stdout=log, stderr=subprocess.STDOUT,
                                          start_new_session=True))
    deadline = time.time() + timeout
    outcome = 0
    while any(p.poll() is None for p in procs):
        if any(p.returncode not in (None, 0) for p in procs):
            outcome = 1
            break
        if time.time() > deadline:
            outcome = None
            break
        time.sleep(0.1)
    for p in procs:
        if p.poll() is None:
            try:
                os.killpg(p.pid, 9)
            except ProcessLookupError:
                pass
        p.wait()
    if outcome == 0 and any(p.returncode != 0 for p in procs):
        outcome = 1
    return outcome

def build_targets(p, tree=build):
    return run(["cmake", "--build", ".", "-j2", "--target"] + TARGETS[p], tree=tree) == 0

def object_hash(path):
    """The code and the data (a table's values, a string) of the object files built from
    one source (the release build carries no debug information)."""
    digest = hashlib.sha256()
    name = os.path.basename(path) + ".o"
    for root, _, names in sorted(os.walk(build)):
        if name in names:
            for flags in (["-d", "-r", "--no-show-raw-insn"], ["-s"]):
                listing = subprocess.run(["objdump"] + flags + [os.path.join(root, name)], capture_output=True).stdout
                digest.update(listing.split(b"\n", 2)[-1])
    return digest.hexdigest()

def run_tests(p, limit, tree=build):
    for cmd in TESTS[p]:
        r = run_sharded(cmd, limit, tree) if "--gtest_fail_fast" in cmd else run(cmd, limit, tree)
        if r is None:
            return "timeout"
        if r != 0:
            return "killed"
    return "survived"

# The time the unmutated tests take, once per part and build (the sanitizer build's only
# when a mutant first needs it): three times that is a mutant's limit.
baseline = {}
def limit(p, tree):
    if (p, tree) not in baseline:
        if not build_targets(p, tree):
            sys.exit("the unmutated tree does not build in " + tree)
        start = time.time()
        if run_tests(p, 3600, tree) != "survived":
            sys.exit("the unmutated tree fails its tests (%s, %s; the output of the last suite: %s/shard-*.log)"
                     % (p, tree, work))
        baseline[(p, tree)] = max(30.0, 3 * (time.time() - start))
    return baseline[(p, tree)]

for p in sorted(set(part(f) for f, *_ in sample)):
    limit(p, build)
hashes = {f: object_hash(f) for f in set(f for f, *_ in sample)}

results = []
if first_run_file and not rerun and not tried:
    open(first_run_file, "w").close()
with open(os.path.join(work, "results.tsv"), "w") as tsv:
    for i, (path, no, col, old, new, op) in enumerate(sample, 1):
        k = key(path, no, col, old, new, op)
        if k in tried:
            results.append((tried[k], k))
            tsv.write("%s\t%s\n" % (tried[k], k))
            print("%3d/%d %-10s %s (tried before)" % (i, len(sample), tried[k], k), flush=True)
            continue
        if k in equivalent:
            results.append(("equivalent", k))
            tsv.write("equivalent\t%s\n" % k)
            print("%3d/%d %-10s %s" % (i, len(sample), "equivalent", k), flush=True)
            continue
        full = os.path.join(src, path)
        original = open(full).read()
        lines = original.split("\n")
        line = lines[no - 1]
        lines[no - 1] = line[:col] + line[col:].replace(old, new, 1)
        open(full, "w").write("\n".join(lines))
        p = part(path)
        try:
            if not build_targets(p):
                outcome = "no-compile"
            elif object_hash(path) == hashes[path]:
                outcome = "identical"
            else:
                outcome = run_tests(p, limit(p, build))
            # The project's tests run in a sanitizer build too: a mutant that only reads or
            # writes out of bounds is caught there.
            if outcome == "survived" and SANITIZE:
                open(full, "w").write(original)
                asan_limit = limit(p, asan_build)
                open(full, "w").write("\n".join(lines))
                # Only a failure that comes again: one that does not was a test's timing.
                if not build_targets(p, asan_build):
                    outcome = "no-compile"
                elif all(run_tests(p, asan_limit, asan_build) != "survived" for _ in range(2)):
                    outcome = "killed-asan"
        finally:
            open(full, "w").write(original)
        results.append((outcome, k))
        tsv.write("%s\t%s\n" % (outcome, k))
        tsv.flush()
        if first_run_file and not rerun:
            with open(first_run_file, "a") as f:
                f.write("%s\t%s\n" % (outcome, k))
        print("%3d/%d %-10s %s" % (i, len(sample), outcome, k), flush=True)
    for p in set(part(f) for f, *_ in sample):
        build_targets(p)
        if (p, asan_build) in baseline:
            build_targets(p, asan_build)

kinds = ["killed", "killed-asan", "survived", "timeout", "no-compile", "identical", "equivalent"]
print("\n| result | mutants |\n|---|---:|")
for kind in kinds:
    print("| %s | %d |" % (kind, sum(1 for r in results if r[0] == kind)))
def score(results):
    judged = sum(1 for r in results if r[0] in ("killed", "killed-asan", "survived", "timeout"))
    killed = sum(1 for r in results if r[0] in ("killed", "killed-asan", "timeout"))
    return killed, judged
killed, judged = score(results)
if first_run:
    k0, j0 = score(first_run[1])
    if j0:
        print("\nfirst run (seed %s): %d of %d killed (%.1f %%)" % (first_run[0], k0, j0, 100.0 * k0 / j0))
if judged:
    print("%sscore: %d of %d mutants that compiled to other code were killed (%.1f %%)"
          % ("rerun " if first_run else "\nfirst run's ", killed, judged, 100.0 * killed / judged))
survivors = [k for r, k in results if r == "survived"]
if survivors:
    print("\nsurvivors (a gap, or an equivalent mutant for scripts/mutation-equivalent.txt):")
    for k in survivors:
        print("  " + k)
PY
