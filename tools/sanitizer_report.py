"""Reads the report files that the sanitizers wrote (log_path=DIR/asan gives DIR/asan.<pid>;
likewise ubsan and tsan) and decides whether they show a fault of the module.

- Any memory error, undefined behaviour or sanitizer CHECK failure counts, wherever it is.
- A ThreadSanitizer report (a data race, a misused lock) counts when one of its stacks
  passes through the module. The interpreter and NumPy are not instrumented, so a report
  without such a frame is the interpreter's business: those are counted and ignored.
- The leak check itself can fail (its helper that stops the threads crashes now and
  then); that loses the leak check of one process and is reported as a warning.
- A leak counts only when its allocation stack passes through the module (a frame in
  _plov's shared object or in plov:: code). The interpreter and NumPy leave blocks
  unreachable at exit by design; those are summed up and ignored. (A suppression file
  cannot express this: a suppression matches a frame anywhere in the stack, and every
  allocation the module makes is reached through interpreter frames.)

Every fault is named by its file and its message (the sanitizer's error line, and its
SUMMARY line when it wrote one), then shown in full, then named again at the end.

Usage: python tools/sanitizer_report.py LOG_DIR     exit status 1 when a fault was found
"""

import re
import sys
from pathlib import Path

OURS = re.compile(r"_plov[.\w-]*\.so|_native[.\w-]*\.so|plov::|/src/(python|kernel)/")
LEAK = re.compile(r"^(Direct|Indirect) leak of (\d+) byte")
HARD = re.compile(r"ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer)|runtime error:|CHECK failed")
CHECKER_FAILED = re.compile(r"LeakSanitizer has encountered a fatal error")
TSAN_SPLIT = re.compile(r"(?m)^=+\n(?=WARNING: ThreadSanitizer)")
HEADLINE = re.compile(r"^.*(ERROR: \w+Sanitizer|WARNING: ThreadSanitizer|runtime error:|CHECK failed).*$", re.M)
SUMMARY = re.compile(r"^SUMMARY: \w+Sanitizer: .*$", re.M)


def message(text):
    """The sanitizer's own words for a fault: its first error line and its summary."""
    lines = [m.group(0).strip() for m in (HEADLINE.search(text), SUMMARY.search(text)) if m]
    return " | ".join(dict.fromkeys(lines)) or text.strip().splitlines()[0]


def leak_blocks(text):
    """(header, frames) of every leak record of a LeakSanitizer report."""
    lines = text.splitlines()
    for i, line in enumerate(lines):
        if LEAK.match(line):
            frames = []
            for follow in lines[i + 1 :]:
                if not follow.strip():
                    break
                frames.append(follow)
            yield line, frames


def main(log_dir):
    files = sorted(Path(log_dir).glob("*"))
    faults, unchecked = [], []  # faults: (name, message, text)
    ignored = {"leak records": 0, "leak bytes": 0, "race reports": 0}
    for path in files:
        text = path.read_text(errors="replace")
        if "ThreadSanitizer" in text:
            for report in TSAN_SPLIT.split(text):
                if "ThreadSanitizer" not in report:
                    continue
                if OURS.search(report) or "CHECK failed" in report:
                    faults.append((path.name, message(report), report[:8000]))
                else:
                    ignored["race reports"] += 1
            continue
        if HARD.search(text):
            faults.append((path.name, message(text), text[:20000]))
            continue
        if CHECKER_FAILED.search(text):
            unchecked.append(path.name)
        for header, frames in leak_blocks(text):
            if any(OURS.search(f) for f in frames):
                faults.append((path.name, f"leak from the module: {header}", header + "\n" + "\n".join(frames)))
            else:
                ignored["leak records"] += 1
                ignored["leak bytes"] += int(LEAK.match(header).group(2))
    for name, what, text in faults:
        print(f"--- {name}: {what}\n{text}")
    if unchecked:
        print(f"warning: the leak check itself failed in {', '.join(unchecked)} (no verdict on those processes' leaks)")
    for name, what, _ in faults:
        print(f"FAULT {name}: {what}")
    print(
        f"sanitizer reports: {len(files)} files, {len(faults)} faults of the module; ignored as the "
        f"interpreter's: {ignored['leak records']} leak records ({ignored['leak bytes']} bytes), "
        f"{ignored['race reports']} race reports"
    )
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
