"""Reads the report files that AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
wrote (log_path=DIR/asan gives DIR/asan.<pid>) and decides whether they show a fault of
the module.

- Any memory error, undefined behaviour or sanitizer CHECK failure counts, wherever it is.
- The leak check itself can fail (its helper that stops the threads crashes now and
  then); that loses the leak check of one process and is reported as a warning.
- A leak counts only when its allocation stack passes through the module (a frame in
  _plov's shared object or in plov:: code). The interpreter and NumPy leave blocks
  unreachable at exit by design; those are summed up and ignored. (A suppression file
  cannot express this: a suppression matches a frame anywhere in the stack, and every
  allocation the module makes is reached through interpreter frames.)

Usage: python tools/sanitizer_report.py LOG_DIR     exit status 1 when a fault was found
"""

import re
import sys
from pathlib import Path

OURS = re.compile(r"_plov[.\w-]*\.so|plov::|/src/(python|kernel)/")
LEAK = re.compile(r"^(Direct|Indirect) leak of (\d+) byte")
HARD = re.compile(r"ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer)|runtime error:|CHECK failed")
CHECKER_FAILED = re.compile(r"LeakSanitizer has encountered a fatal error")


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
    faults, ignored, ignored_bytes, unchecked = [], 0, 0, []
    for path in files:
        text = path.read_text(errors="replace")
        if HARD.search(text):
            faults.append(f"--- {path.name}: sanitizer error\n{text[:20000]}")
            continue
        if CHECKER_FAILED.search(text):
            unchecked.append(path.name)
        for header, frames in leak_blocks(text):
            if any(OURS.search(f) for f in frames):
                faults.append(f"--- {path.name}: leak from the module\n{header}\n" + "\n".join(frames))
            else:
                ignored += 1
                ignored_bytes += int(LEAK.match(header).group(2))
    for f in faults:
        print(f)
    if unchecked:
        print(f"warning: the leak check itself failed in {', '.join(unchecked)} (no verdict on those processes' leaks)")
    print(
        f"sanitizer reports: {len(files)} files, {len(faults)} faults of the module, "
        f"{ignored} leak records of the interpreter and its libraries ignored ({ignored_bytes} bytes)"
    )
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
