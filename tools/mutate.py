#!/usr/bin/env python3
"""Plants each fault of tools/mutations.txt in turn, builds the test build, runs every test program and
records which tests fail; the source is put back after each one. Usage: tools/mutate.py BUILD_DIR OUT [N...]
Faults in platform/browser/ (the phone's build only) are checked by `make test-wasm` instead.
MUTATE_PROGRAMS=a_tests,b_tests builds and runs only those programs (and the quillbox binary), every one of them,
and lists every failing test: what a trim of their tests must keep catching."""
import os, re, subprocess, sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build, out = sys.argv[1], sys.argv[2]
only = {int(n) for n in sys.argv[3:]}
programs = ["base_tests", "platform_tests", "store_tests", "crypto_tests", "sync_tests", "transports_tests", "view_tests", "page_tests",
            "web_tests", "notes_tests", "tasks_tests", "tags_tests", "app_tests", "cli_tests"]
chosen = [p for p in os.environ.get("MUTATE_PROGRAMS", "").split(",") if p]
targets = ["--target", *chosen, "quillbox"] if chosen else []


def run_programs(build, group):
    failed, jobs = [], []
    for program in group:
        shards = 3 if program == "cli_tests" else 1
        for shard in range(shards):
            env = dict(os.environ, QUILLBOX_BINARY_DIR=os.path.abspath(build), GTEST_TOTAL_SHARDS=str(shards),
                       GTEST_SHARD_INDEX=str(shard))
            jobs.append((program, subprocess.Popen([os.path.join(build, program), "--gtest_brief=1"],
                                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                                   errors="replace", env=env)))
    for program, job in jobs:
        try:
            output, _ = job.communicate(timeout=900)
            names = sorted(set(re.findall(r"^\[  FAILED  \] (\S+\.\S+?)[, \n]", output + "\n", re.M)))
            if job.returncode != 0 and not names:
                names = [program + ":crashed"]
            failed += names
        except subprocess.TimeoutExpired:
            job.kill()
            job.communicate()
            failed.append(program + ":timeout")
    return failed


def run_wasm():
    """The phone build's tests, as `make test-wasm` runs them: (built, failed tests)."""
    done = subprocess.run(["make", "--no-print-directory", "test-wasm"], cwd=root, capture_output=True, text=True,
                          errors="replace")
    output = done.stdout + done.stderr
    if done.returncode == 0:
        return True, []
    if re.search(r"error( generated|:)", output) and "== " not in output:
        return False, output.splitlines()[-5:]
    names = re.findall(r"^\[  FAILED  \] (\S+\.\S+?)[, \n]", output + "\n", re.M)
    names += re.findall(r"^not ok \d+ - (.+)$", output, re.M)
    return True, sorted(set(names)) or ["test-wasm:failed"]


lines = [l.rstrip("\n") for l in open(os.path.join(root, "tools/mutations.txt")) if l.strip() and not l.startswith("#")]
with open(out, "a") as report:
    for n, line in enumerate(lines, 1):
        if only and n not in only:
            continue
        path, original, replacement = line.split(" @@ ", 2)
        full = os.path.join(root, path)
        text = open(full).read()
        assert text.count(original) == 1, (n, line)
        open(full, "w").write(text.replace(original, replacement))
        try:
            if path.startswith("platform/browser/"):
                built_ok, failed = run_wasm()
                if not built_ok:
                    report.write(f"{n} BUILD-FAILED {path}: {original.strip()}\n" + "\n".join(failed) + "\n")
                else:
                    report.write(f"{n} {'CAUGHT' if failed else 'SLIPPED'} {path}: {original.strip()} -> "
                                 f"{replacement.strip()}\n" + "".join(f"    {name}\n" for name in failed))
                report.flush()
                continue
            built = subprocess.run(["cmake", "--build", build, "-j2", *targets], capture_output=True, text=True)
            if built.returncode != 0:
                tail = "\n".join("    " + l for l in (built.stdout + built.stderr).splitlines()[-5:])
                report.write(f"{n} BUILD-FAILED {path}: {original.strip()}\n{tail}\n")
                report.flush()
                continue
            failed = []
            # The quick programs first; the command-line program (each test runs the binary) only
            # when none of them caught the fault.
            for group in ([chosen] if chosen else (programs[:-1], programs[-1:])):
                failed += run_programs(build, group)
                if failed:
                    break
            report.write(f"{n} {'CAUGHT' if failed else 'SLIPPED'} {path}: {original.strip()} -> {replacement.strip()}\n")
            for name in failed:
                report.write(f"    {name}\n")
            report.flush()
        finally:
            open(full, "w").write(text)
